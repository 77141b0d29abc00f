#pragma once

// Collects what a capture stream delivers, for tests that wait on it.

#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/stream.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
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

} // namespace corvex::test
