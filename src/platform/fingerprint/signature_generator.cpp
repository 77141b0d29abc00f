#include "platform/fingerprint/signature_generator.h"

#include <chromaprint.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvex::fingerprint {

struct SignatureGenerator::Context {
    ChromaprintContext* chromaprint = nullptr;
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
    m_context->chromaprint = chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT);
    if (m_context->chromaprint != nullptr && chromaprint_start(m_context->chromaprint, kSampleRate, 1) != 1) {
        chromaprint_free(m_context->chromaprint);
        m_context->chromaprint = nullptr;
    }
}

SignatureGenerator::~SignatureGenerator() = default;

Result<void, std::string> SignatureGenerator::append(const media::PcmBuffer& buffer)
{
    using Appended = Result<void, std::string>;
    const media::AudioFormat& format = buffer.format();
    if (format.sampleRate != kSampleRate || format.channelCount != 1 || buffer.floatChannel(0) == nullptr)
        return Appended::failure("the signature takes 16 kHz mono float samples");
    if (m_finished)
        return Appended::failure("the signature has already been taken");
    if (m_context->chromaprint == nullptr)
        return Appended::failure("the fingerprinter could not be started");
    const float* samples = buffer.floatChannel(0);
    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0)
        return Appended::success();
    std::vector<std::int16_t>& pcm = m_context->samples;
    pcm.resize(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float value = std::isfinite(samples[i]) ? std::clamp(samples[i], -1.0f, 1.0f) : 0.0f;
        pcm[i] = static_cast<std::int16_t>(std::lrintf(value * 32767.0f));
    }
    if (chromaprint_feed(m_context->chromaprint, pcm.data(), static_cast<int>(frames)) != 1)
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
