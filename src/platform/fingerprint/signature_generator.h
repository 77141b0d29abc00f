#pragma once

#include "platform/media/audio_format.h"
#include "platform/media/pcm_buffer.h"
#include "platform/result.h"

#include <memory>
#include <string>
#include <vector>

namespace corvex::fingerprint {

/// Builds the audio signature of one recording from mono PCM appended in
/// order, with no time stamps: 16 kHz float, or 16-bit integers at the rate the
/// fingerprint works at (which spares it a resampling of its own). One
/// recording takes one of the two.
///
/// The signature is a compressed acoustic fingerprint (the fingerprinting
/// library's default algorithm, its compressed binary encoding, not base64):
/// one 32-bit item about every 0.124 s of sound, each describing the chroma
/// of the few seconds around it. Receivers align a show to playback by finding
/// where a fingerprint of what they hear sits among these items.
class SignatureGenerator final {
public:
    static constexpr int kSampleRate = 16000;
    /// The rate the fingerprint is computed at.
    static constexpr int kWorkingSampleRate = 11025;
    /// The generator's own input, taken without any conversion.
    static media::AudioFormat workingFormat()
    {
        return { kWorkingSampleRate, 1, media::SampleKind::Int16, false };
    }

    SignatureGenerator();
    ~SignatureGenerator();
    SignatureGenerator(const SignatureGenerator&) = delete;
    SignatureGenerator& operator=(const SignatureGenerator&) = delete;

    /// Adds the buffer's frames. Fails, with the reason, when the buffer is
    /// neither 16 kHz mono float nor the working format, is not the format
    /// appended before, or the signature has already been taken.
    Result<void, std::string> append(const media::PcmBuffer& buffer);
    /// The signature of everything appended. The first call closes the
    /// fingerprint; later calls return the same bytes, and appends are refused.
    std::string signature();
    /// The fingerprint items of everything appended (what signature() encodes);
    /// closes the fingerprint as signature() does.
    const std::vector<std::uint32_t>& items();
    /// Samples appended so far.
    std::uint64_t sampleCount() const { return m_samples; }

private:
    bool start(int sampleRate);

    struct Context;
    std::unique_ptr<Context> m_context;
    int m_sampleRate = 0; // of what was appended; 0 before the first append
    std::uint64_t m_samples = 0;
    bool m_finished = false;
    std::vector<std::uint32_t> m_items;
    std::string m_signature;
};

} // namespace corvex::fingerprint
