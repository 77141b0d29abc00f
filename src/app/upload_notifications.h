#pragma once

#include "app/upload_queue.h"

#include <QDBusConnection>
#include <QObject>

namespace corvex::app {

/// Tells the desktop (its notification service on the session bus) when an
/// upload nobody watched ends for good: the outbox's own retry, or an upload
/// whose recording window was closed meanwhile. A success says the show
/// reached the service; a refusal for good says where to save or remove the
/// recording. Failures that may pass say nothing: the outbox tries again.
/// Without a notification service nothing is shown; the status bar still says
/// it. GUI thread only.
class UploadNotifications final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadNotifications)

public:
    static constexpr const char* kService = "org.freedesktop.Notifications";

    explicit UploadNotifications(UploadQueue& uploads, QObject* parent = nullptr);

    /// Sends to another bus than the session's (tests).
    void setBus(const QDBusConnection& bus) { m_bus = bus; }

private:
    void follow(const UploadQueue::Delivered& delivered);

    QDBusConnection m_bus = QDBusConnection::sessionBus();
};

} // namespace corvex::app
