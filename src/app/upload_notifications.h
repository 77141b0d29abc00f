#pragma once

#include "app/upload_queue.h"

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

Q_SIGNALS:
    /// A notification was asked for, whether or not the desktop shows it.
    void shown(const QString& summary, const QString& body);

private:
    void follow(const UploadQueue::Delivered& delivered);
};

} // namespace corvex::app
