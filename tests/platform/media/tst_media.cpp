#include "platform/media/image_scaler.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace corvex::media;

namespace {

struct Image {
    int width;
    int height;
    std::size_t rowBytes;
    std::vector<std::uint8_t> bytes;

    Image(int w, int h, std::size_t padding = 0)
        : width(w)
        , height(h)
        , rowBytes(static_cast<std::size_t>(w) * 4 + padding)
        , bytes(rowBytes * static_cast<std::size_t>(h), 0xEE) // padding holds garbage on purpose
    {
    }
    std::uint8_t* pixel(int x, int y) { return bytes.data() + static_cast<std::size_t>(y) * rowBytes + 4 * x; }
    ConstImageView view() const { return { bytes.data(), height, width, rowBytes }; }
    ImageView mutableView() { return { bytes.data(), height, width, rowBytes }; }

    // Every pixel's four bytes drawn from a seeded generator; the padding keeps its garbage.
    static Image noise(int w, int h, std::size_t padding, unsigned seed)
    {
        Image image(w, h, padding);
        std::mt19937 random(seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 4; ++c)
                    image.pixel(x, y)[c] = static_cast<std::uint8_t>(random());
        return image;
    }
};

// Straightforward area average in floating point: the result the scaler must give.
std::vector<double> referenceScale(Image& src, int dstW, int dstH)
{
    std::vector<double> out(static_cast<std::size_t>(dstW * dstH * 4), 0.0);
    const double sx = static_cast<double>(src.width) / dstW;
    const double sy = static_cast<double>(src.height) / dstH;
    for (int oy = 0; oy < dstH; ++oy) {
        for (int ox = 0; ox < dstW; ++ox) {
            double sums[4] = {};
            for (int y = 0; y < src.height; ++y) {
                const double wy = std::max(0.0, std::min(y + 1.0, (oy + 1) * sy) - std::max(double(y), oy * sy));
                if (wy == 0)
                    continue;
                for (int x = 0; x < src.width; ++x) {
                    const double wx = std::max(0.0, std::min(x + 1.0, (ox + 1) * sx) - std::max(double(x), ox * sx));
                    for (int c = 0; c < 4; ++c)
                        sums[c] += wx * wy * src.pixel(x, y)[c];
                }
            }
            for (int c = 0; c < 4; ++c)
                out[static_cast<std::size_t>((oy * dstW + ox) * 4 + c)] = sums[c] / (sx * sy);
        }
    }
    return out;
}

// The exact result, in integers: source pixel (x, y) weighs the part of it
// inside the cell, in units of 1/dstW by 1/dstH of a pixel, and the cell's sum
// over its srcW × srcH units is rounded to the nearest byte, halves up.
std::vector<std::uint8_t> exactScale(Image& src, int dstW, int dstH)
{
    std::vector<std::uint8_t> out(static_cast<std::size_t>(dstW) * static_cast<std::size_t>(dstH) * 4);
    const auto overlap = [](std::uint64_t pixel, std::uint64_t cell, std::uint64_t srcSize, std::uint64_t dstSize) {
        const std::uint64_t begin = std::max(pixel * dstSize, cell * srcSize);
        const std::uint64_t end = std::min((pixel + 1) * dstSize, (cell + 1) * srcSize);
        return end > begin ? end - begin : 0;
    };
    const std::uint64_t area = std::uint64_t(src.width) * std::uint64_t(src.height);
    for (int oy = 0; oy < dstH; ++oy)
        for (int ox = 0; ox < dstW; ++ox) {
            std::uint64_t sums[4] = {};
            const int firstY = int(std::uint64_t(oy) * src.height / dstH);
            const int lastY = int((std::uint64_t(oy + 1) * src.height - 1) / dstH);
            const int firstX = int(std::uint64_t(ox) * src.width / dstW);
            const int lastX = int((std::uint64_t(ox + 1) * src.width - 1) / dstW);
            for (int y = firstY; y <= lastY; ++y) {
                const std::uint64_t wy = overlap(y, oy, src.height, dstH);
                for (int x = firstX; x <= lastX; ++x) {
                    const std::uint64_t w = wy * overlap(x, ox, src.width, dstW);
                    for (int c = 0; c < 4; ++c)
                        sums[c] += w * src.pixel(x, y)[c];
                }
            }
            for (int c = 0; c < 4; ++c)
                out[(std::size_t(oy) * std::size_t(dstW) + std::size_t(ox)) * 4 + std::size_t(c)]
                    = static_cast<std::uint8_t>((sums[c] + area / 2) / area);
        }
    return out;
}

} // namespace

