#include "platform/screencapture/portal/screen_cast_portal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QObject>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

namespace corvex::screencapture::portal {

namespace {

const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
constexpr int kCallTimeoutMs = 15000; // the methods answer at once; the dialog's answer comes as a signal

std::atomic<int> connectionCounter { 0 };

CaptureError noPortal(const std::string& detail)
{
    return { CaptureError::NoDisplay,
        "This Wayland desktop offers no screen-cast portal (org.freedesktop.portal.ScreenCast), so the screen "
        "cannot be recorded"
            + (detail.empty() ? std::string() : " (" + detail + ")")
            + ". Install your desktop's xdg-desktop-portal backend (xdg-desktop-portal-gnome, -kde or -wlr) and "
              "log in again, or log in to an X11 session." };
}

CaptureError portalGone()
{
    return { CaptureError::ConnectionLost,
        "The desktop's screen-cast portal stopped running, so screen capture stopped. Restart screen capture; if "
        "it happens again, log out and in again to restart the desktop's portal." };
}

CaptureError sessionClosed()
{
    return { CaptureError::ContentUnavailable,
        "The desktop ended screen sharing, so screen capture stopped. Restart screen capture to share the screen "
        "again." };
}

std::optional<std::uint32_t> unsignedValue(const QVariant& value)
{
    QVariant v = value;
    if (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    bool ok = false;
    const uint number = v.toUInt(&ok);
    return ok ? std::optional<std::uint32_t>(number) : std::nullopt;
}

QString textValue(const QVariant& value)
{
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

/// Lives on its own thread with an event loop, where Qt delivers the portal's signals.
class PortalRelay final : public QObject {
    Q_OBJECT
public:
    std::function<void(const QString& path, std::uint32_t code, const QVariantMap& results)> response;
    std::function<void(bool portalGone)> closed;

public Q_SLOTS:
    void onResponse(const QDBusMessage& message)
    {
        const QList<QVariant> arguments = message.arguments();
        if (arguments.size() < 2 || !response)
            return;
        QVariantMap results;
        const QVariant second = arguments.at(1);
        if (second.userType() == qMetaTypeId<QDBusArgument>())
            second.value<QDBusArgument>() >> results;
        else
            results = second.toMap();
        response(message.path(), unsignedValue(arguments.at(0)).value_or(2), results);
    }
    void onSessionClosed(const QDBusMessage&)
    {
        if (closed)
            closed(false);
    }
    void onServiceUnregistered(const QString&)
    {
        if (closed)
            closed(true);
    }
};

struct ScreenCastPortal::Impl {
    struct Response {
        std::uint32_t code = 0;
        QVariantMap results;
    };

    PortalAddress address;
    QString connectionName;
    std::optional<QDBusConnection> bus;
    QString sender; // our unique name as it appears in request paths
    QThread thread;
    PortalRelay* relay = nullptr; // lives on `thread`
    QDBusServiceWatcher* watcher = nullptr; // child of relay
    QString session;
    int requests = 0;
    int sessions = 0; // each session a path of its own: a closed one may linger at the portal a while

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::map<QString, Response> responses;
    bool cancelled = false;
    std::optional<CaptureError> closedError;
    bool closedTold = false;
    std::function<void(CaptureError)> closedHandler;

    QDBusMessage call(const QString& method, const QList<QVariant>& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromStdString(address.service), kDesktopPath, kScreenCast, method);
        message.setArguments(arguments);
        return bus->call(message, QDBus::Block, kCallTimeoutMs);
    }

    void markClosed(CaptureError error)
    {
        std::function<void(CaptureError)> handler;
        {
            std::lock_guard lock(mutex);
            if (closedError)
                return;
            closedError = error;
            changed.notify_all();
            if (!closedTold && closedHandler) {
                closedTold = true;
                handler = closedHandler;
            }
        }
        if (handler)
            handler(error);
    }

    std::optional<Response> request(
        const QString& method, const char* step, QList<QVariant> head, QVariantMap options, CaptureError& error)
    {
        const QString token = QStringLiteral("corvex%1_%2").arg(::getpid()).arg(++requests);
        const QString path = kDesktopPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
        options.insert(QStringLiteral("handle_token"), token);
        // Subscribed before the call, so an answer that comes at once is not missed.
        bus->connect(QString(), path, kRequest, QStringLiteral("Response"), relay, SLOT(onResponse(QDBusMessage)));
        head.append(options);
        const QDBusMessage reply = call(method, head);
        auto unsubscribe = [&] {
            bus->disconnect(
                QString(), path, kRequest, QStringLiteral("Response"), relay, SLOT(onResponse(QDBusMessage)));
        };
        if (reply.type() != QDBusMessage::ReplyMessage) {
            unsubscribe();
            error = { CaptureError::NoDisplay,
                "The desktop's screen-cast portal refused to " + std::string(step) + " ("
                    + reply.errorMessage().toStdString()
                    + "). Restart screen capture; if it fails again, log out "
                      "and in again to restart the desktop's portal." };
            return std::nullopt;
        }
        const QString handle = reply.arguments().isEmpty() ? QString() : textValue(reply.arguments().at(0));
        if (!handle.isEmpty() && handle != path) {
            // Portals before version 0.9 chose their own path: listen there too.
            bus->connect(
                QString(), handle, kRequest, QStringLiteral("Response"), relay, SLOT(onResponse(QDBusMessage)));
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
            return responses.count(path) || (!handle.isEmpty() && responses.count(handle)) || cancelled
                || closedError.has_value();
        });
        std::optional<Response> answer;
        if (auto it = responses.find(path); it != responses.end())
            answer = it->second;
        else if (auto other = responses.find(handle); other != responses.end())
            answer = other->second;
        responses.erase(path);
        responses.erase(handle);
        const bool wasCancelled = cancelled;
        const std::optional<CaptureError> closed = closedError;
        lock.unlock();
        unsubscribe();
        if (!handle.isEmpty() && handle != path)
            bus->disconnect(
                QString(), handle, kRequest, QStringLiteral("Response"), relay, SLOT(onResponse(QDBusMessage)));
        if (!answer) {
            if (wasCancelled && !handle.isEmpty()) {
                // Takes the dialog away.
                bus->call(QDBusMessage::createMethodCall(
                              QString::fromStdString(address.service), handle, kRequest, QStringLiteral("Close")),
                    QDBus::NoBlock);
            }
            error = wasCancelled ? CaptureError { CaptureError::Internal, "cancelled" } : *closed;
            return std::nullopt;
        }
        if (answer->code == 1) {
            error = { CaptureError::ContentUnavailable,
                "Screen sharing was cancelled in the desktop's dialog, so nothing is captured. Restart screen "
                "capture and choose a screen to share." };
            return std::nullopt;
        }
        if (answer->code != 0) {
            std::string reason = answer->results.value(QStringLiteral("error")).toString().toStdString();
            error = { CaptureError::NoDisplay,
                "The desktop's screen-cast portal could not " + std::string(step)
                    + (reason.empty() ? std::string() : " (" + reason + ")")
                    + (answer->code == 2 ? std::string()
                                         : " (it answered with the unknown code " + std::to_string(answer->code) + ")")
                    + ". Check that screen sharing is allowed, then restart screen capture." };
            return std::nullopt;
        }
        return answer;
    }
};

ScreenCastPortal::ScreenCastPortal()
    : m_impl(std::make_unique<Impl>())
{
}

Result<std::unique_ptr<ScreenCastPortal>, CaptureError> ScreenCastPortal::connect(const PortalAddress& address)
{
    using Connected = Result<std::unique_ptr<ScreenCastPortal>, CaptureError>;
    std::unique_ptr<ScreenCastPortal> portal(new ScreenCastPortal);
    Impl& d = *portal->m_impl;
    d.address = address;
    d.connectionName = QStringLiteral("corvex-screencast-%1").arg(++connectionCounter);
    QDBusConnection bus = address.busAddress.empty()
        ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, d.connectionName)
        : QDBusConnection::connectToBus(QString::fromStdString(address.busAddress), d.connectionName);
    d.bus = bus;
    if (!bus.isConnected()) {
        return Connected::failure(noPortal("there is no session bus: " + bus.lastError().message().toStdString()));
    }
    d.sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));

    d.relay = new PortalRelay;
    d.relay->response = [&d](const QString& path, std::uint32_t code, const QVariantMap& results) {
        std::lock_guard lock(d.mutex);
        d.responses[path] = { code, results };
        d.changed.notify_all();
    };
    d.relay->closed = [&d](bool gone) { d.markClosed(gone ? portalGone() : sessionClosed()); };
    d.watcher = new QDBusServiceWatcher(
        QString::fromStdString(address.service), bus, QDBusServiceWatcher::WatchForUnregistration, d.relay);
    QObject::connect(
        d.watcher, &QDBusServiceWatcher::serviceUnregistered, d.relay, &PortalRelay::onServiceUnregistered);
    d.relay->moveToThread(&d.thread);
    d.thread.setObjectName(QStringLiteral("app.corvex.screencast-portal"));
    d.thread.start();
    return Connected::success(std::move(portal));
}

