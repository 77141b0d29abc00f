#pragma once

// Collects what a capture stream delivers, for tests that wait on it.

#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/stream.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvex::test {

using namespace corvex::screencapture;

// Collects what a stream delivers; the test thread waits for counts.
class Collector final : public StreamOutput, public StreamDelegate {
public:
    void didOutputSampleBuffer(const SampleBuffer& sampleBuffer, StreamOutputType type) override
    {
        if (type == StreamOutputType::Screen && holdFirstFrame) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return released; });
        }
        std::lock_guard lock(mutex);
        (type == StreamOutputType::Screen ? frames : audio).push_back({ sampleBuffer, hostTimeNanoseconds() });
        changed.notify_all();
    }
    void didStopWithError(const CaptureError& error) override
    {
        std::lock_guard lock(mutex);
        errors.push_back(error);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool()>& condition, int ms = 5000)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), condition);
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    struct Delivery {
        SampleBuffer buffer;
        std::int64_t arrival;
    };
    bool holdFirstFrame = false;
    bool released = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> frames;
    std::vector<Delivery> audio;
    std::vector<CaptureError> errors;
};

/// A stream of a backend, started at once, that delivers both kinds of buffer to a collector.
struct CaptureRun {
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    SerialQueue video { "test.capture.video" };
    SerialQueue audio { "test.capture.audio" };
    std::unique_ptr<Stream> stream; // last: stopped before the queues go

    CaptureRun(
        std::shared_ptr<CaptureBackend> backend, const ContentFilter& filter, const StreamConfiguration& configuration)
        : stream(std::make_unique<Stream>(std::move(backend), filter, configuration, collector))
    {
        // A new stream takes one output of each kind; a refusal shows as frames that never come.
        static_cast<void>(stream->addStreamOutput(collector, StreamOutputType::Screen, video));
        static_cast<void>(stream->addStreamOutput(collector, StreamOutputType::Audio, audio));
        stream->startCapture();
    }

    std::size_t frameCount()
    {
        std::lock_guard lock(collector->mutex);
        return collector->frames.size();
    }
    /// The first frame that `matches`; none on an error or after `ms`.
    std::optional<SampleBuffer> frameWhere(const std::function<bool(const SampleBuffer&)>& matches, int ms = 15000)
    {
        std::optional<SampleBuffer> found;
        collector->waitFor(
            [&] {
                for (const auto& delivery : collector->frames)
                    if (matches(delivery.buffer)) {
                        found = delivery.buffer;
                        return true;
                    }
                return !collector->errors.empty();
            },
            ms);
        return found;
    }
    /// What the stream stopped with; none when it goes on after `ms`.
    std::optional<std::string> error(int ms = 15000)
    {
        collector->waitFor([&] { return !collector->errors.empty(); }, ms);
        std::lock_guard lock(collector->mutex);
        return collector->errors.empty() ? std::nullopt : std::optional(collector->errors.front().localizedDescription);
    }
};

} // namespace corvex::test
