#include "raster.h"

#include "analysis/frame_sampler.h"
#include "analysis/video_analysis_record.h"

#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

using namespace corvex;

Q_DECLARE_METATYPE(std::string)
using Breakage = std::function<void(VideoAnalysis&)>;
Q_DECLARE_METATYPE(Breakage)

namespace {

QByteArray bytesOf(const VideoAnalysis& record)
{
    const auto bytes = analysis::serializeVideoAnalysis(record);
    return bytes ? QByteArray::fromStdString(*bytes) : QByteArray("<failed>");
}

// Pixel (c, r) of the test raster; some values need two-byte varints.
test::Bgr distinctColour(int c, int r)
{
    return { static_cast<std::uint8_t>(c * 50 + r), static_cast<std::uint8_t>(r * 50 + c),
        static_cast<std::uint8_t>(200 + c + r * 10) };
}

} // namespace

class TestVideoAnalysisRecord final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initialRecordWireBytes()
    {
        const VideoAnalysis record = analysis::initialVideoAnalysis();
        // Nine channel entries in grid order; the (0, 0) channel is the empty entry 12 00.
        QCOMPARE(bytesOf(record).toHex(),
            QByteArray("1204080110011202100212021001120012020801120208021204080110021204080210021204080210"
                       "01"));
    }

    void oneSampledFrameWireBytes()
    {
        VideoAnalysis record = analysis::initialVideoAnalysis();
        auto raster = test::makeRaster(5, 5, distinctColour, 12);
        analysis::sampleFrame(*raster, 1.234, record);
        QCOMPARE(bytesOf(record).toHex(),
            QByteArray("0a017b120e080110011a02de012201662a0166120d10021a02e601220296012a0103120c10011a02d20122"
                       "01322a0101120a1a02c8012201002a0100120c08011a02ca012201022a0164120d08021a02cc01220104"
                       "2a02c801120f080110021a02f2012202ca012a01681210080210021a02f4012202cc012a02cc01120f08"
                       "0210011a02d6012201362a02c901"));
    }

    void signatureFollowsTheChannels()
    {
        VideoAnalysis record = analysis::initialVideoAnalysis();
        record.set_signature(std::string("\x01\x02", 2));
        QVERIFY(bytesOf(record).endsWith(QByteArray::fromHex("1a020102")));
    }

    void parsingAcceptsUnpackedListsAndKeepsUnknownFields()
    {
        // timestamps 5 and 7 unpacked (two varint fields), one channel (0, 0) with r = [9]
        // unpacked, then an unknown field 9 (varint 1).
        const QByteArray input = QByteArray::fromHex("080508071202180948"
                                                     "01");
        VideoAnalysis record;
        QVERIFY(record.ParseFromArray(input.constData(), int(input.size())));
        QCOMPARE(record.timestamps_size(), 2);
        QCOMPARE(record.timestamps(1), 7u);
        QCOMPARE(record.channels(0).r(0), 9u);
        // Written back packed, with the unknown field after the known ones.
        QCOMPARE(bytesOf(record).toHex(), QByteArray("0a02050712031a01094801"));
    }

    void invariants_data()
    {
        QTest::addColumn<Breakage>("breakage");
        QTest::addColumn<QString>("problem");
        QTest::newRow("valid") << Breakage([](VideoAnalysis&) {}) << QString();
        QTest::newRow("eight channels") << Breakage([](VideoAnalysis& r) { r.mutable_channels()->RemoveLast(); })
                                        << u"expected 9 channels, found 8"_s;
        QTest::newRow("channel moved") << Breakage([](VideoAnalysis& r) { r.mutable_channels(3)->set_x(1); })
                                       << u"channel 3 (1, 0) is not at its grid position (0, 0)"_s;
        QTest::newRow("missing blue") << Breakage([](VideoAnalysis& r) {
            r.mutable_channels(4)->mutable_b()->RemoveLast();
        }) << u"channel 4 (1, 0) has 1 b values for 2 time stamps"_s;
        QTest::newRow("red above 255") << Breakage([](VideoAnalysis& r) { r.mutable_channels(0)->set_r(1, 256); })
                                       << u"channel 0 (1, 1) r value 256 at frame 1 is above 255"_s;
        QTest::newRow("time goes back") << Breakage([](VideoAnalysis& r) { r.set_timestamps(1, 3); })
                                        << u"time stamp 3 at frame 1 is earlier than the one before it (7)"_s;
        QTest::newRow("time goes back one hundredth")
            << Breakage([](VideoAnalysis& r) { r.set_timestamps(1, 6); })
            << u"time stamp 6 at frame 1 is earlier than the one before it (7)"_s;
        QTest::newRow("two frames in one hundredth")
            << Breakage([](VideoAnalysis& r) { r.set_timestamps(1, 7); }) << QString();
    }
    void invariants()
    {
        QFETCH(Breakage, breakage);
        QFETCH(QString, problem);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        auto raster = test::makeRaster(5, 5, distinctColour);
        analysis::sampleFrame(*raster, 0.07, record);
        analysis::sampleFrame(*raster, 0.08, record);
        breakage(record);
        const auto found = analysis::findInvariantViolation(record);
        QCOMPARE(found ? QString::fromStdString(*found) : QString(), problem);
    }
};

int runRecordTests(int argc, char** argv)
{
    TestVideoAnalysisRecord test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_record.moc"
