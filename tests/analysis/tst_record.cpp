// A frame sampled into the record: which pixel each channel reads, the time
// stamps, the crop and scaling before it, the record's wire bytes and checks,
// and the live colour message made from it.

#include "raster.h"

#include "analysis/elapsed_time.h"
#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/pixel_buffer_resize.h"
#include "analysis/record_builder.h"
#include "analysis/video_analysis_record.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>

using namespace Qt::StringLiterals;

using namespace corvex;
using analysis::PixelRegion;
using media::MediaTime;

using Breakage = std::function<void(VideoAnalysis&)>;
Q_DECLARE_METATYPE(Breakage)
Q_DECLARE_METATYPE(MediaTime)
Q_DECLARE_METATYPE(PixelRegion)

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Pixel (c, r) of the test raster: each pixel its own colour; some values need two-byte varints.
test::Bgr distinctColour(int c, int r)
{
    return { static_cast<std::uint8_t>(c * 50 + r), static_cast<std::uint8_t>(r * 50 + c),
        static_cast<std::uint8_t>(200 + c + r * 10) };
}

// The pixel each channel must read, by channel index.
constexpr int kExpectedPixel[9][2]
    = { { 2, 2 }, { 0, 3 }, { 0, 1 }, { 0, 0 }, { 2, 0 }, { 4, 0 }, { 2, 4 }, { 4, 4 }, { 4, 1 } };

QByteArray bytesOf(const VideoAnalysis& record)
{
    const auto bytes = analysis::serializeVideoAnalysis(record);
    return bytes ? QByteArray::fromStdString(*bytes) : QByteArray("<failed>");
}

const std::uint8_t* pixelOf(const media::PixelBuffer& buffer, int x, int y)
{
    return buffer.baseAddress() + static_cast<std::size_t>(y) * buffer.bytesPerRow() + 4 * static_cast<std::size_t>(x);
}

} // namespace