class TestMedia final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void mediaTimeSeconds_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<int>("timescale");
        QTest::addColumn<quint32>("flags");
        QTest::addColumn<double>("seconds");
        QTest::newRow("one and a half") << qint64(3) << 2 << quint32(MediaTime::Valid) << 1.5;
        QTest::newRow("nanoseconds") << qint64(100'000'010'000'000) << 1'000'000'000 << quint32(MediaTime::Valid)
                                     << 100000.01;
        QTest::newRow("negative") << qint64(-1) << 100 << quint32(MediaTime::Valid) << -0.01;
        QTest::newRow("invalid") << qint64(1) << 1 << quint32(0) << std::nan("");
        QTest::newRow("indefinite") << qint64(1) << 1 << quint32(MediaTime::Valid | MediaTime::Indefinite)
                                    << std::nan("");
        QTest::newRow("+infinity") << qint64(0) << 1 << quint32(MediaTime::Valid | MediaTime::PositiveInfinity)
                                   << std::numeric_limits<double>::infinity();
        QTest::newRow("zero timescale") << qint64(1) << 0 << quint32(MediaTime::Valid) << std::nan("");
    }
    void mediaTimeSeconds()
    {
        QFETCH(qint64, value);
        QFETCH(int, timescale);
        QFETCH(quint32, flags);
        QFETCH(double, seconds);
        const MediaTime time { value, timescale, flags, 0 };
        if (std::isnan(seconds))
            QVERIFY(std::isnan(time.seconds()));
        else
            QCOMPARE(time.seconds(), seconds);
    }

    void createdBuffersHavePaddedRowsAndRefuseBadSizes_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("bytesPerRow");
        QTest::newRow("5x5") << 5 << 5 << 0 << 64;
        QTest::newRow("16x1") << 16 << 1 << 0 << 64;
        QTest::newRow("17x1") << 17 << 1 << 0 << 128;
        QTest::newRow("zero width") << 0 << 5 << int(PixelBufferStatus::InvalidArgument) << 0;
        QTest::newRow("negative height") << 5 << -1 << int(PixelBufferStatus::InvalidArgument) << 0;
        QTest::newRow("too wide") << (1 << 20) << 1 << int(PixelBufferStatus::InvalidArgument) << 0;
    }
    void createdBuffersHavePaddedRowsAndRefuseBadSizes()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, status);
        QFETCH(int, bytesPerRow);
        const auto created = PixelBuffer::create(width, height, PixelFormat::BGRA);
        QCOMPARE(int(created.status), status);
        QCOMPARE(bool(created.buffer), status == 0);
        if (created.buffer) {
            QCOMPARE(created.buffer->bytesPerRow(), std::size_t(bytesPerRow));
            QCOMPARE(created.buffer->format(), PixelFormat::BGRA);
            QCOMPARE(pixelFormatName(created.buffer->format()), std::string("BGRA"));
        }
    }

    void wrapRefusesRowsShorterThanThePixels()
    {
        auto pixels = std::shared_ptr<std::uint8_t>(new std::uint8_t[64](), std::default_delete<std::uint8_t[]>());
        QVERIFY(PixelBuffer::wrap(4, 4, 16, PixelFormat::BGRA, pixels));
        QVERIFY(!PixelBuffer::wrap(4, 4, 15, PixelFormat::BGRA, pixels));
        QVERIFY(!PixelBuffer::wrap(4, 4, 16, PixelFormat::BGRA, nullptr));
    }

    void scalerMatchesTheAreaAverage_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::addColumn<int>("dstW");
        QTest::addColumn<int>("dstH");
        QTest::addColumn<int>("padding");
        QTest::newRow("exact multiple") << 20 << 15 << 5 << 5 << 0;
        QTest::newRow("fractional edges") << 7 << 9 << 5 << 5 << 0;
        QTest::newRow("odd sizes, padded rows") << 101 << 57 << 5 << 5 << 12;
        QTest::newRow("one column source") << 1 << 13 << 5 << 5 << 0;
        QTest::newRow("enlarging") << 3 << 2 << 5 << 5 << 4;
        QTest::newRow("same size") << 5 << 5 << 5 << 5 << 0;
        QTest::newRow("wide to tall") << 640 << 3 << 3 << 7 << 0;
        QTest::newRow("long rows (many 16-bit folds)") << 4099 << 3 << 2 << 1 << 0;
        QTest::newRow("rows not a whole number of SIMD steps") << 1001 << 13 << 7 << 5 << 4;
        QTest::newRow("tall destination (edge lines weigh more than 16 bits hold)") << 37 << 400 << 3 << 300 << 0;
        QTest::newRow("more whole lines per cell than 16 bits hold, and cut lines") << 5 << 701 << 2 << 2 << 8;
        QTest::newRow("a hundred from a screen, padded rows") << 1921 << 271 << 100 << 14 << 20;
    }
    void scalerMatchesTheAreaAverage()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        QFETCH(int, dstW);
        QFETCH(int, dstH);
        QFETCH(int, padding);
        Image src = Image::noise(srcW, srcH, static_cast<std::size_t>(padding), 42u);
        const std::vector<double> expected = referenceScale(src, dstW, dstH);
        for (const ScalerPath path : availableScalerPaths()) {
            Image dst(dstW, dstH, 8);
            QCOMPARE(scaleArgb8888(src.view(), dst.mutableView(), path), ScaleStatus::Success);
            for (int y = 0; y < dstH; ++y)
                for (int x = 0; x < dstW; ++x)
                    for (int c = 0; c < 4; ++c) {
                        const double want = expected[static_cast<std::size_t>((y * dstW + x) * 4 + c)];
                        const int got = dst.pixel(x, y)[c];
                        if (std::abs(got - want) > 0.5 + 1e-9)
                            QFAIL(qPrintable(QStringLiteral("path %1, pixel (%2, %3) channel %4: got %5, expected %6")
                                                 .arg(int(path))
                                                 .arg(x)
                                                 .arg(y)
                                                 .arg(c)
                                                 .arg(got)
                                                 .arg(want)));
                    }
            // The padding after each destination row is left alone.
            for (int y = 0; y < dstH; ++y)
                QCOMPARE(dst.pixel(dstW, y)[0], std::uint8_t(0xEE));
        }
    }

    // Every path the processor has, and the default, gives exactly the integer
    // result, whatever the way the frame falls into 16-pixel strips (a tail or
    // none, an odd count of them), the padding of its rows, the count of whole
    // lines a row of cells has (past what 16-bit sums hold, on the boundary of
    // it) and the weight of its cut lines.
    void scalerIsExact_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::addColumn<int>("dstW");
        QTest::addColumn<int>("dstH");
        QTest::addColumn<int>("padding");
        QTest::newRow("a screen to a hundred") << 1920 << 1080 << 100 << 56 << 0;
        QTest::newRow("a strip and one pixel") << 17 << 40 << 3 << 5 << 0;
        QTest::newRow("three strips, no tail") << 48 << 50 << 5 << 4 << 0;
        QTest::newRow("five strips and fifteen pixels, padded rows") << 95 << 61 << 9 << 7 << 4;
        QTest::newRow("narrower than a strip") << 7 << 30 << 2 << 3 << 0;
        QTest::newRow("a crop of a wider frame, rows not whole strips apart") << 250 << 120 << 25 << 12 << 36;
        QTest::newRow("257 whole lines a row") << 33 << 514 << 2 << 2 << 0;
        QTest::newRow("512 whole lines a row") << 40 << 1024 << 3 << 2 << 0;
        QTest::newRow("512 whole lines a row and cut ones") << 40 << 1025 << 3 << 2 << 8;
        QTest::newRow("cut lines weighing near a thousand") << 70 << 1001 << 5 << 1000 << 0;
        QTest::newRow("cut lines weighing more than 16 bits hold") << 48 << 700 << 4 << 300 << 8;
        QTest::newRow("enlarging") << 17 << 9 << 40 << 20 << 0;
        QTest::newRow("a screen to a hundred, rows padded") << 1920 << 1080 << 100 << 56 << 256;
        QTest::newRow("one pixel past whole strips") << 1921 << 1081 << 100 << 56 << 0;
        QTest::newRow("fifteen pixels past whole strips") << 47 << 33 << 7 << 5 << 12;
        QTest::newRow("fewer pixels than a strip") << 15 << 40 << 4 << 3 << 4;
        QTest::newRow("exactly one strip") << 16 << 16 << 3 << 3 << 0;
        QTest::newRow("a crop of a wider frame") << 1000 << 500 << 100 << 50 << 3680;
        QTest::newRow("more whole lines than 16 bits hold") << 64 << 1500 << 5 << 2 << 0;
    }
    void scalerIsExact()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        QFETCH(int, dstW);
        QFETCH(int, dstH);
        QFETCH(int, padding);
        Image src = Image::noise(srcW, srcH, static_cast<std::size_t>(padding), 11u);
        const std::vector<std::uint8_t> expected = exactScale(src, dstW, dstH);
        for (const ScalerPath path : availableScalerPaths()) {
            Image dst(dstW, dstH);
            QCOMPARE(scaleArgb8888(src.view(), dst.mutableView(), path), ScaleStatus::Success);
            for (std::size_t i = 0; i < expected.size(); ++i)
                if (dst.bytes[i] != expected[i])
                    QFAIL(qPrintable(QStringLiteral("path %1, pixel %2 channel %3: got %4, expected %5")
                                         .arg(int(path))
                                         .arg(i / 4)
                                         .arg(i % 4)
                                         .arg(dst.bytes[i])
                                         .arg(expected[i])));
        }
        // And the default is one of them.
        Image chosen(dstW, dstH);
        QCOMPARE(scaleArgb8888(src.view(), chosen.mutableView()), ScaleStatus::Success);
        QVERIFY(chosen.bytes == expected);
    }

    // A uniform source must come out as itself. Full white over many pixels per
    // cell drives the scaler's 16-bit partial sums to their limit, which
    // random pixels (averaging half of that) never reach.
    void uniformSourceStaysUniform_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::addColumn<int>("dstW");
        QTest::addColumn<int>("dstH");
        QTest::addColumn<int>("value");
        QTest::newRow("white, one long row per cell") << 4096 << 1 << 1 << 1 << 255;
        QTest::newRow("white, a tall cell of short rows") << 8 << 2048 << 1 << 1 << 255;
        QTest::newRow("white, 4K to 5x5") << 3840 << 2160 << 5 << 5 << 255;
        QTest::newRow("white, 1080p to 1x1") << 1920 << 1080 << 1 << 1 << 255;
        QTest::newRow("white, narrow cells over many lines") << 400 << 1100 << 100 << 1 << 255;
        QTest::newRow("254, 4K to 3x2") << 3840 << 2160 << 3 << 2 << 254;
        QTest::newRow("1, 1080p to 5x5") << 1920 << 1080 << 5 << 5 << 1;
        QTest::newRow("white, 1080p to 100x56 (cut lines)") << 1920 << 1080 << 100 << 56 << 255;
        QTest::newRow("white, cut lines weighing all 16 bits hold") << 8 << 255 << 1 << 128 << 255;
        QTest::newRow("white, cut lines weighing more than 16 bits hold") << 8 << 200 << 1 << 129 << 255;
        QTest::newRow("white, 600 whole lines a cell and cut ones") << 16 << 1201 << 3 << 2 << 255;
        QTest::newRow("white, 256 whole lines a cell (all 16 bits hold)") << 33 << 512 << 2 << 2 << 255;
        QTest::newRow("white, 257 whole lines a cell") << 33 << 514 << 2 << 2 << 255;
        QTest::newRow("white, a screen to a hundred, past whole groups") << 1921 << 1080 << 100 << 56 << 255;
        QTest::newRow("white, a cell's sums past 32 bits") << 63 << 270000 << 1 << 1 << 255;
        QTest::newRow("white, cells' sums past 32 bits, columns' within") << 64 << 270000 << 16 << 1 << 255;
    }
    void uniformSourceStaysUniform()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        QFETCH(int, dstW);
        QFETCH(int, dstH);
        QFETCH(int, value);
        Image src(srcW, srcH);
        for (int y = 0; y < srcH; ++y)
            std::fill_n(src.pixel(0, y), 4 * std::size_t(srcW), static_cast<std::uint8_t>(value));
        for (const ScalerPath path : availableScalerPaths()) {
            Image dst(dstW, dstH);
            QCOMPARE(scaleArgb8888(src.view(), dst.mutableView(), path), ScaleStatus::Success);
            for (int y = 0; y < dstH; ++y)
                for (int x = 0; x < dstW; ++x)
                    for (int c = 0; c < 4; ++c)
                        QCOMPARE(int(dst.pixel(x, y)[c]), value);
        }
    }

    // A mean exactly halfway between two values rounds up, and one just below
    // or above rounds to the nearer: every count of ones in a small picture
    // scaled to one pixel, whose areas (49 among them) have reciprocals that
    // floating point rounds down.
    void scalerRoundsToNearest_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::newRow("7 x 7") << 7 << 7;
        QTest::newRow("5 x 5") << 5 << 5;
        QTest::newRow("9 x 11") << 9 << 11;
        QTest::newRow("2 x 1") << 2 << 1;
        QTest::newRow("98 x 1 (cells many pixels wide)") << 98 << 1;
    }
    void scalerRoundsToNearest()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        const int area = srcW * srcH;
        for (int ones = 0; ones <= area; ++ones) {
            Image src(srcW, srcH);
            for (int i = 0; i < area; ++i)
                std::fill_n(src.pixel(i % srcW, i / srcW), 4, std::uint8_t(i < ones ? 1 : 0));
            const int expected = (2 * ones + area) / (2 * area); // halves up
            for (const ScalerPath path : availableScalerPaths()) {
                Image dst(1, 1);
                QCOMPARE(scaleArgb8888(src.view(), dst.mutableView(), path), ScaleStatus::Success);
                QVERIFY2(dst.pixel(0, 0)[0] == expected,
                    qPrintable(
                        QStringLiteral("%1 ones, path %2: got %3").arg(ones).arg(int(path)).arg(dst.pixel(0, 0)[0])));
            }
        }
    }

    void checkerboardBecomesMidGrey_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::newRow("1920x1080") << 1920 << 1080;
        QTest::newRow("1921x1081") << 1921 << 1081;
        QTest::newRow("100x56") << 100 << 56;
    }
    void checkerboardBecomesMidGrey()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        Image src(srcW, srcH);
        for (int y = 0; y < srcH; ++y)
            for (int x = 0; x < srcW; ++x)
                for (int c = 0; c < 4; ++c)
                    src.pixel(x, y)[c] = ((x + y) % 2 == 0) ? 255 : 0;
        Image dst(5, 5);
        QCOMPARE(scaleArgb8888(src.view(), dst.mutableView()), ScaleStatus::Success);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x)
                QVERIFY2(std::abs(dst.pixel(x, y)[1] - 127.5) <= 8, qPrintable(QString::number(dst.pixel(x, y)[1])));
    }

    void scalerRefusesBadViews_data()
    {
        QTest::addColumn<bool>("nullSource");
        QTest::addColumn<int>("srcW");
        QTest::addColumn<std::size_t>("srcRowBytes");
        QTest::addColumn<int>("dstW");
        QTest::addColumn<int>("status");
        QTest::newRow("no source pixels") << true << 4 << std::size_t(16) << 5 << int(ScaleStatus::NullBuffer);
        QTest::newRow("empty source") << false << 0 << std::size_t(16) << 5 << int(ScaleStatus::InvalidSize);
        QTest::newRow("empty destination") << false << 4 << std::size_t(16) << 0 << int(ScaleStatus::InvalidSize);
        QTest::newRow("short rows") << false << 4 << std::size_t(12) << 5 << int(ScaleStatus::RowBytesTooSmall);
    }
    void scalerRefusesBadViews()
    {
        QFETCH(bool, nullSource);
        QFETCH(int, srcW);
        QFETCH(std::size_t, srcRowBytes);
        QFETCH(int, dstW);
        QFETCH(int, status);
        std::vector<std::uint8_t> src(64, 1);
        Image dst(5, 5);
        const ConstImageView from { nullSource ? nullptr : src.data(), 4, srcW, srcRowBytes };
        const ImageView to { dst.bytes.data(), 5, dstW, dst.rowBytes };
        QCOMPARE(int(scaleArgb8888(from, to)), status);
    }
};

int runMediaTests(int argc, char** argv)
{
    TestMedia test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_media.moc"
