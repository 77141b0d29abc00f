#include "platform/screencapture/portal/portal_connection.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>
#include <QObject>
#include <QThread>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

namespace corvex::screencapture::portal {

namespace {

const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kResponse = QStringLiteral("Response");
constexpr int kCallTimeoutMs = 15000; // the methods answer at once; the dialog's answer comes as a signal

std::atomic<int> connectionCounter { 0 };

// Whether the session has a bus to find. Without one, Qt would start a bus of
// its own through dbus-launch, which may hang and has no portal anyway.
bool sessionBusKnown()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

} // namespace

std::optional<std::uint32_t> unsignedValue(const QVariant& value)
{
    QVariant v = value;
    if (v.userType() == qMetaTypeId<QDBusVariant>())
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

/// Lives on its own thread with an event loop, where Qt delivers the portal's signals.
class PortalRelay final : public QObject {
    Q_OBJECT
public:
    std::function<void(const QString& path, std::uint32_t code, const QVariantMap& results)> response;
    std::function<void(RequestError::Kind)> closed;

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
            closed(RequestError::SessionClosed);
    }
    void onServiceUnregistered(const QString&)
    {
        if (closed)
            closed(RequestError::PortalGone);
    }
};

struct PortalConnection::Impl {
    struct Response {
        std::uint32_t code = 0;
        QVariantMap results;
    };

    PortalAddress address;
    QString service;
    QString connectionName;
    std::optional<QDBusConnection> bus;
    QString sender; // our unique name as it appears in request paths
    QThread thread;
    PortalRelay* relay = nullptr; // lives on `thread`
    QString session;
    int requests = 0;
    int sessions = 0; // each session a path of its own: a closed one may linger at the portal a while

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::map<QString, Response> responses;
    bool cancelled = false;
    std::optional<RequestError::Kind> closedKind;
    bool closedTold = false;
    std::function<void(RequestError::Kind)> closedHandler;

    void listen(const QString& path, bool on)
    {
        if (on)
            bus->connect(QString(), path, kRequest, kResponse, relay, SLOT(onResponse(QDBusMessage)));
        else
            bus->disconnect(QString(), path, kRequest, kResponse, relay, SLOT(onResponse(QDBusMessage)));
    }

    void markClosed(RequestError::Kind kind)
    {
        std::function<void(RequestError::Kind)> handler;
        {
            std::lock_guard lock(mutex);
            if (closedKind)
                return;
            closedKind = kind;
            changed.notify_all();
            if (!closedTold && closedHandler) {
                closedTold = true;
                handler = closedHandler;
            }
        }
        if (handler)
            handler(kind);
    }

    /// Waits for the Response at `path` (or at `handle`, where the portal chose its own).
    Result<Response, RequestError> await(const QString& path, const QString& handle)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
            return responses.count(path) || (!handle.isEmpty() && responses.count(handle)) || cancelled
                || closedKind.has_value();
        });
        std::optional<Response> answer;
        if (auto it = responses.find(path); it != responses.end())
            answer = it->second;
        else if (auto other = responses.find(handle); other != responses.end())
            answer = other->second;
        responses.erase(path);
        responses.erase(handle);
        if (answer)
            return Result<Response, RequestError>::success(std::move(*answer));
        return Result<Response, RequestError>::failure(
            { cancelled ? RequestError::Cancelled : *closedKind, std::string(), 0 });
    }
};

PortalConnection::PortalConnection()
    : m_impl(std::make_unique<Impl>())
{
}

Result<std::unique_ptr<PortalConnection>, std::string> PortalConnection::connect(const PortalAddress& address)
{
    using Connected = Result<std::unique_ptr<PortalConnection>, std::string>;
    if (address.busAddress.empty() && !sessionBusKnown())
        return Connected::failure("there is no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
    std::unique_ptr<PortalConnection> connection(new PortalConnection);
    Impl& d = *connection->m_impl;
    d.address = address;
    d.service = QString::fromStdString(address.service);
    d.connectionName = QStringLiteral("corvex-portal-%1").arg(++connectionCounter);
    QDBusConnection bus = address.busAddress.empty()
        ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, d.connectionName)
        : QDBusConnection::connectToBus(QString::fromStdString(address.busAddress), d.connectionName);
    d.bus = bus;
    if (!bus.isConnected())
        return Connected::failure(bus.lastError().message().toStdString());
    d.sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));

    d.relay = new PortalRelay;
    d.relay->response = [&d](const QString& path, std::uint32_t code, const QVariantMap& results) {
        std::lock_guard lock(d.mutex);
        d.responses[path] = { code, results };
        d.changed.notify_all();
    };
    d.relay->closed = [&d](RequestError::Kind kind) { d.markClosed(kind); };
    auto* watcher = new QDBusServiceWatcher(d.service, bus, QDBusServiceWatcher::WatchForUnregistration, d.relay);
    QObject::connect(watcher, &QDBusServiceWatcher::serviceUnregistered, d.relay, &PortalRelay::onServiceUnregistered);
    d.relay->moveToThread(&d.thread);
    d.thread.setObjectName(QStringLiteral("app.corvex.portal"));
    d.thread.start();
    return Connected::success(std::move(connection));
}

PortalConnection::~PortalConnection()
{
    Impl& d = *m_impl;
    if (d.bus && d.bus->isConnected())
        closeSession();
    d.thread.quit();
    d.thread.wait();
    delete d.relay; // its thread has ended
    d.bus.reset();
    QDBusConnection::disconnectFromBus(d.connectionName);
}

