#pragma once

#include "analysis/record_builder.h"
#include "platform/fingerprint/signature_generator.h"
#include "platform/media/audio_converter.h"
#include "platform/media/audio_format.h"
#include "platform/media/media_time.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace corvex::media {
class PixelBuffer;
class PcmBuffer;
} // namespace corvex::media

namespace corvex::analysis {

/// Accumulates one light show while the author records: every video frame is
/// sampled into the record (and its colours handed, as a live colour message,
/// to the observer that sends them on), every audio buffer is converted to 16 kHz mono and added to the
/// soundtrack's signature. start() and stop() run on the GUI thread; the
/// appends on the capture threads, in any interleaving, at any time: outside
/// a recording they change nothing.
///
/// One mutex serialises each append, start and stop, so a record is never
/// serialised in the middle of a frame and the time origin is set once.
class AnalysisRecorder final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AnalysisRecorder)

public:
    explicit AnalysisRecorder(QObject* parent = nullptr);
    ~AnalysisRecorder() override;

    /// Begins a new recording with an empty record and a new signature.
    void start();
    /// Makes room in the recording begun for this many frames at once, when
    /// their number is known ahead (a film): a record that grows by doubling
    /// holds up to twice what it needs, and three times while it moves.
    void reserveFrames(int frames);
    /// Ends the recording; the record with its signature in binary form, or
    /// none when it cannot be encoded. Calling it again gives the same record.
    std::optional<QByteArray> stop();

    /// A 5 × 5 BGRA frame and its presentation time (video thread).
    void appendVideoFrame(media::PixelBuffer& frame, const media::MediaTime& presentationTime);
    /// Captured audio in its capture format and its presentation time (audio thread).
    void appendAudioBuffer(const media::PcmBuffer& buffer, const media::MediaTime& presentationTime);

    bool started() const;
    /// Frames sampled into the current (or last) recording.
    int frameCount() const;
    /// Frames of the current (or last) recording left out because their time
    /// was unusable or earlier than the frame's before them.
    int framesLeftOut() const;
    /// Bytes of the last recording's signature (0 before its stop).
    std::size_t signatureSize() const;

    /// Called with every live colour message the recorder builds, on the
    /// thread that appended the frame (outside the recorder's lock): the
    /// entry points hand them to the preview link, tools print them. Any thread.
    void setLiveMessageObserver(std::function<void(const QByteArray&)> observer);

    /// The audio the signature takes: mono 16-bit samples at the rate the
    /// fingerprint works at, so that the sound is resampled once, from the
    /// captured rate straight to that one.
    static const media::AudioFormat& outputFormat();

Q_SIGNALS:
    void startedChanged();

private:
    void setStarted(bool started);
    void feed(const media::PcmBuffer& buffer);
    void feedSilence(const media::AudioFormat& format, std::uint64_t frames);
    void flushConverter();
    const media::PcmBuffer* convert(const media::PcmBuffer& buffer);
    /// The converted-sound buffer, reused while it is large enough.
    media::PcmBuffer* convertedBuffer(std::uint32_t frames);

    // Audio stamped this close to where the sound before it ends just goes on
    // (stamps wander by a few milliseconds); further off, the signature is
    // padded with silence or the overlap left out.
    static constexpr double kAudioTimeTolerance = 0.04;
    // Longer pauses are not padded: a jump of the clock that far is no pause,
    // and padding it would hold the recorder for seconds.
    static constexpr double kLongestAudioGap = 600;

    mutable std::mutex m_mutex; // guards everything below
    std::function<void(const QByteArray&)> m_liveMessageObserver;
    RecordBuilder m_record;
    std::size_t m_signatureSize = 0; // the last stop's
    std::unique_ptr<fingerprint::SignatureGenerator> m_signatureGenerator;
    std::optional<media::MediaTime> m_firstTimestamp;
    bool m_started = false;
    std::unique_ptr<media::AudioConverter> m_audioConverter;
    std::unique_ptr<media::PcmBuffer> m_converted;
    // Where the sound appended so far ends on the record's time line, in seconds from the origin.
    std::optional<double> m_audioEnd;
    std::optional<double> m_lastFrameSeconds; // the last sampled frame's, from the origin
    int m_framesLeftOut = 0;
    bool m_skippingAudio = false; // the last buffer lay wholly before m_audioEnd
    // The input format for which no converter could be made, reported once.
    std::optional<media::AudioFormat> m_unsupportedFormat;
};

} // namespace corvex::analysis
