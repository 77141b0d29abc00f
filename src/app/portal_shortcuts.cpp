#include "app/portal_shortcuts.h"

#include "app/portal_thread.h"
#include "platform/screencapture/portal/portal_connection.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QLoggingCategory>

#include <algorithm>

namespace corvex::app {

Q_LOGGING_CATEGORY(lcShortcuts, "corvex.app.shortcuts")

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.details;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.details;
    argument.endStructure();
    return argument;
}

using screencapture::portal::PortalConnection;
using screencapture::portal::RequestError;

namespace {

const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kTray = QStringLiteral("start and save from the studio's icon in the tray.");

// The key's name as the desktop's keyboard calls it (an XKB keysym name).
QString keyName(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QLatin1Char(static_cast<char>('a' + (key - Qt::Key_A))));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return QString(QLatin1Char(static_cast<char>(key)));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    switch (key) {
    case Qt::Key_Space:
        return QStringLiteral("space");
    case Qt::Key_Pause:
        return QStringLiteral("Pause");
    case Qt::Key_Home:
        return QStringLiteral("Home");
    case Qt::Key_End:
        return QStringLiteral("End");
    case Qt::Key_Insert:
        return QStringLiteral("Insert");
    default:
        return {};
    }
}

QString reasonFor(const RequestError& error)
{
    switch (error.kind) {
    case RequestError::CancelledByUser:
        return QStringLiteral("The keys that work over other programs were declined; %1").arg(kTray);
    case RequestError::SessionClosed:
    case RequestError::PortalGone:
        return QStringLiteral("The desktop ended the keys that work over other programs; %1").arg(kTray);
    default:
        return QStringLiteral("The desktop did not give the studio keys that work over other programs (%1); %2")
            .arg(error.detail.empty() ? QStringLiteral("it gave no reason") : QString::fromStdString(error.detail),
                kTray);
    }
}

} // namespace

QString portalTriggerOf(const QKeySequence& keys)
{
    if (keys.count() != 1)
        return {};
    const QKeyCombination combination = keys[0];
    QString name = keyName(combination.key());
    if (name.isEmpty())
        return {};
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    QStringList parts;
    if (modifiers & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (modifiers & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (modifiers & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (modifiers & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << name;
    return parts.join(QLatin1Char('+'));
}

struct PortalShortcuts::Worker {
    // What the thread leaves for the GUI thread, read after it was joined.
    std::unique_ptr<PortalConnection> bound;
    QString session;
    QString reason;
    PortalThread thread; // last, so that it is joined before the rest goes
};

PortalShortcuts::PortalShortcuts(
    QList<Shortcut> shortcuts, screencapture::portal::PortalAddress address, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_unique<Worker>())
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    QList<PortalShortcut> asked;
    for (const Shortcut& shortcut : shortcuts) {
        QVariantMap details { { QStringLiteral("description"), shortcut.description } };
        if (const QString trigger = portalTriggerOf(shortcut.keys); !trigger.isEmpty())
            details.insert(QStringLiteral("preferred_trigger"), trigger);
        asked.append({ shortcut.id, details });
    }

    Worker* worker = m_worker.get();
    worker->thread.start([this, worker, asked, address = std::move(address)] {
        // Told on the GUI thread once this thread is done; dropped when the object went first.
        const auto finish = [this, worker] {
            QMetaObject::invokeMethod(
                this,
                [this, worker] {
                    if (m_worker.get() != worker)
                        return;
                    m_worker->thread.join();
                    const std::unique_ptr<Worker> done = std::move(m_worker);
                    if (!done->bound) {
                        qCInfo(lcShortcuts) << "no global shortcuts:" << done->reason;
                        Q_EMIT unavailable(done->reason);
                        return;
                    }
                    m_connection = std::move(done->bound);
                    m_session = done->session;
                    m_connection->connectSignal(
                        kGlobalShortcuts, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
                    Q_EMIT bound();
                },
                Qt::QueuedConnection);
        };
        auto connected = PortalConnection::connect(address);
        if (!connected) {
            worker->reason = QStringLiteral("The desktop's portal cannot be reached: %1; %2")
                                 .arg(QString::fromStdString(connected.error), kTray);
            finish();
            return;
        }
        std::unique_ptr<PortalConnection> portal = std::move(*connected.value);
        if (!worker->thread.use(portal.get()))
            return;
        const auto answer = [&]() -> QString {
            if (!portal->unsignedProperty(kGlobalShortcuts, "version"))
                return QStringLiteral("This desktop offers no keys that work over other programs; %1").arg(kTray);
            auto session = portal->createSession(kGlobalShortcuts);
            if (!session)
                return reasonFor(session.error);
            auto bound = portal->request(kGlobalShortcuts, QStringLiteral("BindShortcuts"),
                { QVariant::fromValue(QDBusObjectPath(*session.value)), QVariant::fromValue(asked), QString() }, {});
            if (!bound)
                return reasonFor(bound.error);
            // The answer lists what the desktop bound; a desktop that answers yet binds
            // nothing (one that knows no keys of programs it did not install) must not
            // leave the studio believing its keys work.
            const QVariant given = bound.value->value(QStringLiteral("shortcuts"));
            if (given.isValid()) {
                QList<PortalShortcut> taken;
                if (given.userType() == qMetaTypeId<QDBusArgument>())
                    given.value<QDBusArgument>() >> taken;
                const bool any = std::any_of(taken.cbegin(), taken.cend(), [&](const PortalShortcut& shortcut) {
                    return std::any_of(asked.cbegin(), asked.cend(),
                        [&](const PortalShortcut& ours) { return ours.id == shortcut.id; });
                });
                if (!any)
                    return QStringLiteral("The desktop bound none of the keys that work over other programs; "
                                          "%1")
                        .arg(kTray);
            }
            worker->session = *session.value;
            return {};
        };
        worker->reason = answer();
        if (!worker->thread.use(nullptr))
            return;
        if (worker->reason.isEmpty())
            worker->bound = std::move(portal);
        finish();
    });
}

PortalShortcuts::~PortalShortcuts() = default;

void PortalShortcuts::onActivated(const QDBusMessage& message)
{
    // Activated(o session_handle, s shortcut_id, t timestamp, a{sv} options)
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2 || screencapture::portal::textValue(arguments.at(0)) != m_session)
        return;
    Q_EMIT activated(arguments.at(1).toString());
}

} // namespace corvex::app
