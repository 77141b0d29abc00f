#include "capture/capture_engine.h"

#include "analysis/analysis_recorder.h"
#include "capture/capture_log.h"

#include <QCoroFuture>
#include <QDebug>
#include <QPointer>
#include <QPromise>

namespace corvex::capture {

namespace {

// A stream operation's completion (on the stream's control thread) as a
// future that the GUI thread can await.
using Outcome = Result<void, screencapture::CaptureError>;
using CompletionPromise = QPromise<Outcome>;

std::pair<QFuture<Outcome>, screencapture::Stream::Completion> completionFuture()
{
    auto promise = std::make_shared<CompletionPromise>();
    promise->start();
    QFuture<Outcome> future = promise->future();
    return { future, [promise](Outcome outcome) {
                promise->addResult(std::move(outcome));
                promise->finish();
            } };
}

} // namespace

CaptureEngine::CaptureEngine(
    std::shared_ptr<screencapture::CaptureBackend> backend, analysis::AnalysisRecorder& recorder, QObject* parent)
    : QObject(parent)
    , m_backend(std::move(backend))
    , m_recorder(recorder)
    , m_videoSampleBufferQueue("app.corvex.Studio.capture.video-sample-buffers")
    , m_audioSampleBufferQueue("app.corvex.Studio.capture.audio-sample-buffers")
{
}

CaptureEngine::~CaptureEngine()
{
    // Stop producing before the output, the queues and the meter go.
    m_stream.reset();
}

std::unique_ptr<CapturedFrameStream> CaptureEngine::startCapture(
    const screencapture::StreamConfiguration& configuration, const screencapture::ContentFilter& filter,
    const std::optional<media::Rect>& crop)
{
    auto frames = std::make_unique<CapturedFrameStream>();
    const std::shared_ptr<CapturedFrameContinuation> continuation = frames->continuation();

    auto streamOutput = std::make_shared<CaptureEngineStreamOutput>(m_recorder, continuation);
    streamOutput->capturedFrameHandler = [continuation](const CapturedFrame& frame) { continuation->yield(frame); };
    streamOutput->pcmBufferHandler = [this](const media::PcmBuffer& buffer) { m_powerMeter.process(buffer); };
    // The previous stream goes first, so that its producers stop before its output is released.
    m_stream.reset();
    m_streamOutput = std::move(streamOutput);
    m_streamOutput->setCrop(crop);

    ++m_streamGeneration;
    m_stream = std::make_unique<screencapture::Stream>(m_backend, filter, configuration, m_streamOutput);
    for (auto [type, queue] : { std::pair { screencapture::StreamOutputType::Screen, &m_videoSampleBufferQueue },
             std::pair { screencapture::StreamOutputType::Audio, &m_audioSampleBufferQueue } })
        if (auto added = m_stream->addStreamOutput(m_streamOutput, type, *queue); !added) {
            continuation->finish(added.error);
            return frames;
        }
    m_stream->startCapture();
    return frames;
}

QCoro::Task<Result<void, screencapture::CaptureError>> CaptureEngine::applyConfiguration(
    const screencapture::StreamConfiguration& configuration)
{
    auto [future, completion] = completionFuture();
    m_stream->updateConfiguration(configuration, std::move(completion));
    co_return co_await future;
}

QCoro::Task<Result<void, screencapture::CaptureError>> CaptureEngine::applyFilter(
    const screencapture::ContentFilter& filter)
{
    auto [future, completion] = completionFuture();
    m_stream->updateContentFilter(filter, std::move(completion));
    co_return co_await future;
}

QCoro::Task<> CaptureEngine::update(screencapture::StreamConfiguration configuration,
    screencapture::ContentFilter filter, std::optional<media::Rect> crop)
{
    QPointer<CaptureEngine> self(this);
    if (m_stream) {
        // The stream that was asked is the one that must answer: a new start
        // meanwhile makes this update stale.
        const std::uint64_t generation = m_streamGeneration;
        Result<void, screencapture::CaptureError> applied = co_await applyConfiguration(configuration);
        if (!self || m_streamGeneration != generation)
            co_return;
        if (applied) {
            applied = co_await applyFilter(filter);
            if (!self || m_streamGeneration != generation)
                co_return;
        }
        if (!applied) {
            qCCritical(
                lcCapture, "Failed to update the stream session: %s", applied.error.localizedDescription.c_str());
            co_return;
        }
    }
    if (m_streamOutput)
        m_streamOutput->setCrop(crop);
}

} // namespace corvex::capture
