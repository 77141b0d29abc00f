#pragma once

#include "platform/screencapture/portal/portal_address.h"

#include <QDBusMessage>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

namespace corvex::screencapture::portal {
class PortalConnection;
}

class QDBusArgument;

namespace corvex::app {

/// One shortcut as the GlobalShortcuts portal takes and gives it, (sa{sv}):
/// its id and what it is ("description", "preferred_trigger", ...).
struct PortalShortcut {
    QString id;
    QVariantMap details;
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

/// The trigger the desktop is asked for, in the notation of freedesktop.org's
/// shortcuts (e.g. "CTRL+SHIFT+r", "ALT+F9"); empty for no key or several.
QString portalTriggerOf(const QKeySequence& keys);

/// Keys that reach the studio from anywhere on a desktop whose portal offers
/// GlobalShortcuts (the Wayland road: no program may grab keys there). The
/// session is opened and the keys bound on a thread of its own, since the
/// desktop may ask the author first; `bound` or `unavailable` tells how that
/// went, and `activated` each press of a bound key. The keys are the desktop's
/// to change: ours are only a suggestion. Destroying this ends the session,
/// which releases the keys.
class PortalShortcuts final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortalShortcuts)

public:
    struct Shortcut {
        QString id;
        QString description;
        QKeySequence keys;
    };

    explicit PortalShortcuts(
        QList<Shortcut> shortcuts, screencapture::portal::PortalAddress address = {}, QObject* parent = nullptr);
    ~PortalShortcuts() override;

Q_SIGNALS:
    void bound();
    void unavailable(const QString& reason);
    void activated(const QString& id);

private Q_SLOTS:
    void onActivated(const QDBusMessage& message);

private:
    struct Worker;
    std::unique_ptr<Worker> m_worker;
    std::unique_ptr<screencapture::portal::PortalConnection> m_connection; // once bound
    QString m_session;
};

} // namespace corvex::app

Q_DECLARE_METATYPE(corvex::app::PortalShortcut)
