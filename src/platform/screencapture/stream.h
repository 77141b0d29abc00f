#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/content_filter.h"
#include "platform/screencapture/sample_buffer.h"
#include "platform/screencapture/serial_queue.h"
#include "platform/screencapture/stream_configuration.h"

#include <functional>
#include <memory>
#include <optional>

namespace corvex::screencapture {

class CaptureBackend;

/// Receives a stream's sample buffers, on the queue given for their type.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void didOutputSampleBuffer(const SampleBuffer& sampleBuffer, StreamOutputType type) = 0;
};

/// Told once when a stream stops on its own (lost display, vanished window,
/// failed source), on whichever thread noticed.
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void didStopWithError(const CaptureError& error) = 0;
};

/// Where a backend's producers put what they capture. Any thread.
class StreamSink {
public:
    virtual void deliverVideo(SampleBuffer sampleBuffer) = 0;
    virtual void deliverAudio(SampleBuffer sampleBuffer) = 0;
    /// Stops the whole stream; later deliveries are dropped.
    virtual void fail(CaptureError error) = 0;

protected:
    ~StreamSink() = default;
};

/// A producer of one kind of sample buffer, made by a backend. It delivers
/// from its own thread once started; its destructor stops and joins that thread.
class StreamSource {
public:
    virtual ~StreamSource() = default;
    virtual void start(StreamSink& sink) = 0;
};

/// A new producer of frames or sound, or why there is none.
using SourceResult = Result<std::unique_ptr<StreamSource>, CaptureError>;

/// One capture of a filter's content with a configuration. Starting, updating
/// and stopping run on the stream's own control thread, so no call blocks the
/// caller (except destruction, which stops and waits for the producers).
/// Video frames waiting for the consumer are bounded by the queue depth: the
/// newest frame wins and the oldest waiting one is dropped.
class Stream final {
public:
    using Completion = std::function<void(Result<void, CaptureError>)>;

    Stream(std::shared_ptr<CaptureBackend> backend, const ContentFilter& filter,
        const StreamConfiguration& configuration, std::shared_ptr<StreamDelegate> delegate);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    /// Sends buffers of `type` to `output` on `queue`, which must outlive the
    /// stream. Fails when an output for that type is already there.
    Result<void, CaptureError> addStreamOutput(
        std::shared_ptr<StreamOutput> output, StreamOutputType type, SerialQueue& queue);
    /// Starts capture; failures arrive through the delegate.
    void startCapture();
    /// Apply to the running stream; the completion runs on the control thread.
    void updateConfiguration(const StreamConfiguration& configuration, Completion completion);
    void updateContentFilter(const ContentFilter& filter, Completion completion);

    /// For tests: waits until every start and update asked for so far has been applied.
    void waitForControl() { m_control.waitUntilIdle(); }

private:
    struct Shared;

    Result<void, CaptureError> replaceSources(const ContentFilter& filter, const StreamConfiguration& configuration);

    const std::shared_ptr<CaptureBackend> m_backend;
    const std::shared_ptr<Shared> m_shared;
    // Touched on the control thread only:
    ContentFilter m_filter;
    StreamConfiguration m_configuration;
    bool m_started = false;
    std::unique_ptr<StreamSource> m_video;
    std::unique_ptr<StreamSource> m_audio;
    // Last, so that it is joined before the members its tasks use go away.
    SerialQueue m_control;
};

} // namespace corvex::screencapture
