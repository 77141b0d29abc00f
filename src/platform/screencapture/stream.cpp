#include "platform/screencapture/stream.h"

#include "platform/screencapture/capture_backend.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace corvex::screencapture {

// What the producers, the queues' tasks and the stream share. Outlives the
// stream while tasks that hold it are queued.
struct Stream::Shared final : StreamSink {
    struct Route {
        std::shared_ptr<StreamOutput> output;
        SerialQueue* queue = nullptr;
    };

    std::mutex mutex; // guards everything below
    Route screen;
    Route audio;
    std::deque<SampleBuffer> waitingFrames;
    std::size_t queueDepth = 1;
    bool stopped = false;
    std::shared_ptr<StreamDelegate> delegate;

    void deliverVideo(SampleBuffer sampleBuffer) override
    {
        std::unique_lock lock(mutex);
        if (stopped || !screen.output)
            return;
        waitingFrames.push_back(std::move(sampleBuffer));
        while (waitingFrames.size() > queueDepth)
            waitingFrames.pop_front();
        SerialQueue* queue = screen.queue;
        lock.unlock();
        // One task per delivered frame; a task whose frame was dropped finds
        // a newer one or nothing.
        queue->async([self = shared_from_this()] { self->handOutFrame(); });
    }

    void handOutFrame()
    {
        std::unique_lock lock(mutex);
        if (stopped || waitingFrames.empty() || !screen.output)
            return;
        SampleBuffer frame = std::move(waitingFrames.front());
        waitingFrames.pop_front();
        std::shared_ptr<StreamOutput> output = screen.output;
        lock.unlock();
        output->didOutputSampleBuffer(frame, StreamOutputType::Screen);
    }

    void deliverAudio(SampleBuffer sampleBuffer) override
    {
        std::unique_lock lock(mutex);
        if (stopped || !audio.output)
            return;
        std::shared_ptr<StreamOutput> output = audio.output;
        SerialQueue* queue = audio.queue;
        lock.unlock();
        queue->async([self = shared_from_this(), output, buffer = std::move(sampleBuffer)] {
            if (!self->isStopped())
                output->didOutputSampleBuffer(buffer, StreamOutputType::Audio);
        });
    }

    void fail(CaptureError error) override
    {
        std::unique_lock lock(mutex);
        if (stopped)
            return;
        stopped = true;
        waitingFrames.clear();
        std::shared_ptr<StreamDelegate> target = delegate;
        lock.unlock();
        if (target)
            target->didStopWithError(error);
    }

    bool isStopped()
    {
        std::lock_guard lock(mutex);
        return stopped;
    }

    std::shared_ptr<Shared> shared_from_this() { return self.lock(); }
    std::weak_ptr<Shared> self;
};

Stream::Stream(std::shared_ptr<CaptureBackend> backend, const ContentFilter& filter,
    const StreamConfiguration& configuration, std::shared_ptr<StreamDelegate> delegate)
    : m_backend(std::move(backend))
    , m_shared(std::make_shared<Shared>())
    , m_filter(filter)
    , m_configuration(configuration)
    , m_control("app.corvex.screencapture.stream-control")
{
    m_shared->self = m_shared;
    m_shared->delegate = std::move(delegate);
    m_shared->queueDepth = static_cast<std::size_t>(std::max(1, configuration.queueDepth));
}

Stream::~Stream()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopped = true;
        m_shared->waitingFrames.clear();
        m_shared->delegate.reset();
    }
    m_control.async([this] {
        m_video.reset();
        m_audio.reset();
    });
    // m_control's destructor runs that task and joins.
}

Result<void, CaptureError> Stream::addStreamOutput(
    std::shared_ptr<StreamOutput> output, StreamOutputType type, SerialQueue& queue)
{
    std::lock_guard lock(m_shared->mutex);
    Shared::Route* route = nullptr;
    if (type == StreamOutputType::Screen)
        route = &m_shared->screen;
    else if (type == StreamOutputType::Audio)
        route = &m_shared->audio;
    if (route == nullptr || route->output || !output)
        return Result<void, CaptureError>::failure(
            { route == nullptr || !output ? CaptureError::InvalidParameter : CaptureError::OutputAlreadyAdded,
                route == nullptr || !output ? "This kind of stream output cannot be added."
                                            : "The stream already has an output of this kind." });
    *route = { std::move(output), &queue };
    return Result<void, CaptureError>::success();
}

void Stream::startCapture()
{
    m_control.async([this] {
        if (m_started || m_shared->isStopped())
            return;
        m_started = true;
        if (Result<void, CaptureError> replaced = replaceSources(m_filter, m_configuration); !replaced)
            m_shared->fail(replaced.error);
    });
}

Result<void, CaptureError> Stream::replaceSources(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    SourceResult video = m_backend->createVideoSource(filter, configuration);
    if (!video)
        return Result<void, CaptureError>::failure(std::move(video.error));
    std::unique_ptr<StreamSource> audio;
    const bool newAudio = configuration.capturesAudio && !m_audio;
    if (newAudio) {
        SourceResult created = m_backend->createAudioSource(configuration);
        if (!created)
            return Result<void, CaptureError>::failure(std::move(created.error));
        audio = std::move(*created.value);
    }
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->queueDepth = static_cast<std::size_t>(std::max(1, configuration.queueDepth));
    }
    // The old producer stops before the new one starts, so frames stay in order.
    m_video = std::move(*video.value);
    m_video->start(*m_shared);
    if (newAudio) {
        m_audio = std::move(audio);
        m_audio->start(*m_shared);
    } else if (!configuration.capturesAudio) {
        m_audio.reset();
    }
    m_filter = filter;
    m_configuration = configuration;
    return Result<void, CaptureError>::success();
}

void Stream::updateConfiguration(const StreamConfiguration& configuration, Completion completion)
{
    m_control.async([this, configuration, completion = std::move(completion)] {
        Result<void, CaptureError> outcome = Result<void, CaptureError>::success();
        if (m_shared->isStopped())
            outcome = Result<void, CaptureError>::failure(
                { CaptureError::InvalidParameter, "The capture stream is not running." });
        else if (!m_started)
            m_configuration = configuration;
        else if (configuration != m_configuration)
            outcome = replaceSources(m_filter, configuration);
        if (completion)
            completion(std::move(outcome));
    });
}

void Stream::updateContentFilter(const ContentFilter& filter, Completion completion)
{
    m_control.async([this, filter, completion = std::move(completion)] {
        Result<void, CaptureError> outcome = Result<void, CaptureError>::success();
        if (m_shared->isStopped())
            outcome = Result<void, CaptureError>::failure(
                { CaptureError::InvalidParameter, "The capture stream is not running." });
        else if (!m_started)
            m_filter = filter;
        else if (filter != m_filter)
            outcome = replaceSources(filter, m_configuration);
        if (completion)
            completion(std::move(outcome));
    });
}

} // namespace corvex::screencapture
