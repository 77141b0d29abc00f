#include "capture/captured_frame_stream.h"

#include <QPointer>

namespace corvex::capture {

void CapturedFrameContinuation::yield(const CapturedFrame& frame)
{
    std::lock_guard lock(m_mutex);
    if (m_finished)
        return;
    m_newest = frame;
    notifyLocked();
}

void CapturedFrameContinuation::finish(std::optional<screencapture::CaptureError> error)
{
    std::lock_guard lock(m_mutex);
    if (m_finished)
        return;
    m_finished = true;
    m_error = std::move(error);
    notifyLocked();
}

void CapturedFrameContinuation::notifyLocked()
{
    // The receiver is deleted only on its own thread, after clearing itself
    // here under the same lock; a posted call dies with its receiver.
    if (m_receiver == nullptr || m_notifyPosted)
        return;
    m_notifyPosted = true;
    QMetaObject::invokeMethod(m_receiver, &CapturedFrameStream::drain, Qt::QueuedConnection);
}

CapturedFrameStream::CapturedFrameStream(QObject* parent)
    : QObject(parent)
    , m_continuation(std::make_shared<CapturedFrameContinuation>())
{
    m_continuation->m_receiver = this;
}

CapturedFrameStream::~CapturedFrameStream()
{
    std::lock_guard lock(m_continuation->m_mutex);
    m_continuation->m_receiver = nullptr;
}

void CapturedFrameStream::drain()
{
    std::optional<CapturedFrame> frame;
    bool isDone = false;
    {
        std::lock_guard lock(m_continuation->m_mutex);
        frame.swap(m_continuation->m_newest);
        isDone = m_continuation->m_finished;
        m_error = m_continuation->m_error;
        m_continuation->m_notifyPosted = false;
    }
    // A receiver of a signal may delete this stream.
    QPointer<CapturedFrameStream> self(this);
    if (frame) {
        Q_EMIT frameReceived(*frame);
        if (!self)
            return;
    }
    if (isDone && !m_finishedReported) {
        m_finishedReported = true;
        Q_EMIT finished();
    }
}

} // namespace corvex::capture

// Compiled here rather than with the library's other meta-objects: the film
// road (the author command) uses this stream without the screen recorder, and
// a shared meta-object file would link every capture back end into it.
#include "moc_captured_frame_stream.cpp"
