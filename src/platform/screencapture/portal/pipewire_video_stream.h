#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/sample_buffer.h"
#include "platform/screencapture/stream_configuration.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvex::screencapture::portal {

/// Where a PipeWire video node is: a connection handed over by the portal (a
/// file descriptor), or a PipeWire server by its socket (tests), and the node.
struct PipeWireTarget {
    int fd = -1; // taken over by the stream (closed with it); -1: use `remote`
    std::string remote; // socket path or name; empty: the default server
    std::uint32_t nodeId = 0;
    /// How long the producer may take to agree on a format and start
    /// streaming before `check` gives up on it.
    std::chrono::milliseconds startLimit = std::chrono::seconds(10);
};

/// Consumes one PipeWire video node on a PipeWire thread loop: shared-memory
/// frames (MemFd or MemPtr) in BGRx, BGRA, RGBx or RGBA at whatever size the
/// producer sends, at most as often as the configuration's minimum frame
/// interval allows, each reduced and stamped by a FrameReducer (one clock for
/// the whole stream, the monotonic one that stamps the sound).
///
/// Producers send frames only when the picture changes, so a still screen
/// sends nothing for as long as it is still; `check` tells that apart from a
/// producer that went away.
class PipeWireVideoStream final {
public:
    struct Events {
        std::function<void(SampleBuffer)> frame; // on the PipeWire thread
        std::function<void(CaptureError)> failure; // once, on the PipeWire thread or in `check`
    };

    /// Connects and starts; the reason instead when PipeWire cannot be reached.
    static Result<std::unique_ptr<PipeWireVideoStream>, CaptureError> connect(
        PipeWireTarget target, const StreamConfiguration& configuration, Events events);
    ~PipeWireVideoStream();
    PipeWireVideoStream(const PipeWireVideoStream&) = delete;
    PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

    /// The watchdog, for the owner to call now and then (any thread but the
    /// PipeWire one): reports a failure when the node is gone, the stream fell
    /// from streaming to paused and stayed there (what a producer that was
    /// killed leaves behind), or it never started streaming.
    void check();

    struct Statistics {
        std::int64_t frames = 0; // delivered
        std::int64_t empty = 0; // buffers without pixels or marked corrupted
        std::int64_t framesLeftOut = 0; // their time ran backwards
        int width = 0; // of the negotiated format
        int height = 0;
        std::uint32_t format = 0; // SPA video format
        std::uint32_t maxFramerateNum = 0;
        std::uint32_t maxFramerateDenom = 0;
    };
    Statistics statistics() const;

private:
    struct Impl;
    PipeWireVideoStream();
    std::unique_ptr<Impl> m_impl;
};

} // namespace corvex::screencapture::portal
