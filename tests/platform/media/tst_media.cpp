#include "platform/media/audio_converter.h"
#include "platform/media/image_scaler.h"
#include "platform/media/media_time.h"
#include "platform/media/pcm_buffer.h"
#include "platform/media/pixel_buffer.h"
#include "support/tones.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace corvex::media;

Q_DECLARE_METATYPE(corvex::media::AudioFormat)

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

// The exact result: each source pixel weighs its part inside the cell, halves rounded up.
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

constexpr int kNoise = -1;
constexpr int kCheckerboard = -2;

const AudioFormat kSignatureFormat { 16000, 1, SampleKind::Float32, false };

// Converts `frames` of input produced by fill(frame, channel) in chunks, then flushes,
// into output buffers of `outputFrames`.
template <typename Fill>
std::vector<float> convertAll(
    const AudioFormat& format, std::uint32_t frames, std::uint32_t chunk, Fill fill, std::uint32_t outputFrames = 4096)
{
    auto converter = AudioConverter::create(format, kSignatureFormat);
    std::vector<float> out;
    auto drain = [&](const PcmBuffer* input, bool end) {
        bool handed = false;
        for (;;) {
            auto output = PcmBuffer::create(kSignatureFormat, outputFrames);
            const auto status = converter->convert(*output, [&](AudioConverter::InputStatus& s) -> const PcmBuffer* {
                if (end) {
                    s = AudioConverter::InputStatus::EndOfStream;
                    return nullptr;
                }
                s = handed ? AudioConverter::InputStatus::NoDataNow : AudioConverter::InputStatus::HaveData;
                const PcmBuffer* give = handed ? nullptr : input;
                handed = true;
                return give;
            });
            out.insert(out.end(), output->floatChannel(0), output->floatChannel(0) + output->frameLength());
            if (status.value != AudioConverter::OutputStatus::HaveData)
                return;
        }
    };
    for (std::uint32_t start = 0; start < frames; start += chunk) {
        const std::uint32_t n = std::min(chunk, frames - start);
        auto input = PcmBuffer::create(format, n);
        input->setFrameLength(n);
        for (std::uint32_t c = 0; c < format.channelCount; ++c)
            for (std::uint32_t i = 0; i < n; ++i)
                fill(*input, c, i, start + i);
        drain(input.get(), false);
    }
    drain(nullptr, true);
    return out;
}

