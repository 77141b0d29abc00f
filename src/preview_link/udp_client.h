#pragma once

#include "platform/dnssd/service_record.h"
#include "platform/net/socket_error.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace corvex::dnssd {
class Browser;
class Resolver;
} // namespace corvex::dnssd

namespace corvex::net {
class UdpConnection;
} // namespace corvex::net

namespace corvex::preview_link {

/// A light receiver as discovery found it; its name identifies it.
using DiscoveredService = dnssd::ServiceRecord;

/// Finds light receivers of one DNS-SD service type in "local." and sends
/// messages to them, one UDP datagram each.
///
/// A receiver is resolved on the first send to it; until its address is known,
/// only the newest message waits for it. Then one connection per receiver
/// carries every message; when a connection fails it is dropped and the next
/// send resolves the receiver again. Nothing is retried or acknowledged.
///
/// The object lives on the GUI thread, where discovery, resolution and
/// connection failures are handled. `send` may be called from any thread.
class UDPClient final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UDPClient)

public:
    explicit UDPClient(const QString& serviceType, QObject* parent = nullptr);
    ~UDPClient() override;

    /// Receivers found since the last `startDiscovery`, in the order found, one per name.
    QList<DiscoveredService> discoveredServices() const { return m_discoveredServices; }
    QString serviceType() const { return m_serviceType; }

    /// Empties the list and searches again. Open connections and waiting
    /// messages are kept.
    void startDiscovery();

    /// Sends one message to a receiver; failures are logged, never returned.
    /// Thread-safe, and it never waits for the network.
    void send(const QByteArray& data, const DiscoveredService& service);
    /// Whether a message for the receiver of this name still waits for its
    /// resolution. Thread-safe.
    bool hasPendingData(const QString& name);

    /// The browser found a service (GUI thread).
    void serviceFound(const DiscoveredService& service);
    /// A service resolved to these addresses (GUI thread).
    void serviceDidResolveAddress(const DiscoveredService& service, const QList<dnssd::Address>& addresses);

Q_SIGNALS:
    void discoveredServicesChanged();
    /// A receiver stopped answering (its connection failed, or it could no
    /// longer be resolved), for the windows to show. GUI thread.
    void receiverFailed(const QString& name, const QString& reason);
    /// Datagrams to a receiver began to fail for a new reason (`reason` says
    /// which), or go out again after failing (`reason` empty). Only changes
    /// are signalled, not every frame. GUI thread.
    void sendProblemChanged(const QString& name, const QString& reason);
    /// A receiver that failed is announced again at another address or port
    /// (it was restarted, say) and reached there: it counts as answering until
    /// it fails again. GUI thread.
    void receiverBack(const QString& name);

private:
    std::optional<net::SocketError> sendLogged(const QByteArray& data, net::UdpConnection& connection);
    /// Keeps the last send error per receiver and signals its changes. Holds m_mutex.
    void noteSendOutcomeLocked(const QString& name, const std::optional<net::SocketError>& error);
    void requestResolution(const DiscoveredService& service);
    void connectionFailed(const QString& name, const net::UdpConnection* connection, const net::SocketError& error);

    const QString m_serviceType;
    QList<DiscoveredService> m_discoveredServices;
    dnssd::Browser* m_browser = nullptr;
    QHash<QString, dnssd::Resolver*> m_resolvers; // GUI thread only
    QHash<QString, std::pair<std::uint32_t, std::uint16_t>> m_failedEndpoints; // GUI thread only
    QHash<QString, QString> m_lastResolveFailure; // GUI thread only

    // Shared with the threads that send: every access to the two maps holds the mutex.
    std::mutex m_mutex;
    QHash<QString, QByteArray> m_pendingData;
    QHash<QString, std::shared_ptr<net::UdpConnection>> m_connections;
    QHash<QString, int> m_sendErrors; // the last send's error code, only for receivers whose last send failed
};

} // namespace corvex::preview_link
