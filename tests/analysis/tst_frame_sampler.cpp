#include "raster.h"

#include "analysis/elapsed_time.h"
#include "analysis/frame_sampler.h"
#include "analysis/video_analysis_record.h"

#include <QTest>

using namespace Qt::StringLiterals;

#include <cmath>
#include <limits>

using namespace corvex;
using media::MediaTime;

Q_DECLARE_METATYPE(MediaTime)

namespace {

test::Bgr byPosition(int c, int r)
{
    return { static_cast<std::uint8_t>(10 * c + r), static_cast<std::uint8_t>(100 + 10 * c + r),
        static_cast<std::uint8_t>(200 + 10 * c + r) };
}

// The pixel each channel must read, by channel index.
constexpr int kExpectedPixel[9][2]
    = { { 2, 2 }, { 0, 3 }, { 0, 1 }, { 0, 0 }, { 2, 0 }, { 4, 0 }, { 2, 4 }, { 4, 4 }, { 4, 1 } };

bool sameRecord(const VideoAnalysis& a, const VideoAnalysis& b)
{
    return a.SerializeAsString() == b.SerializeAsString();
}

} // namespace

class TestFrameSampler final : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        auto raster = test::makeRaster(5, 5, byPosition, padding);
        analysis::sampleFrame(*raster, 0, record);
        for (int i = 0; i < 9; ++i) {
            const test::Bgr want = byPosition(kExpectedPixel[i][0], kExpectedPixel[i][1]);
            const auto& channel = record.channels(i);
            QCOMPARE(channel.r(0), std::uint32_t(want.r));
            QCOMPARE(channel.g(0), std::uint32_t(want.g));
            QCOMPARE(channel.b(0), std::uint32_t(want.b));
        }
    }

    void pixelsOutsideTheTableChangeNothing_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("row");
        QTest::newRow("(1, 1)") << 1 << 1;
        QTest::newRow("(0, 2)") << 0 << 2;
        QTest::newRow("(4, 2)") << 4 << 2;
        QTest::newRow("(0, 4)") << 0 << 4;
        QTest::newRow("(2, 1)") << 2 << 1;
        QTest::newRow("(3, 3)") << 3 << 3;
    }
    void pixelsOutsideTheTableChangeNothing()
    {
        QFETCH(int, column);
        QFETCH(int, row);
        VideoAnalysis plain = analysis::initialVideoAnalysis();
        VideoAnalysis changed = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::makeRaster(5, 5, byPosition), 1, plain);
        analysis::sampleFrame(*test::makeRaster(5, 5,
                                  [&](int c, int r) {
                                      return (c == column && r == row) ? test::Bgr { 1, 2, 3 } : byPosition(c, r);
                                  }),
            1, changed);
        QVERIFY(sameRecord(plain, changed));
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
        QTest::newRow("NaN skips") << std::nan("") << false << 0u;
        QTest::newRow("infinity skips") << std::numeric_limits<double>::infinity() << false << 0u;
    }
    void timestamps()
    {
        QFETCH(double, elapsed);
        QFETCH(bool, sampled);
        QFETCH(quint32, timestamp);
        VideoAnalysis record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*test::makeRaster(5, 5, byPosition), elapsed, record);
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
        const VideoAnalysis before = record;
        auto raster = test::makeRaster(width, height, byPosition);
        analysis::sampleFrame(*raster, 1, record);
        QVERIFY(sameRecord(record, before));
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
};

int runFrameSamplerTests(int argc, char** argv)
{
    TestFrameSampler test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frame_sampler.moc"
