#pragma once

#include "capture/capture_engine_stream_output.h"
#include "capture/captured_frame_stream.h"
#include "capture/power_meter.h"
#include "platform/media/rect.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/serial_queue.h"

#include <QCoroTask>
#include <QObject>

#include <memory>
#include <optional>

namespace corvex::analysis {
class AnalysisRecorder;
}

namespace corvex::capture {

/// Runs one capture stream at a time and turns what it delivers into 5 × 5
/// frames for the analysis recorder, frames for the preview, and audio for the
/// recorder and the level meter. Called on the GUI thread only; the sample
/// buffers are handled on two serial queues of its own, one for video and one
/// for audio, which every stream it starts uses.
class CaptureEngine final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptureEngine)

public:
    /// Captures through `backend`; frames and audio go to `recorder`.
    CaptureEngine(std::shared_ptr<screencapture::CaptureBackend> backend, analysis::AnalysisRecorder& recorder,
        QObject* parent = nullptr);
    ~CaptureEngine() override;

    /// Starts a new stream (an earlier one is replaced without being told) and
    /// returns its frames. The stream finishes only when capture stops with an
    /// error. The caller owns the returned object.
    std::unique_ptr<CapturedFrameStream> startCapture(const screencapture::StreamConfiguration& configuration,
        const screencapture::ContentFilter& filter, const std::optional<media::Rect>& crop);

    /// Applies a configuration, then a filter, then the crop to the running
    /// stream. A failure is logged and leaves the rest (and the crop) unchanged.
    QCoro::Task<> update(screencapture::StreamConfiguration configuration, screencapture::ContentFilter filter,
        std::optional<media::Rect> crop);

    PowerMeter& powerMeter() { return m_powerMeter; }
    const std::shared_ptr<CaptureEngineStreamOutput>& streamOutput() const { return m_streamOutput; }
    screencapture::Stream* stream() const { return m_stream.get(); }
    screencapture::SerialQueue& videoSampleBufferQueue() { return m_videoSampleBufferQueue; }
    screencapture::SerialQueue& audioSampleBufferQueue() { return m_audioSampleBufferQueue; }

private:
    QCoro::Task<Result<void, screencapture::CaptureError>> applyConfiguration(
        const screencapture::StreamConfiguration& configuration);
    QCoro::Task<Result<void, screencapture::CaptureError>> applyFilter(const screencapture::ContentFilter& filter);

    const std::shared_ptr<screencapture::CaptureBackend> m_backend;
    analysis::AnalysisRecorder& m_recorder;
    PowerMeter m_powerMeter;
    // Outlive the stream and the output, so that queued buffers are handled
    // (or dropped) before the meter goes.
    screencapture::SerialQueue m_videoSampleBufferQueue;
    screencapture::SerialQueue m_audioSampleBufferQueue;
    std::shared_ptr<CaptureEngineStreamOutput> m_streamOutput;
    std::unique_ptr<screencapture::Stream> m_stream;
    std::uint64_t m_streamGeneration = 0; // counts starts, so a stale update can tell
};

} // namespace corvex::capture
