#include "sound_file.h"

#include "platform/fingerprint/signature_generator.h"
#include "platform/media/audio_converter.h"

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <vector>

namespace corvex::cli {

Result<void> readSoundFile(const QString& path, std::uint32_t framesPerBuffer,
    const std::function<void(const media::PcmBuffer&, std::uint64_t firstFrame)>& consume)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr) {
        return Result<void>::failure(
            QStringLiteral("cannot read sound file %1: %2").arg(path, QString::fromUtf8(sf_strerror(nullptr))));
    }
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1) {
        sf_close(file);
        return Result<void>::failure(QStringLiteral("sound file %1 has %2 channels at %3 Hz; that is not usable")
                                         .arg(path)
                                         .arg(info.channels)
                                         .arg(info.samplerate));
    }
    const auto channels = static_cast<std::uint32_t>(info.channels);
    const media::AudioFormat format = media::AudioFormat::standard(info.samplerate, channels);
    // Read in large blocks and handed out in buffers of the size asked for,
    // one buffer used again and again.
    const auto perRead = static_cast<sf_count_t>(std::max<std::uint32_t>(65536 / framesPerBuffer, 1)) * framesPerBuffer;
    std::vector<float> interleaved(static_cast<std::size_t>(perRead) * channels);
    const std::unique_ptr<media::PcmBuffer> buffer = media::PcmBuffer::create(format, framesPerBuffer);
    if (!buffer) {
        sf_close(file);
        return Result<void>::failure(QStringLiteral("not enough memory to read sound file %1").arg(path));
    }
    std::uint64_t position = 0;
    for (;;) {
        const sf_count_t read = sf_readf_float(file, interleaved.data(), perRead);
        if (read <= 0)
            break;
        for (sf_count_t first = 0; first < read; first += framesPerBuffer) {
            const auto frames = static_cast<std::uint32_t>(std::min<sf_count_t>(framesPerBuffer, read - first));
            buffer->setFrameLength(frames);
            const float* in = interleaved.data() + static_cast<std::size_t>(first) * channels;
            for (std::uint32_t c = 0; c < channels; ++c) {
                float* out = buffer->floatChannel(c);
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[i] = in[static_cast<std::size_t>(i) * channels + c];
            }
            consume(*buffer, position);
            position += frames;
        }
    }
    const int status = sf_error(file);
    sf_close(file);
    if (status != SF_ERR_NO_ERROR) {
        return Result<void>::failure(
            QStringLiteral("cannot read sound file %1: %2").arg(path, QString::fromUtf8(sf_error_number(status))));
    }
    return Result<void>::success();
}

Result<std::vector<float>> signatureSamplesOfSoundFile(const QString& path, const ConvertStep& step)
{
    using Samples = Result<std::vector<float>>;
    std::vector<float> samples;
    const media::AudioFormat output { fingerprint::SignatureGenerator::kSampleRate, 1, media::SampleKind::Float32,
        false };
    std::unique_ptr<media::AudioConverter> converter;
    QString failure;
    const auto convert = [&](media::PcmBuffer& converted, const media::AudioConverter::InputBlock& input) {
        return step ? step(*converter, converted, input) : converter->convert(converted, input);
    };
    const std::unique_ptr<media::PcmBuffer> converted = media::PcmBuffer::create(output, 8192);
    auto feed = [&](const media::PcmBuffer* input) {
        bool handed = false;
        for (;;) {
            const auto status
                = convert(*converted, [&](media::AudioConverter::InputStatus& s) -> const media::PcmBuffer* {
                      if (input == nullptr) {
                          s = media::AudioConverter::InputStatus::EndOfStream;
                          return nullptr;
                      }
                      s = handed ? media::AudioConverter::InputStatus::NoDataNow
                                 : media::AudioConverter::InputStatus::HaveData;
                      const media::PcmBuffer* give = handed ? nullptr : input;
                      handed = true;
                      return give;
                  });
            if (!status) {
                // What came before the failure is only part of the clip: matched, it
                // would give a wrong place, or none, as if the whole clip had been heard.
                failure = QStringLiteral("the sound of %1 could not be converted to %2 Hz mono for matching (%3), "
                                         "so it was not matched; convert it to a 16-bit WAV file (for example "
                                         "with 'ffmpeg -i CLIP -ac 1 -ar 16000 clip.wav') and match that")
                              .arg(path)
                              .arg(fingerprint::SignatureGenerator::kSampleRate)
                              .arg(QString::fromStdString(status.error));
                return;
            }
            samples.insert(
                samples.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
            if (*status.value != media::AudioConverter::OutputStatus::HaveData)
                return;
        }
    };
    const Result<void> read = readSoundFile(path, 4096, [&](const media::PcmBuffer& buffer, std::uint64_t) {
        if (!failure.isEmpty())
            return;
        if (!converter) {
            converter = media::AudioConverter::create(buffer.format(), output);
            if (!converter) {
                failure = QStringLiteral("the sound of %1 (%2 Hz, %3 channels) cannot be converted for matching; "
                                         "convert it to a 16-bit WAV file at 44100 Hz and match that")
                              .arg(path)
                              .arg(buffer.format().sampleRate)
                              .arg(buffer.format().channelCount);
                return;
            }
        }
        feed(&buffer);
    });
    if (!read)
        return Samples::failure(read.error);
    if (failure.isEmpty() && !converter)
        return Samples::failure(QStringLiteral("sound file %1 holds no audio").arg(path));
    if (failure.isEmpty())
        feed(nullptr);
    if (!failure.isEmpty())
        return Samples::failure(failure);
    return Samples::success(std::move(samples));
}

} // namespace corvex::cli