ScreenCastPortal::~ScreenCastPortal()
{
    Impl& d = *m_impl;
    if (d.bus && d.bus->isConnected())
        close();
    d.thread.quit();
    d.thread.wait();
    delete d.relay; // its thread has ended
    d.bus.reset();
    QDBusConnection::disconnectFromBus(d.connectionName);
}

Result<PortalInfo, CaptureError> ScreenCastPortal::probe()
{
    using Probed = Result<PortalInfo, CaptureError>;
    Impl& d = *m_impl;
    const QString service = QString::fromStdString(d.address.service);
    const QDBusReply<bool> registered = d.bus->interface()->isServiceRegistered(service);
    if (!registered.isValid() || !registered.value()) {
        return Probed::failure(noPortal("nothing answers as " + d.address.service));
    }
    auto property = [&](const char* name) -> std::optional<std::uint32_t> {
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, kDesktopPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message.setArguments({ kScreenCast, QString::fromLatin1(name) });
        const QDBusMessage reply = d.bus->call(message, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        return unsignedValue(reply.arguments().at(0));
    };
    PortalInfo info;
    const std::optional<std::uint32_t> version = property("version");
    if (!version) {
        return Probed::failure(noPortal(d.address.service + " has no ScreenCast interface"));
    }
    info.version = *version;
    if (info.version < kMinimumPortalVersion) {
        return Probed::failure({ CaptureError::NoDisplay,
            "The desktop's screen-cast portal is too old (version " + std::to_string(info.version)
                + "; Corvex Studio needs version " + std::to_string(kMinimumPortalVersion)
                + " or later), so the screen cannot be recorded. Update xdg-desktop-portal and your desktop's "
                  "portal backend, or log in to an X11 session." });
    }
    info.sourceTypes = property("AvailableSourceTypes").value_or(kSourceMonitor);
    info.cursorModes = property("AvailableCursorModes").value_or(0);
    if ((info.sourceTypes & (kSourceMonitor | kSourceWindow)) == 0) {
        return Probed::failure({ CaptureError::NoDisplay,
            "The desktop's screen-cast portal offers neither monitors nor windows to share, so the screen cannot "
            "be recorded. Install your desktop's xdg-desktop-portal backend, or log in to an X11 session." });
    }
    return Probed::success(std::move(info));
}

Result<PortalCast, CaptureError> ScreenCastPortal::start(const PortalInfo& info, const std::string& restoreToken)
{
    using Started = Result<PortalCast, CaptureError>;
    CaptureError error;
    Impl& d = *m_impl;
    const QString service = QString::fromStdString(d.address.service);
    std::optional<Impl::Response> created = d.request(QStringLiteral("CreateSession"), "open a screen-cast session", {},
        { { QStringLiteral("session_handle_token"),
            QStringLiteral("corvexsession%1_%2").arg(::getpid()).arg(++d.sessions) } },
        error);
    if (!created)
        return Started::failure(std::move(error));
    d.session = textValue(created->results.value(QStringLiteral("session_handle")));
    if (d.session.isEmpty()) {
        error = { CaptureError::NoDisplay,
            "The desktop's screen-cast portal opened a session without naming it, so the screen cannot be "
            "recorded. Restart screen capture." };
        return Started::failure(std::move(error));
    }
    d.bus->connect(
        service, d.session, kSession, QStringLiteral("Closed"), d.relay, SLOT(onSessionClosed(QDBusMessage)));

    QVariantMap selection;
    selection.insert(QStringLiteral("types"), uint(info.sourceTypes & (kSourceMonitor | kSourceWindow)));
    selection.insert(QStringLiteral("multiple"), false);
    if (info.cursorModes & kCursorHidden)
        selection.insert(QStringLiteral("cursor_mode"), uint(kCursorHidden));
    if (info.version >= kRestoreTokenPortalVersion) {
        // Remembered until the author revokes it, so the dialog comes once and not at every recording.
        selection.insert(QStringLiteral("persist_mode"), uint(2));
        if (!restoreToken.empty())
            selection.insert(QStringLiteral("restore_token"), QString::fromStdString(restoreToken));
    }
    if (!d.request(QStringLiteral("SelectSources"), "offer the screen's sources",
            { QVariant::fromValue(QDBusObjectPath(d.session)) }, selection, error))
        return Started::failure(std::move(error));
    std::optional<Impl::Response> started = d.request(QStringLiteral("Start"), "start screen sharing",
        { QVariant::fromValue(QDBusObjectPath(d.session)), QString() }, {}, error);
    if (!started)
        return Started::failure(std::move(error));

    PortalCast cast;
    cast.restoreToken = started->results.value(QStringLiteral("restore_token")).toString().toStdString();
    const QVariant streams = started->results.value(QStringLiteral("streams"));
    if (streams.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument array = streams.value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            PortalStream stream;
            QVariantMap properties;
            array.beginStructure();
            array >> stream.nodeId >> properties;
            array.endStructure();
            const QVariant size = properties.value(QStringLiteral("size"));
            if (size.userType() == qMetaTypeId<QDBusArgument>()) {
                const QDBusArgument pair = size.value<QDBusArgument>();
                pair.beginStructure();
                pair >> stream.width >> stream.height;
                pair.endStructure();
            }
            stream.sourceType = unsignedValue(properties.value(QStringLiteral("source_type"))).value_or(0);
            // Some backends name a type they do not offer (a monitor called a window):
            // with one type on offer, that is what was chosen.
            const std::uint32_t offered = info.sourceTypes & (kSourceMonitor | kSourceWindow);
            if ((stream.sourceType & offered) == 0 && (offered == kSourceMonitor || offered == kSourceWindow))
                stream.sourceType = offered;
            cast.streams.push_back(stream);
        }
        array.endArray();
    }
    if (cast.streams.empty()) {
        error = { CaptureError::ContentUnavailable,
            "The desktop's screen-cast portal started sharing but handed over no screen, so nothing is captured. "
            "Restart screen capture and choose a screen to share." };
        return Started::failure(std::move(error));
    }

    QDBusMessage open
        = QDBusMessage::createMethodCall(service, kDesktopPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    open.setArguments({ QVariant::fromValue(QDBusObjectPath(d.session)), QVariantMap() });
    const QDBusMessage reply = d.bus->call(open, QDBus::Block, kCallTimeoutMs);
    QDBusUnixFileDescriptor fd;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        fd = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
    if (!fd.isValid()) {
        error = { CaptureError::ConnectionLost,
            "The desktop's screen-cast portal did not hand over the screen's video stream ("
                + reply.errorMessage().toStdString()
                + "). Check that PipeWire is running, then restart screen capture." };
        return Started::failure(std::move(error));
    }
    cast.pipeWireFd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
    if (cast.pipeWireFd < 0) {
        error = { CaptureError::Internal, "No file descriptor was left for the screen's video stream." };
        return Started::failure(std::move(error));
    }
    return Started::success(std::move(cast));
}

void ScreenCastPortal::setClosedHandler(std::function<void(CaptureError)> handler)
{
    std::optional<CaptureError> already;
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->closedHandler = handler;
        if (m_impl->closedError && !m_impl->closedTold) {
            m_impl->closedTold = true;
            already = m_impl->closedError;
        }
    }
    if (already && handler)
        handler(*already);
}

void ScreenCastPortal::cancel()
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->cancelled = true;
    m_impl->changed.notify_all();
}

void ScreenCastPortal::close()
{
    Impl& d = *m_impl;
    if (d.session.isEmpty())
        return;
    {
        // Our own Close is no news to anyone.
        std::lock_guard lock(d.mutex);
        d.closedTold = true;
    }
    d.bus->disconnect(QString::fromStdString(d.address.service), d.session, kSession, QStringLiteral("Closed"), d.relay,
        SLOT(onSessionClosed(QDBusMessage)));
    d.bus->call(QDBusMessage::createMethodCall(
                    QString::fromStdString(d.address.service), d.session, kSession, QStringLiteral("Close")),
        QDBus::NoBlock);
    d.session.clear();
    {
        // The next session starts with a clean slate: its own end must be told
        // (a new choice in the desktop's dialog, or a token that failed, opens one).
        std::lock_guard lock(d.mutex);
        d.closedError.reset();
        d.closedTold = false;
    }
}

} // namespace corvex::screencapture::portal

#include "screen_cast_portal.moc"