const PortalAddress& PortalConnection::address() const
{
    return m_impl->address;
}

bool PortalConnection::isRegistered()
{
    const QDBusReply<bool> registered = m_impl->bus->interface()->isServiceRegistered(m_impl->service);
    return registered.isValid() && registered.value();
}

std::optional<std::uint32_t> PortalConnection::unsignedProperty(const QString& interface, const char* name)
{
    const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
        { interface, QString::fromLatin1(name) });
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return unsignedValue(reply.arguments().at(0));
}

QDBusMessage PortalConnection::call(const QString& interface, const QString& method, const QList<QVariant>& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(m_impl->service, kDesktopPath, interface, method);
    message.setArguments(arguments);
    return m_impl->bus->call(message, QDBus::Block, kCallTimeoutMs);
}

bool PortalConnection::connectSignal(const QString& interface, const QString& name, QObject* receiver, const char* slot)
{
    return m_impl->bus->connect(m_impl->service, kDesktopPath, interface, name, receiver, slot);
}

Result<PortalResults, RequestError> PortalConnection::request(
    const QString& interface, const QString& method, QList<QVariant> arguments, QVariantMap options)
{
    using Answered = Result<PortalResults, RequestError>;
    Impl& d = *m_impl;
    const QString token = QStringLiteral("corvex%1_%2").arg(::getpid()).arg(++d.requests);
    const QString path = kDesktopPath + QStringLiteral("/request/") + d.sender + QLatin1Char('/') + token;
    options.insert(QStringLiteral("handle_token"), token);
    // Subscribed before the call, so an answer that comes at once is not missed.
    d.listen(path, true);
    arguments.append(options);
    const QDBusMessage reply = call(interface, method, arguments);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        d.listen(path, false);
        return Answered::failure({ RequestError::Refused, reply.errorMessage().toStdString(), 0 });
    }
    const QString handle = reply.arguments().isEmpty() ? QString() : textValue(reply.arguments().at(0));
    const bool ownHandle = !handle.isEmpty() && handle != path;
    if (ownHandle)
        d.listen(handle, true); // portals before version 0.9 chose their own path: listen there too
    Result<Impl::Response, RequestError> answer = d.await(path, handle);
    d.listen(path, false);
    if (ownHandle)
        d.listen(handle, false);
    if (!answer) {
        if (answer.error.kind == RequestError::Cancelled && !handle.isEmpty()) {
            // Takes the dialog away.
            d.bus->call(QDBusMessage::createMethodCall(d.service, handle, kRequest, QStringLiteral("Close")),
                QDBus::NoBlock);
        }
        return Answered::failure(std::move(answer.error));
    }
    switch (answer.value->code) {
    case 0:
        return Answered::success(std::move(answer.value->results));
    case 1:
        return Answered::failure({ RequestError::CancelledByUser, std::string(), 1 });
    default:
        return Answered::failure({ RequestError::Failed,
            answer.value->results.value(QStringLiteral("error")).toString().toStdString(), answer.value->code });
    }
}

Result<QString, RequestError> PortalConnection::createSession(const QString& interface, QVariantMap options)
{
    Impl& d = *m_impl;
    options.insert(
        QStringLiteral("session_handle_token"), QStringLiteral("corvexsession%1_%2").arg(::getpid()).arg(++d.sessions));
    Result<PortalResults, RequestError> created = request(interface, QStringLiteral("CreateSession"), {}, options);
    if (!created)
        return Result<QString, RequestError>::failure(std::move(created.error));
    d.session = textValue(created.value->value(QStringLiteral("session_handle")));
    if (d.session.isEmpty())
        return Result<QString, RequestError>::failure({ RequestError::Failed, "it named no session", 0 });
    d.bus->connect(d.service, d.session, kSession, QStringLiteral("Closed"), d.relay,
        SLOT(onSessionClosed(QDBusMessage)));
    return Result<QString, RequestError>::success(d.session);
}

QString PortalConnection::session() const
{
    return m_impl->session;
}

void PortalConnection::closeSession()
{
    Impl& d = *m_impl;
    if (d.session.isEmpty())
        return;
    {
        // Our own Close is no news to anyone.
        std::lock_guard lock(d.mutex);
        d.closedTold = true;
    }
    d.bus->disconnect(
        d.service, d.session, kSession, QStringLiteral("Closed"), d.relay, SLOT(onSessionClosed(QDBusMessage)));
    d.bus->call(QDBusMessage::createMethodCall(d.service, d.session, kSession, QStringLiteral("Close")), QDBus::NoBlock);
    d.session.clear();
    {
        // The next session starts with a clean slate: its own end must be told
        // (a new choice in the desktop's dialog, or a token that failed, opens one).
        std::lock_guard lock(d.mutex);
        d.closedKind.reset();
        d.closedTold = false;
    }
}

void PortalConnection::setClosedHandler(std::function<void(RequestError::Kind)> handler)
{
    std::optional<RequestError::Kind> already;
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->closedHandler = handler;
        if (m_impl->closedKind && !m_impl->closedTold) {
            m_impl->closedTold = true;
            already = m_impl->closedKind;
        }
    }
    if (already && handler)
        handler(*already);
}

void PortalConnection::cancel()
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->cancelled = true;
    m_impl->changed.notify_all();
}

} // namespace corvex::screencapture::portal

#include "portal_connection.moc"
