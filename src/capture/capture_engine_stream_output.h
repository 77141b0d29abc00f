#pragma once

#include "capture/captured_frame.h"
#include "capture/captured_frame_stream.h"
#include "platform/media/rect.h"
#include "platform/screencapture/stream.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace corvex::media {
class PcmBuffer;
}
namespace corvex::analysis {
class AnalysisRecorder;
}

namespace corvex::capture {

/// Receives one stream's video frames and audio buffers (on the engine's two
/// queues) and its stop. Accepted frames go to the analysis recorder scaled to
/// 5 × 5, then to the preview; audio goes to the recorder, then to the meter.
class CaptureEngineStreamOutput final : public screencapture::StreamOutput, public screencapture::StreamDelegate {
public:
    CaptureEngineStreamOutput(
        analysis::AnalysisRecorder& recorder, std::shared_ptr<CapturedFrameContinuation> continuation);

    /// Set before the stream starts, never changed afterwards.
    std::function<void(const media::PcmBuffer&)> pcmBufferHandler;
    std::function<void(const CapturedFrame&)> capturedFrameHandler;

    /// The crop of every later frame, fractions of the frame. Any thread: each
    /// frame sees either the old or the new rectangle whole.
    void setCrop(const std::optional<media::Rect>& crop);
    std::optional<media::Rect> crop() const;

    const std::shared_ptr<CapturedFrameContinuation>& continuation() const { return m_continuation; }

    void didOutputSampleBuffer(
        const screencapture::SampleBuffer& sampleBuffer, screencapture::StreamOutputType type) override;
    void didStopWithError(const screencapture::CaptureError& error) override;

private:
    void handleVideo(const screencapture::SampleBuffer& sampleBuffer);
    void handleAudio(const screencapture::SampleBuffer& sampleBuffer);

    analysis::AnalysisRecorder& m_recorder;
    const std::shared_ptr<CapturedFrameContinuation> m_continuation;
    mutable std::mutex m_cropMutex;
    std::optional<media::Rect> m_crop;
};

} // namespace corvex::capture
