#include "preview_link/udp_client.h"

#include "platform/dnssd/browser.h"
#include "platform/dnssd/resolver.h"
#include "platform/net/udp_connection.h"
#include "preview_link/host_port.h"
#include "preview_link/preview_link_log.h"

#include <QHostAddress>
#include <QMetaObject>

#include <optional>

namespace corvex::preview_link {

UDPClient::UDPClient(const QString& serviceType, QObject* parent)
    : QObject(parent)
    , m_serviceType(serviceType)
    , m_browser(new dnssd::Browser(this))
{
    connect(m_browser, &dnssd::Browser::serviceFound, this, &UDPClient::serviceFound);
}

UDPClient::~UDPClient() = default;

void UDPClient::startDiscovery()
{
    m_browser->stop();
    m_discoveredServices.clear();
    Q_EMIT discoveredServicesChanged();
    // When DNS-SD is unavailable the reason has been logged once; the list stays empty.
    static_cast<void>(m_browser->start(m_serviceType, QStringLiteral("local.")));
    qCInfo(lcPreviewLink, "🔍 Starting new discovery: %s", qPrintable(m_serviceType));
}

void UDPClient::serviceFound(const DiscoveredService& service)
{
    for (const DiscoveredService& known : std::as_const(m_discoveredServices)) {
        if (known.name == service.name)
            return;
    }
    m_discoveredServices.append(service);
    qCInfo(lcPreviewLink, "Discovered service: %s", qPrintable(service.name));
    Q_EMIT discoveredServicesChanged();
}

void UDPClient::send(const QByteArray& data, const DiscoveredService& service)
{
    std::shared_ptr<net::UdpConnection> connection;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_connections.constFind(service.name);
        if (it != m_connections.constEnd())
            connection = it.value();
        else
            m_pendingData.insert(service.name, data); // the newest message replaces a waiting one
    }
    if (connection) {
        const std::optional<net::SocketError> error = sendLogged(data, *connection);
        std::lock_guard lock(m_mutex);
        noteSendOutcomeLocked(service.name, error);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, service] { requestResolution(service); }, Qt::QueuedConnection);
}

bool UDPClient::hasPendingData(const QString& name)
{
    std::lock_guard lock(m_mutex);
    return m_pendingData.contains(name);
}

std::optional<net::SocketError> UDPClient::sendLogged(const QByteArray& data, net::UdpConnection& connection)
{
    std::optional<net::SocketError> error = connection.send(data);
    if (error)
        qCCritical(lcPreviewLink, "❌ Send error: %s", qPrintable(error->description()));
    return error;
}

void UDPClient::noteSendOutcomeLocked(const QString& name, const std::optional<net::SocketError>& error)
{
    // Most sends succeed with nothing on record: one lookup in an empty table.
    const auto it = m_sendErrors.find(name);
    QString change;
    if (!error) {
        if (it == m_sendErrors.end())
            return;
        m_sendErrors.erase(it);
    } else {
        if (it != m_sendErrors.end() && it.value() == error->code)
            return;
        m_sendErrors.insert(name, error->code);
        change = error->description();
    }
    // Called from the sending thread: the windows hear it on theirs.
    QMetaObject::invokeMethod(
        this, [this, name, change] { Q_EMIT sendProblemChanged(name, change); }, Qt::QueuedConnection);
}

void UDPClient::requestResolution(const DiscoveredService& service)
{
    dnssd::Resolver*& resolver = m_resolvers[service.name];
    if (!resolver) {
        resolver = new dnssd::Resolver(this);
        connect(resolver, &dnssd::Resolver::resolved, this, &UDPClient::serviceDidResolveAddress);
        connect(
            resolver, &dnssd::Resolver::failed, this, [this](const DiscoveredService& failed, const QString& reason) {
                // The next send asks again, possibly for every frame: say each new reason once.
                QString& last = m_lastResolveFailure[failed.name];
                if (last == reason)
                    return;
                last = reason;
                m_failedEndpoints.insert(failed.name, {}); // reached anywhere next, it is back
                qCInfo(lcPreviewLink, "Could not resolve %s: %s; the next message tries again", qPrintable(failed.name),
                    qPrintable(reason));
                Q_EMIT receiverFailed(failed.name, reason);
            });
    }
    // Frames come faster than a resolution can finish: let the running one
    // finish (or time out) rather than restart it on every frame. Its result
    // carries whichever message is waiting by then.
    if (!resolver->isResolving())
        resolver->resolve(service);
}

void UDPClient::serviceDidResolveAddress(const DiscoveredService& service, const QList<dnssd::Address>& addresses)
{
    const QString name = service.name;
    m_lastResolveFailure.remove(name);
    if (addresses.isEmpty())
        return;
    const std::optional<HostPort> hostPort = firstIPv4HostPort(addresses);
    if (!hostPort)
        return;

    const std::uint32_t address = QHostAddress(hostPort->host).toIPv4Address();
    {
        std::lock_guard lock(m_mutex);
        std::shared_ptr<net::UdpConnection> connection = m_connections.value(name);
        // A service may answer more than once (one answer per address family). A
        // working connection to the same endpoint is kept: a fresh one would lose
        // the errors that are already on their way back to it.
        if (!connection || connection->address() != address || connection->port() != hostPort->port
            || connection->state() == net::UdpConnection::State::Failed) {
            connection = net::UdpConnection::makeShared(address, hostPort->port);
            const net::UdpConnection* raw = connection.get();
            connect(connection.get(), &net::UdpConnection::failed, this,
                [this, name, raw](const net::SocketError& error) { connectionFailed(name, raw, error); });
            connection->start();
            m_connections.insert(name, connection);
        }
        // Sent under the lock so that no newer message from a sending thread can
        // overtake the one that waited.
        if (const auto it = m_pendingData.constFind(name); it != m_pendingData.constEnd()) {
            const std::optional<net::SocketError> error = sendLogged(it.value(), *connection);
            m_pendingData.erase(it);
            noteSendOutcomeLocked(name, error);
        }
    }
    // The same endpoint again is the receiver that failed, still gone (its
    // announcement outlives it for a while); another is the receiver restarted.
    const auto failed = m_failedEndpoints.constFind(name);
    if (failed != m_failedEndpoints.constEnd() && failed.value() != std::pair(address, hostPort->port)) {
        m_failedEndpoints.erase(failed);
        Q_EMIT receiverBack(name);
    }
}

void UDPClient::connectionFailed(
    const QString& name, const net::UdpConnection* connection, const net::SocketError& error)
{
    qCCritical(lcPreviewLink, "❌ Connection to %s failed: %s", qPrintable(name), qPrintable(error.description()));
    {
        std::lock_guard lock(m_mutex);
        // A connection replaced in the meantime (the receiver was found again)
        // speaks for an endpoint no longer used: its failure neither takes its
        // successor with it nor marks a receiver that answers now.
        const auto it = m_connections.constFind(name);
        if (it != m_connections.constEnd() && it.value().get() != connection)
            return;
        if (it != m_connections.constEnd())
            m_connections.erase(it);
    }
    m_failedEndpoints.insert(name, { connection->address(), connection->port() });
    Q_EMIT receiverFailed(name, error.description());
}

} // namespace corvex::preview_link
