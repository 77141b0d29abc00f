#include "raster.h"

#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/video_analysis_record.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace corvex;

namespace {

VideoAnalysis recordOfOneColour(std::uint8_t value)
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    analysis::sampleFrame(*test::makeRaster(5, 5,
                              [&](int, int) {
                                  return test::Bgr { value, value, value };
                              }),
        0, record);
    return record;
}

} // namespace

class TestLiveColourMessage final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void membersHoldTheNewestColourOfTheirChannel()
    {
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::makeRaster(5, 5, [](int, int) { return test::Bgr { 1, 1, 1 }; }), 0, record);
        analysis::sampleFrame(*test::makeRaster(5, 5,
                                  [](int c, int r) {
                                      return test::Bgr { std::uint8_t(c), std::uint8_t(r), std::uint8_t(10 * c + r) };
                                  }),
            0.1, record);
        const QJsonObject message = QJsonDocument::fromJson(
            QByteArray::fromStdString(analysis::encodeLiveColourMessage(analysis::previewColors(record))))
                                        .object();
        QCOMPARE(message.size(), 9);
        // Member name, then the pixel that channel samples.
        const struct {
            const char* name;
            int column;
            int row;
        } expected[] = { { "11", 2, 2 }, { "02", 0, 3 }, { "01", 0, 1 }, { "00", 0, 0 }, { "10", 2, 0 }, { "20", 4, 0 },
            { "12", 2, 4 }, { "22", 4, 4 }, { "21", 4, 1 } };
        for (const auto& e : expected) {
            const QJsonObject rgb = message.value(QLatin1StringView(e.name)).toObject();
            QCOMPARE(rgb.size(), 3);
            QCOMPARE(rgb.value(u"r"_s).toInt(-1), 10 * e.column + e.row);
            QCOMPARE(rgb.value(u"g"_s).toInt(-1), e.row);
            QCOMPARE(rgb.value(u"b"_s).toInt(-1), e.column);
        }
    }

    void messageSize_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("size");
        QTest::newRow("single digits") << 7 << 226;
        QTest::newRow("two digits") << 42 << 253;
        QTest::newRow("three digits") << 255 << 280;
    }
    void messageSize()
    {
        QFETCH(int, value);
        QFETCH(int, size);
        const analysis::PreviewColors colors = analysis::previewColors(recordOfOneColour(std::uint8_t(value)));
        const std::string bytes = analysis::encodeLiveColourMessage(colors);
        QCOMPARE(int(bytes.size()), size);
        QVERIFY(bytes.find_first_of(" \n\t") == std::string::npos);
        QCOMPARE(analysis::decodeLiveColourMessage(bytes), std::optional(colors)); // reads what was written
    }

    void emptyListsGiveZeros()
    {
        const analysis::PreviewColors colors = analysis::previewColors(analysis::initialVideoAnalysis());
        QCOMPARE(colors.size(), std::size_t(9));
        for (const auto& [name, rgb] : colors)
            QCOMPARE(rgb, (analysis::RGB { 0, 0, 0 }));
        QCOMPARE(analysis::encodeLiveColourMessage(colors).size(), std::size_t(226));
    }

    void valuesAbove255AreLimitedAndLaterChannelsWin()
    {
        VideoAnalysis record;
        auto* first = record.add_channels();
        first->set_x(1);
        first->add_r(5);
        auto* second = record.add_channels();
        second->set_x(1);
        second->add_r(300);
        second->add_g(256);
        const analysis::PreviewColors colors = analysis::previewColors(record);
        QCOMPARE(colors.size(), std::size_t(1));
        QCOMPARE(colors.at("10"), (analysis::RGB { 255, 255, 0 }));
        QVERIFY(analysis::previewColors(VideoAnalysis()).empty());
    }

    void decodingRefusesOtherShapes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{\"11\":");
        QTest::newRow("array") << QByteArray("[1,2,3]");
        QTest::newRow("member not an object") << QByteArray("{\"11\":5}");
        QTest::newRow("missing b") << QByteArray("{\"11\":{\"r\":1,\"g\":2}}");
        QTest::newRow("fraction") << QByteArray("{\"11\":{\"r\":1.5,\"g\":2,\"b\":3}}");
        QTest::newRow("string") << QByteArray("{\"11\":{\"r\":\"1\",\"g\":2,\"b\":3}}");
    }
    void decodingRefusesOtherShapes()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!analysis::decodeLiveColourMessage(bytes.toStdString()));
    }
};

int runLiveColourMessageTests(int argc, char** argv)
{
    TestLiveColourMessage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_live_colour_message.moc"
