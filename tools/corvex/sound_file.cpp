#include "sound_file.h"

#include "platform/fingerprint/signature_generator.h"
#include "platform/media/audio_converter.h"

#include <QFile>

#include <sndfile.h>

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
    std::vector<float> interleaved(static_cast<std::size_t>(framesPerBuffer) * channels);
    std::uint64_t position = 0;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, interleaved.data(), framesPerBuffer);
        if (frames <= 0)
            break;
        auto buffer = media::PcmBuffer::create(format, framesPerBuffer);
        buffer->setFrameLength(static_cast<std::uint32_t>(frames));
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* out = buffer->floatChannel(c);
            for (sf_count_t i = 0; i < frames; ++i)
                out[i] = interleaved[static_cast<std::size_t>(i) * channels + c];
        }
        consume(*buffer, position);
        position += static_cast<std::uint64_t>(frames);
    }
    const int status = sf_error(file);
    sf_close(file);
    if (status != SF_ERR_NO_ERROR) {
        return Result<void>::failure(
            QStringLiteral("cannot read sound file %1: %2").arg(path, QString::fromUtf8(sf_error_number(status))));
    }
    return Result<void>::success();
}

Result<std::vector<float>> signatureSamplesOfSoundFile(const QString& path)
{
    std::vector<float> samples;
    const media::AudioFormat output { fingerprint::SignatureGenerator::kSampleRate, 1, media::SampleKind::Float32,
        false };
    std::unique_ptr<media::AudioConverter> converter;
    auto feed = [&](const media::PcmBuffer* input) {
        bool handed = false;
        for (;;) {
            auto converted = media::PcmBuffer::create(output, 8192);
            const auto status = converter->convert(
                *converted, [&](media::AudioConverter::InputStatus& s) -> const media::PcmBuffer* {
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
            samples.insert(
                samples.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
            if (status.value != media::AudioConverter::OutputStatus::HaveData)
                return;
        }
    };
    const Result<void> read = readSoundFile(path, 4096, [&](const media::PcmBuffer& buffer, std::uint64_t) {
        if (!converter)
            converter = media::AudioConverter::create(buffer.format(), output);
        if (converter)
            feed(&buffer);
    });
    if (!read)
        return Result<std::vector<float>>::failure(read.error);
    if (!converter)
        return Result<std::vector<float>>::failure(QStringLiteral("sound file %1 holds no audio").arg(path));
    feed(nullptr);
    return Result<std::vector<float>>::success(std::move(samples));
}

} // namespace corvex::cli
