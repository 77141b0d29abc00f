#include "app/upload_notifications.h"

#include "app/outbox_actions.h"
#include "app/studio_app.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

namespace corvex::app {

namespace {

bool hasSessionBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

} // namespace

UploadNotifications::UploadNotifications(UploadQueue& uploads, QObject* parent)
    : QObject(parent)
{
    connect(&uploads, &UploadQueue::delivered, this, &UploadNotifications::follow);
}

void UploadNotifications::follow(const UploadQueue::Delivered& delivered)
{
    if (!delivered.background)
        return;
    const QString title = outbox_actions::titleOf(delivered.pending.entry.item);
    QString summary;
    QString body;
    if (delivered.delivery == UploadQueue::Delivery::Sent) {
        summary = QStringLiteral("Light show uploaded");
        body = QStringLiteral("“%1” reached the service.").arg(title);
    } else if (delivered.delivery == UploadQueue::Delivery::Failed && delivered.error
        && delivered.error->isPermanent()) {
        summary = QStringLiteral("Light show refused");
        body = QStringLiteral("The service refused “%1” for good (status %2), so it will never upload. Save it as a "
                              "file or remove it under Outbox… in Corvex Studio.")
                   .arg(title)
                   .arg(delivered.error->status);
    } else {
        return;
    }
    Q_EMIT shown(summary, body);
    // Only a session bus that runs: asking for one without would have D-Bus
    // start one of its own (a forked helper) for a note nobody would see.
    if (!hasSessionBus())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage notify = QDBusMessage::createMethodCall(QString::fromLatin1(kService),
        QStringLiteral("/org/freedesktop/Notifications"), QString::fromLatin1(kService), QStringLiteral("Notify"));
    const QVariantMap hints { { QStringLiteral("desktop-entry"), QString::fromLatin1(StudioApp::kApplicationId) } };
    notify << QStringLiteral("Corvex Studio") << 0U << QString() << summary << body
           << QStringList() << hints << -1;
    // Never waited for: the answer (the notification's number) is not needed.
    bus.send(notify);
}

} // namespace corvex::app