class TestRecord final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // After a first frame, each channel holds its own pixel of the second, and
    // the live message names it by its grid position ("xy") with that colour.
    void eachChannelReadsItsPixel_data()
    {
        QTest::addColumn<std::size_t>("padding");
        QTest::newRow("tight rows") << std::size_t(0);
        QTest::newRow("padded rows") << std::size_t(44);
    }
    void eachChannelReadsItsPixel()
    {
        QFETCH(std::size_t, padding);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::grey(1), 0, record);
        analysis::sampleFrame(*test::makeRaster(5, 5, distinctColour, padding), 0.1, record);
        const QJsonObject message = QJsonDocument::fromJson(
            QByteArray::fromStdString(analysis::encodeLiveColourMessage(analysis::previewColors(record))))
                                        .object();
        QCOMPARE(message.size(), 9);
        for (int i = 0; i < 9; ++i) {
            const test::Bgr want = distinctColour(kExpectedPixel[i][0], kExpectedPixel[i][1]);
            const auto& channel = record.channels(i);
            QCOMPARE(channel.r(1), std::uint32_t(want.r));
            QCOMPARE(channel.g(1), std::uint32_t(want.g));
            QCOMPARE(channel.b(1), std::uint32_t(want.b));
            QCOMPARE(message.value(u"%1%2"_s.arg(channel.x()).arg(channel.y())).toObject(),
                (QJsonObject { { u"r"_s, int(want.r) }, { u"g"_s, int(want.g) }, { u"b"_s, int(want.b) } }));
        }
    }

    void timestamps_data()
    {
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<bool>("sampled");
        QTest::addColumn<quint32>("timestamp");
        QTest::newRow("0") << 0.0 << true << 0u;
        QTest::newRow("0.999") << 0.999 << true << 99u;
        QTest::newRow("1.234") << 1.234 << true << 123u;
        QTest::newRow("12.3456") << 12.3456 << true << 1234u;
        QTest::newRow("0.29, an ulp below") << 0.29 << true << 29u;
        QTest::newRow("100 ns short of 0.30") << 0.2999999 << true << 29u;
        QTest::newRow("just below zero") << -0.009 << true << 0u;
        QTest::newRow("-0.01 skips") << -0.01 << false << 0u;
        QTest::newRow("-5 skips") << -5.0 << false << 0u;
        QTest::newRow("last hundredth") << 42949672.959 << true << 4294967295u;
        QTest::newRow("2^32 hundredths skips") << 42949672.96 + 1e-6 << false << 0u;
        QTest::newRow("NaN skips") << kNaN << false << 0u;
        QTest::newRow("infinity skips") << kInf << false << 0u;
    }
    void timestamps()
    {
        QFETCH(double, elapsed);
        QFETCH(bool, sampled);
        QFETCH(quint32, timestamp);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::makeRaster(5, 5, distinctColour), elapsed, record);
        QCOMPARE(record.timestamps_size(), sampled ? 1 : 0);
        for (const auto& channel : record.channels())
            QCOMPARE(channel.b_size(), record.timestamps_size());
        if (sampled)
            QCOMPARE(record.timestamps(0), timestamp);
    }

    void framesThatCannotBeSampledLeaveTheRecordAlone_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("channels");
        QTest::newRow("4 columns") << 4 << 5 << 9;
        QTest::newRow("4 rows") << 5 << 4 << 9;
        QTest::newRow("record without channels") << 5 << 5 << 0;
    }
    void framesThatCannotBeSampledLeaveTheRecordAlone()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, channels);
        VideoAnalysis record = channels == 9 ? analysis::initialVideoAnalysis() : VideoAnalysis();
        const QByteArray before = bytesOf(record);
        analysis::sampleFrame(*test::makeRaster(width, height, distinctColour), 1, record);
        QCOMPARE(bytesOf(record), before);
    }

    // The difference is exact however far the clock stands from zero (how
    // long the machine has been up), and on either time scale.
    void elapsedTimeIsExactAtAnyUptime_data()
    {
        QTest::addColumn<MediaTime>("origin");
        QTest::addColumn<MediaTime>("time");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<quint32>("timestamp");
        const auto ns = [](qint64 value) { return MediaTime::fromNanoseconds(value); };
        constexpr qint64 day = 86'400'000'000'000;
        QTest::newRow("audio first at 10 s, video at 10.5 s") << ns(10'000'000'000) << ns(10'500'000'000) << 0.5 << 50u;
        QTest::newRow("a hundredth after 100000 s") << ns(100'000'000'000'000) << ns(100'000'010'000'000) << 0.01 << 1u;
        QTest::newRow("a 30 fps frame at 10 days") << ns(10 * day) << ns(10 * day + 33'333'333) << 0.033333333 << 3u;
        QTest::newRow("2 h in at 60 days") << ns(60 * day) << ns(60 * day + 7'200'040'000'000) << 7200.04 << 720004u;
        QTest::newRow("at the clock's end") << ns(INT64_MAX - 1'000'000'000) << ns(INT64_MAX) << 1.0 << 100u;
        QTest::newRow("same time") << ns(123) << ns(123) << 0.0 << 0u;
        QTest::newRow("microseconds after nanoseconds")
            << ns(1'005'000'000) << MediaTime::make(1'250'000, 1'000'000) << 0.245 << 24u;
    }
    void elapsedTimeIsExactAtAnyUptime()
    {
        QFETCH(MediaTime, origin);
        QFETCH(MediaTime, time);
        QFETCH(double, elapsed);
        QFETCH(quint32, timestamp);
        const double got = analysis::elapsedSeconds(time, origin);
        QCOMPARE(got, elapsed);
        QCOMPARE(analysis::timestampFromElapsed(got), std::optional<std::uint32_t>(timestamp));
    }

    void cropRegions_data()
    {
        QTest::addColumn<bool>("hasCrop");
        QTest::addColumn<media::Rect>("crop");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<PixelRegion>("region");
        const PixelRegion whole { 0, 0, 1920, 1080 };
        QTest::newRow("no crop") << false << media::Rect {} << true << whole;
        QTest::newRow("whole frame") << true << media::Rect { 0, 0, 1, 1 } << true << whole;
        QTest::newRow("right half") << true << media::Rect { 0.5, 0, 0.5, 1 } << true
                                    << PixelRegion { 960, 0, 960, 1080 };
        QTest::newRow("middle band") << true << media::Rect { 0, 0.25, 1, 0.5 } << true
                                     << PixelRegion { 0, 270, 1920, 540 };
        QTest::newRow("truncated") << true << media::Rect { 0.1, 0.1, 0.3337, 0.3337 } << true
                                   << PixelRegion { 192, 108, 640, 360 };
        QTest::newRow("left of the frame")
            << true << media::Rect { -0.25, 0, 0.5, 1 } << true << PixelRegion { 0, 0, 480, 1080 };
        QTest::newRow("past the right edge")
            << true << media::Rect { 0.75, 0, 0.5, 1 } << true << PixelRegion { 1440, 0, 480, 1080 };
        QTest::newRow("negative size") << true << media::Rect { 0.5, 0.5, -0.5, -0.5 } << true
                                       << PixelRegion { 0, 0, 960, 540 };
        QTest::newRow("NaN origin") << true << media::Rect { kNaN, 0, 0.5, 1 } << true << whole;
        QTest::newRow("infinite width") << true << media::Rect { 0.5, 0, kInf, 1 } << true
                                        << PixelRegion { 960, 0, 960, 1080 };
        QTest::newRow("huge values") << true << media::Rect { -1e300, -1e300, 2e300, 2e300 } << true << whole;
        QTest::newRow("outside") << true << media::Rect { 1.5, 0, 0.5, 1 } << false << PixelRegion {};
        QTest::newRow("zero width") << true << media::Rect { 0.5, 0, 0, 1 } << false << PixelRegion {};
        QTest::newRow("under a pixel") << true << media::Rect { 0.5, 0, 0.0001, 1 } << false << PixelRegion {};
        QTest::newRow("NaN size") << true << media::Rect { 0, 0, 1, kNaN } << true << whole;
        QTest::newRow("minus infinity origin") << true << media::Rect { -kInf, 0, 1, 1 } << false << PixelRegion {};
    }
    void cropRegions()
    {
        QFETCH(bool, hasCrop);
        QFETCH(media::Rect, crop);
        QFETCH(bool, valid);
        QFETCH(PixelRegion, region);
        const auto got = analysis::cropRegion(1920, 1080, hasCrop ? std::optional(crop) : std::nullopt);
        QCOMPARE(bool(got), valid);
        if (got)
            QCOMPARE(*got, region);
    }

    void cropSelectsThePixelsScaled_data()
    {
        QTest::addColumn<media::Rect>("crop");
        QTest::addColumn<std::size_t>("padding");
        QTest::addColumn<int>("red");
        QTest::addColumn<int>("blue"); // -1: mixed
        QTest::newRow("right half, padded rows") << media::Rect { 0.5, 0, 0.5, 1 } << std::size_t(36) << 200 << -1;
        QTest::newRow("left half") << media::Rect { 0, 0, 0.5, 1 } << std::size_t(0) << 100 << 7;
        QTest::newRow("bottom right quarter") << media::Rect { 0.5, 0.5, 0.5, 0.5 } << std::size_t(4) << 200 << 250;
    }
    void cropSelectsThePixelsScaled()
    {
        QFETCH(media::Rect, crop);
        QFETCH(std::size_t, padding);
        QFETCH(int, red);
        QFETCH(int, blue);
        // Left half red 100, right half red 200; blue 250 in the bottom right quarter, 7 elsewhere.
        auto frame = test::makeRaster(
            64, 36,
            [](int c, int r) {
                return test::Bgr { std::uint8_t(c >= 32 && r >= 18 ? 250 : 7), 9, std::uint8_t(c < 32 ? 100 : 200) };
            },
            padding);
        auto raster = analysis::resizePixelBuffer(*frame, 5, 5, crop);
        QVERIFY(raster);
        QCOMPARE(raster->width(), 5);
        QCOMPARE(raster->height(), 5);
        QCOMPARE(raster->format(), media::PixelFormat::BGRA);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x) {
                QCOMPARE(int(pixelOf(*raster, x, y)[2]), red);
                if (blue >= 0)
                    QCOMPARE(int(pixelOf(*raster, x, y)[0]), blue);
            }
    }

    void noDestinationWithoutPixelsToScale()
    {
        QTest::failOnWarning(QRegularExpression());
        QTest::ignoreMessage(QtWarningMsg, "Could not create a 0 x 5 pixel buffer: not a size a buffer can have");
        QVERIFY(!analysis::resizePixelBuffer(*test::grey(50), 0, 5, std::nullopt));
        QVERIFY(!analysis::resizePixelBuffer(*test::grey(50), 5, 5, media::Rect { 2, 2, 1, 1 }));
    }

    void oneSampledFrameWireBytes()
    {
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::makeRaster(5, 5, distinctColour, 12), 1.234, record);
        QCOMPARE(bytesOf(record).toHex(),
            QByteArray("0a017b120e080110011a02de012201662a0166120d10021a02e601220296012a0103120c10011a02d20122"
                       "01322a0101120a1a02c8012201002a0100120c08011a02ca012201022a0164120d08021a02cc01220104"
                       "2a02c801120f080110021a02f2012202ca012a01681210080210021a02f4012202cc012a02cc01120f08"
                       "0210011a02d6012201362a02c901"));
        record.set_signature(std::string("\x01\x02", 2)); // after the channels
        QVERIFY(bytesOf(record).endsWith(QByteArray::fromHex("1a020102")));
    }

    // The record built frame by frame in its compact form encodes to the very
    // bytes of the message sampled from the same frames (every channel and
    // colour in its place), with or without frames and signature.
    void builtRecordEncodesAsTheMessage_data()
    {
        QTest::addColumn<std::vector<double>>("times");
        QTest::addColumn<QByteArray>("signature");
        QTest::newRow("no frames, a signature") << std::vector<double> {} << QByteArray("\x01\x02", 2);
        QTest::newRow("frames, no signature") << std::vector<double> { 0, 0.04, 163.84 } << QByteArray();
        QTest::newRow("frames and a signature") << std::vector<double> { 1.27, 1.28, 2684354.56 } << QByteArray("sig");
    }
    void builtRecordEncodesAsTheMessage()
    {
        QFETCH(std::vector<double>, times);
        QFETCH(QByteArray, signature);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::RecordBuilder built;
        built.reserve(times.size());
        for (std::size_t k = 0; k < times.size(); ++k) {
            const int n = static_cast<int>(k);
            const auto frame = test::makeRaster(5, 5, [&](int c, int r) {
                return test::Bgr { static_cast<std::uint8_t>(n * 37 + c * 50 + r),
                    static_cast<std::uint8_t>(n * 11 + r * 50 + c), static_cast<std::uint8_t>(n * 90 + c * r * 9) };
            });
            analysis::sampleFrame(*frame, times[k], record);
            built.append(*analysis::timestampFromElapsed(times[k]), *analysis::sampleChannels(*frame));
        }
        QCOMPARE(built.frameCount(), times.size());
        QCOMPARE(built.newestColours(), analysis::previewColors(record));
        record.set_signature(signature.toStdString());
        const std::optional<QByteArray> encoded = built.encode(signature.toStdString());
        QVERIFY(encoded);
        QCOMPARE(encoded->toHex(), bytesOf(record).toHex());
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

    // A message of one grey in every cell (zeros before any frame) has no
    // spaces, a size set by the digits, and reads back as written.
    void messageSize_data()
    {
        QTest::addColumn<int>("value"); // -1: no frame yet
        QTest::addColumn<int>("size");
        QTest::newRow("no frame yet") << -1 << 226;
        QTest::newRow("single digits") << 7 << 226;
        QTest::newRow("two digits") << 42 << 253;
        QTest::newRow("three digits") << 255 << 280;
    }
    void messageSize()
    {
        QFETCH(int, value);
        QFETCH(int, size);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        if (value >= 0)
            analysis::sampleFrame(*test::grey(std::uint8_t(value)), 0, record);
        const analysis::PreviewColors colors = analysis::previewColors(record);
        QCOMPARE(colors.size(), std::size_t(9));
        const auto v = std::uint32_t(std::max(value, 0));
        for (const auto& [name, rgb] : colors)
            QCOMPARE(rgb, (analysis::RGB { v, v, v }));
        const std::string bytes = analysis::encodeLiveColourMessage(colors);
        QCOMPARE(int(bytes.size()), size);
        QVERIFY(bytes.find_first_of(" \n\t") == std::string::npos);
        QCOMPARE(analysis::decodeLiveColourMessage(bytes), std::optional(colors));
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
        QTest::newRow("2 to the 63") << QByteArray("{\"11\":{\"r\":9223372036854775808,\"g\":2,\"b\":3}}");
    }
    void decodingRefusesOtherShapes()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!analysis::decodeLiveColourMessage(bytes.toStdString()));
    }
};

int runRecordTests(int argc, char** argv)
{
    TestRecord test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_record.moc"