void fillFloat(PcmBuffer& b, std::uint32_t c, std::uint32_t i, double value)
{
    b.floatChannel(c)[i * b.stride()] = static_cast<float>(value);
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to)
{
    double sum = 0;
    for (std::size_t i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
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
        QTest::newRow("negative timescale") << qint64(1) << -1 << quint32(MediaTime::Valid) << std::nan("");
    }
    void mediaTimeSeconds()
    {
        QFETCH(qint64, value);
        QFETCH(int, timescale);
        QFETCH(quint32, flags);
        QFETCH(double, seconds);
        const MediaTime time { value, timescale, flags, 0 };
        if (flags == MediaTime::Valid) // made from a number, a time without a timescale is no time
            QCOMPARE(MediaTime::make(value, timescale).isValid(), !std::isnan(seconds));
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
        QTest::newRow("the widest") << 32768 << 1 << 0 << 131072;
        QTest::newRow("a pixel wider") << 32769 << 1 << int(PixelBufferStatus::InvalidArgument) << 0;
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

    // Every path the processor has, and the default, gives exactly the integer result and leaves
    // the destination's padding alone, whatever the strips, padding, whole and cut lines; full
    // white drives the partial sums to their limit, which noise never reaches.
    void scalerIsExact_data()
    {
        QTest::addColumn<int>("srcW");
        QTest::addColumn<int>("srcH");
        QTest::addColumn<int>("dstW");
        QTest::addColumn<int>("dstH");
        QTest::addColumn<int>("padding");
        QTest::addColumn<int>("fill"); // kNoise, kCheckerboard or every byte's value
        const struct {
            const char* name;
            int srcW, srcH, dstW, dstH, padding, fill;
        } rows[] = {
            { "a screen to a hundred", 1920, 1080, 100, 56, 0, kNoise },
            { "a strip and one pixel", 17, 40, 3, 5, 0, kNoise },
            { "three strips, no tail", 48, 50, 5, 4, 0, kNoise },
            { "five strips and fifteen pixels, padded rows", 95, 61, 9, 7, 4, kNoise },
            { "narrower than a strip", 7, 30, 2, 3, 0, kNoise },
            { "a crop of a wider frame, rows not whole strips apart", 250, 120, 25, 12, 36, kNoise },
            { "257 whole lines a row", 33, 514, 2, 2, 0, kNoise },
            { "512 whole lines a row", 40, 1024, 3, 2, 0, kNoise },
            { "512 whole lines a row and cut ones", 40, 1025, 3, 2, 8, kNoise },
            { "cut lines weighing near a thousand", 70, 1001, 5, 1000, 0, kNoise },
            { "cut lines weighing more than 16 bits hold", 48, 700, 4, 300, 8, kNoise },
            { "enlarging", 17, 9, 40, 20, 0, kNoise },
            { "enlarging a tiny source, padded rows", 3, 2, 5, 5, 4, kNoise },
            { "same size", 5, 5, 5, 5, 0, kNoise },
            { "one column source", 1, 13, 5, 5, 0, kNoise },
            { "wide to tall", 640, 3, 3, 7, 0, kNoise },
            { "long rows (many 16-bit folds)", 4099, 3, 2, 1, 0, kNoise },
            { "tall destination", 37, 400, 3, 300, 0, kNoise },
            { "more whole lines a cell than 16 bits hold, and cut lines", 5, 701, 2, 2, 8, kNoise },
            { "a screen to a hundred, rows padded", 1920, 1080, 100, 56, 256, kNoise },
            { "one pixel past whole strips", 1921, 1081, 100, 56, 0, kNoise },
            { "fifteen pixels past whole strips", 47, 33, 7, 5, 12, kNoise },
            { "fewer pixels than a strip", 15, 40, 4, 3, 4, kNoise },
            { "exactly one strip", 16, 16, 3, 3, 0, kNoise },
            { "a crop of a wider frame", 1000, 500, 100, 50, 3680, kNoise },
            { "more whole lines than 16 bits hold", 64, 1500, 5, 2, 0, kNoise },
            { "checkerboard", 1921, 1081, 5, 5, 0, kCheckerboard },
            { "white, one long row per cell", 4096, 1, 1, 1, 0, 255 },
            { "white, a tall cell of short rows", 8, 2048, 1, 1, 0, 255 },
            { "white, 4K to 5x5", 3840, 2160, 5, 5, 0, 255 },
            { "white, narrow cells over many lines", 400, 1100, 100, 1, 0, 255 },
            { "254, 4K to 3x2", 3840, 2160, 3, 2, 0, 254 },
            { "1, 1080p to 5x5", 1920, 1080, 5, 5, 0, 1 },
            { "white, 1080p to 1x1", 1920, 1080, 1, 1, 0, 255 },
            { "white, 1080p to 100x56 (cut lines)", 1920, 1080, 100, 56, 0, 255 },
            { "white, cut lines weighing all 16 bits hold", 8, 255, 1, 128, 0, 255 },
            { "white, cut lines weighing more than 16 bits hold", 8, 200, 1, 129, 0, 255 },
            { "white, 600 whole lines a cell and cut ones", 16, 1201, 3, 2, 0, 255 },
            { "white, 256 whole lines a cell (all 16 bits hold)", 33, 512, 2, 2, 0, 255 },
            { "white, 257 whole lines a cell", 33, 514, 2, 2, 0, 255 },
            { "white, a screen to a hundred, past whole groups", 1921, 1080, 100, 56, 0, 255 },
            { "white, a cell's sums past 32 bits", 63, 270000, 1, 1, 0, 255 },
            { "white, cells' sums past 32 bits, columns' within", 64, 270000, 16, 1, 0, 255 },
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.srcW << r.srcH << r.dstW << r.dstH << r.padding << r.fill;
    }
    void scalerIsExact()
    {
        QFETCH(int, srcW);
        QFETCH(int, srcH);
        QFETCH(int, dstW);
        QFETCH(int, dstH);
        QFETCH(int, padding);
        QFETCH(int, fill);
        Image src = fill == kNoise ? Image::noise(srcW, srcH, std::size_t(padding), 11u)
                                   : Image(srcW, srcH, std::size_t(padding));
        if (fill != kNoise)
            for (int y = 0; y < srcH; ++y)
                for (int x = 0; x < srcW; ++x)
                    std::fill_n(
                        src.pixel(x, y), 4, std::uint8_t(fill == kCheckerboard ? ((x + y) % 2 == 0 ? 255 : 0) : fill));
        const std::vector<std::uint8_t> expected = exactScale(src, dstW, dstH);
        const auto compare = [&](const char* path, ScaleStatus status, Image& dst) {
            QCOMPARE(status, ScaleStatus::Success);
            for (int y = 0; y < dstH; ++y) {
                for (int i = 0; i < 4 * dstW; ++i)
                    if (dst.pixel(0, y)[i] != expected[std::size_t(y * dstW * 4 + i)])
                        QFAIL(qPrintable(QStringLiteral("path %1, pixel %2, %3").arg(path).arg(i / 4).arg(y)));
                QCOMPARE(dst.pixel(dstW, y)[0], std::uint8_t(0xEE));
            }
        };
        for (const ScalerPath path : availableScalerPaths()) {
            Image dst(dstW, dstH, 8);
            compare(qPrintable(QString::number(int(path))), scaleArgb8888(src.view(), dst.mutableView(), path), dst);
            if (QTest::currentTestFailed())
                return;
        }
        Image chosen(dstW, dstH, 8); // the default is one of them
        compare("default", scaleArgb8888(src.view(), chosen.mutableView()), chosen);
    }

    // Means round to the nearest, halves up: every count of ones in a small picture scaled to one
    // pixel, among them areas (49) whose reciprocals floating point rounds down.
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

    void buffersRefuseWhatTheyCannotHold()
    {
        QVERIFY(!PcmBuffer::create(AudioFormat { 0, 2, SampleKind::Float32, false }, 10));
        QVERIFY(!PcmBuffer::create(AudioFormat { 48000, 0, SampleKind::Float32, false }, 10));
        QVERIFY(!PcmBuffer::create(kSignatureFormat, 0));
        QVERIFY(PcmBuffer::create(AudioFormat { 48000, 64, SampleKind::Float32, false }, 10));
        QVERIFY(!PcmBuffer::create(AudioFormat { 48000, 65, SampleKind::Float32, false }, 10));
        float left[4] = {};
        QVERIFY(!PcmBuffer::wrap(AudioFormat::standard(48000, 2), 4, { left }));
        auto wrapped = PcmBuffer::wrap(AudioFormat::standard(48000, 1), 4, { left });
        QVERIFY(wrapped);
        QCOMPARE(wrapped->floatChannel(0), left);
        QVERIFY(!wrapped->int16Channel(0) && !wrapped->int32Channel(0));
        QVERIFY(!wrapped->floatChannel(1));
        auto interleaved = PcmBuffer::create(AudioFormat { 8000, 3, SampleKind::Int16, true }, 5);
        QCOMPARE(interleaved->stride(), 3u);
        QCOMPARE(interleaved->int16Channel(2) - interleaved->int16Channel(0), 2);
        QVERIFY(!interleaved->int16Channel(3));
        interleaved->setFrameLength(9);
        QCOMPARE(interleaved->frameLength(), 5u);
    }

    void convertsEveryLayoutToTheSameMonoSignal_data()
    {
        QTest::addColumn<AudioFormat>("format");
        QTest::newRow("48 kHz stereo float planar") << AudioFormat::standard(48000, 2);
        QTest::newRow("44.1 kHz stereo float interleaved") << AudioFormat { 44100, 2, SampleKind::Float32, true };
        QTest::newRow("48 kHz mono int16") << AudioFormat { 48000, 1, SampleKind::Int16, false };
        QTest::newRow("96 kHz 6 channels int32 interleaved") << AudioFormat { 96000, 6, SampleKind::Int32, true };
        QTest::newRow("16 kHz mono float") << kSignatureFormat;
        QTest::newRow("8 kHz mono float") << AudioFormat::standard(8000, 1);
    }
    void convertsEveryLayoutToTheSameMonoSignal()
    {
        QFETCH(AudioFormat, format);
        const double seconds = 2;
        const auto frames = static_cast<std::uint32_t>(seconds * format.sampleRate);
        // A 500 Hz sine of amplitude 0.5 on every channel.
        const auto out
            = convertAll(format, frames, 1024, [&](PcmBuffer& b, std::uint32_t c, std::uint32_t i, std::uint32_t n) {
                  const double v = 0.5 * std::sin(2 * M_PI * 500 * n / format.sampleRate);
                  if (b.floatChannel(c))
                      b.floatChannel(c)[i * b.stride()] = float(v);
                  else if (b.int16Channel(c))
                      b.int16Channel(c)[i * b.stride()] = std::int16_t(std::lrint(v * 32767));
                  else
                      b.int32Channel(c)[i * b.stride()] = std::int32_t(std::lrint(v * 2147483647.0));
              });
        // Nothing lost or invented over the stream once the filter is flushed.
        QVERIFY2(std::abs(double(out.size()) - seconds * 16000) <= 2, qPrintable(QString::number(out.size())));
        QVERIFY(std::abs(rms(out, 4000, 28000) - 0.5 / std::sqrt(2.0)) < 0.01);
        // 500 Hz: 1000 zero crossings a second.
        int crossings = 0;
        for (std::size_t i = 4001; i < 20000; ++i)
            crossings += (out[i - 1] < 0) != (out[i] < 0);
        QVERIFY2(std::abs(crossings - 1000) <= 2, qPrintable(QString::number(crossings)));
    }

    void channelsAreAveraged()
    {
        const auto out = convertAll(AudioFormat::standard(48000, 2), 48000, 1024,
            [](PcmBuffer& b, std::uint32_t c, std::uint32_t i, std::uint32_t n) {
                fillFloat(b, c, i, (c == 0 ? 0.5 : -0.5) * std::sin(n * 0.1));
            });
        QVERIFY(rms(out, 100, out.size() - 100) < 1e-4);
    }

    void chunkingDoesNotChangeTheResult()
    {
        const auto tone = corvex::test::melody(1.0, 48000, 5);
        auto fill
            = [&](PcmBuffer& b, std::uint32_t c, std::uint32_t i, std::uint32_t n) { fillFloat(b, c, i, tone[n]); };
        const auto whole = convertAll(AudioFormat::standard(48000, 1), 48000, 48000, fill);
        // Small output buffers too: the filter's tail, flushed at the end, takes several.
        const auto pieces = convertAll(AudioFormat::standard(48000, 1), 48000, 441, fill, 3);
        QCOMPARE(whole.size(), pieces.size());
        for (std::size_t i = 0; i < whole.size(); ++i)
            QVERIFY(std::abs(whole[i] - pieces[i]) < 1e-5f);
    }

    void refusesMismatchedBuffers()
    {
        QVERIFY(!AudioConverter::create(AudioFormat::standard(48000, 2), AudioFormat::standard(16000, 2)));
        for (const double rate : { double(NAN), 0.5, 44100.5 }) {
            QVERIFY(!AudioConverter::create(AudioFormat::standard(rate, 2), kSignatureFormat));
            QVERIFY(!AudioConverter::create(kSignatureFormat, AudioFormat::standard(rate, 1)));
        }
        auto converter = AudioConverter::create(AudioFormat::standard(48000, 2), kSignatureFormat);
        QVERIFY(converter);
        auto wrongInput = PcmBuffer::create(AudioFormat::standard(44100, 2), 16);
        wrongInput->setFrameLength(16);
        auto output = PcmBuffer::create(kSignatureFormat, 16);
        const auto status = converter->convert(*output, [&](AudioConverter::InputStatus& s) -> const PcmBuffer* {
            s = AudioConverter::InputStatus::HaveData;
            return wrongInput.get();
        });
        QVERIFY(!status);
        QVERIFY(!status.error.empty());
        auto wrongOutput = PcmBuffer::create(AudioFormat::standard(8000, 1), 16);
        const auto refused = converter->convert(
            *wrongOutput, [](AudioConverter::InputStatus&) -> const PcmBuffer* { return nullptr; });
        QVERIFY(!refused);
        QVERIFY(!refused.error.empty());
    }
};

QTEST_APPLESS_MAIN(TestMedia)
#include "tst_media.moc"
