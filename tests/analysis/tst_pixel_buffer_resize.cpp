#include "raster.h"

#include "analysis/pixel_buffer_resize.h"

#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <limits>

using namespace corvex;
using analysis::PixelRegion;

Q_DECLARE_METATYPE(PixelRegion)

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::uint8_t* pixelOf(const media::PixelBuffer& buffer, int x, int y)
{
    return buffer.baseAddress() + static_cast<std::size_t>(y) * buffer.bytesPerRow() + 4 * static_cast<std::size_t>(x);
}

} // namespace

class TestPixelBufferResize final : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        auto frame = test::makeRaster(20, 20, [](int, int) { return test::Bgr { 50, 60, 70 }; });
        QTest::failOnWarning(QRegularExpression());
        QTest::ignoreMessage(QtWarningMsg, "Could not create a 0 x 5 pixel buffer: not a size a buffer can have");
        QVERIFY(!analysis::resizePixelBuffer(*frame, 0, 5, std::nullopt));
        QVERIFY(!analysis::resizePixelBuffer(*frame, 5, 5, media::Rect { 2, 2, 1, 1 }));
    }
};

int runPixelBufferResizeTests(int argc, char** argv)
{
    TestPixelBufferResize test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pixel_buffer_resize.moc"
