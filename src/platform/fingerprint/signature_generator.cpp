#include "platform/fingerprint/signature_generator.h"

#include <chromaprint.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvex::fingerprint {

struct SignatureGenerator::Context {
    ChromaprintContext* chromaprint = nullptr;
    bool failed = false;
    std::vector<std::int16_t> samples;
    ~Context()
    {
        if (chromaprint != nullptr)
            chromaprint_free(chromaprint);
    }
};

SignatureGenerator::SignatureGenerator()
    : m_context(std::make_unique<Context>())
{
}

SignatureGenerator::~SignatureGenerator() = default;

// The fingerprint is started at the rate of the first sound it is given.
bool SignatureGenerator::start(int sampleRate)
{
    if (m_context->chromaprint != nullptr || m_context->failed)
        return m_context->chromaprint != nullptr;
    m_sampleRate = sampleRate;
    m_context->chromaprint = chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT);
    if (m_context->chromaprint != nullptr && chromaprint_start(m_context->chromaprint, sampleRate, 1) != 1) {
        chromaprint_free(m_context->chromaprint);
        m_context->chromaprint = nullptr;
    }
    m_context->failed = m_context->chromaprint == nullptr;
    return !m_context->failed;
}

Result<void, std::string> SignatureGenerator::append(const media::PcmBuffer& buffer)
{
    using Appended = Result<void, std::string>;
    const media::AudioFormat& format = buffer.format();
    const bool standard = format == media::AudioFormat { kSampleRate, 1, media::SampleKind::Float32, false };
    if (!standard && !(format == workingFormat()))
        return Appended::failure("the signature takes 16 kHz mono float samples");
    if (m_finished)
        return Appended::failure("the signature has already been taken");
    const int rate = standard ? kSampleRate : kWorkingSampleRate;
    if (m_sampleRate != 0 && m_sampleRate != rate)
        return Appended::failure("the signature takes one sample format per recording");
    if (!start(rate))
        return Appended::failure("the fingerprinter could not be started");
    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0)
        return Appended::success();
    const std::int16_t* pcm = buffer.int16Channel(0);
    if (standard) {
        const float* samples = buffer.floatChannel(0);
        std::vector<std::int16_t>& converted = m_context->samples;
        converted.resize(frames);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float value = std::isfinite(samples[i]) ? std::clamp(samples[i], -1.0f, 1.0f) : 0.0f;
            converted[i] = static_cast<std::int16_t>(std::lrintf(value * 32767.0f));
        }
        pcm = converted.data();
    }
    if (chromaprint_feed(m_context->chromaprint, pcm, static_cast<int>(frames)) != 1)
        return Appended::failure("the fingerprinter refused the samples");
    m_samples += frames;
    return Appended::success();
}

const std::vector<std::uint32_t>& SignatureGenerator::items()
{
    if (m_finished)
        return m_items;
    m_finished = true;
    ChromaprintContext* context = m_context->chromaprint;
    if (context == nullptr || chromaprint_finish(context) != 1)
        return m_items;
    std::uint32_t* raw = nullptr;
    int size = 0;
    if (chromaprint_get_raw_fingerprint(context, &raw, &size) == 1 && raw != nullptr && size > 0)
        m_items.assign(raw, raw + size);
    chromaprint_dealloc(raw);
    if (m_items.empty())
        return m_items;
    char* encoded = nullptr;
    int encodedSize = 0;
    if (chromaprint_encode_fingerprint(
            m_items.data(), static_cast<int>(m_items.size()), CHROMAPRINT_ALGORITHM_DEFAULT, &encoded, &encodedSize, 0)
        == 1)
        m_signature.assign(encoded, static_cast<std::size_t>(encodedSize));
    chromaprint_dealloc(encoded);
    return m_items;
}

std::string SignatureGenerator::signature()
{
    items();
    return m_signature;
}

} // namespace corvex::fingerprint
