#include "platform/media/audio_converter.h"
#include "platform/media/pcm_buffer.h"
#include "support/tones.h"

#include <QTest>

#include <cmath>

using namespace corvex::media;

Q_DECLARE_METATYPE(corvex::media::AudioFormat)

namespace {

const AudioFormat kSignatureFormat { 16000, 1, SampleKind::Float32, false };

// Converts `frames` of input produced by fill(frame, channel) in chunks, then flushes.
template <typename Fill>
std::vector<float> convertAll(const AudioFormat& format, std::uint32_t frames, std::uint32_t chunk, Fill fill)
{
    auto converter = AudioConverter::create(format, kSignatureFormat);
    std::vector<float> out;
    auto drain = [&](const PcmBuffer* input, bool end) {
        bool handed = false;
        for (;;) {
            auto output = PcmBuffer::create(kSignatureFormat, 4096);
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

class TestAudio final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void buffersRefuseWhatTheyCannotHold()
    {
        QVERIFY(!PcmBuffer::create(AudioFormat { 0, 2, SampleKind::Float32, false }, 10));
        QVERIFY(!PcmBuffer::create(AudioFormat { 48000, 0, SampleKind::Float32, false }, 10));
        QVERIFY(!PcmBuffer::create(kSignatureFormat, 0));
        float left[4] = {};
        QVERIFY(!PcmBuffer::wrap(AudioFormat::standard(48000, 2), 4, { left }));
        auto wrapped = PcmBuffer::wrap(AudioFormat::standard(48000, 1), 4, { left });
        QVERIFY(wrapped);
        QCOMPARE(wrapped->floatChannel(0), left);
        QVERIFY(!wrapped->int16Channel(0));
        QVERIFY(!wrapped->floatChannel(1));
        auto interleaved = PcmBuffer::create(AudioFormat { 8000, 3, SampleKind::Int16, true }, 5);
        QCOMPARE(interleaved->stride(), 3u);
        QCOMPARE(interleaved->int16Channel(2) - interleaved->int16Channel(0), 2);
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
        const auto pieces = convertAll(AudioFormat::standard(48000, 1), 48000, 441, fill);
        QCOMPARE(whole.size(), pieces.size());
        for (std::size_t i = 0; i < whole.size(); ++i)
            QVERIFY(std::abs(whole[i] - pieces[i]) < 1e-5f);
    }

    void refusesMismatchedBuffers()
    {
        QVERIFY(!AudioConverter::create(AudioFormat::standard(48000, 2), AudioFormat::standard(16000, 2)));
        QVERIFY(!AudioConverter::create(AudioFormat::standard(NAN, 2), kSignatureFormat));
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

int runAudioTests(int argc, char** argv)
{
    TestAudio test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_audio.moc"
