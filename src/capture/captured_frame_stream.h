#pragma once

#include "capture/captured_frame.h"
#include "platform/screencapture/capture_error.h"

#include <QObject>

#include <memory>
#include <mutex>
#include <optional>

namespace corvex::capture {

class CapturedFrameStream;

/// The producer side of a frame stream: yield and finish from any thread.
/// The newest frame wins: a frame not yet handed to the GUI thread is
/// replaced by the next one, so a busy GUI thread never piles frames up
/// (each holds a full-size surface). After finish, yields are ignored.
class CapturedFrameContinuation final {
public:
    void yield(const CapturedFrame& frame);
    void finish(std::optional<screencapture::CaptureError> error = std::nullopt);

private:
    friend class CapturedFrameStream;
    void notifyLocked();

    std::mutex m_mutex; // guards everything below
    std::optional<CapturedFrame> m_newest;
    bool m_finished = false;
    std::optional<screencapture::CaptureError> m_error;
    CapturedFrameStream* m_receiver = nullptr; // cleared by the receiver's destructor
    bool m_notifyPosted = false;
};

/// The consumer side, on the GUI thread: frameReceived for the newest frame
/// each time the event loop gets to it, then finished once, with the error
/// that ended the stream if any.
class CapturedFrameStream final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturedFrameStream)

public:
    explicit CapturedFrameStream(QObject* parent = nullptr);
    ~CapturedFrameStream() override;

    std::shared_ptr<CapturedFrameContinuation> continuation() const { return m_continuation; }
    bool isFinished() const { return m_finishedReported; }
    std::optional<screencapture::CaptureError> error() const { return m_error; }

Q_SIGNALS:
    void frameReceived(const corvex::capture::CapturedFrame& frame);
    void finished();

private:
    friend class CapturedFrameContinuation;
    void drain();

    const std::shared_ptr<CapturedFrameContinuation> m_continuation;
    bool m_finishedReported = false;
    std::optional<screencapture::CaptureError> m_error;
};

} // namespace corvex::capture
