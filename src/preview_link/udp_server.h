#pragma once

#include "platform/net/socket_error.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace corvex::dnssd {
class Publisher;
} // namespace corvex::dnssd

namespace corvex::net {
class UdpListener;
} // namespace corvex::net

namespace corvex::preview_link {

/// A light receiver: a UDP listener announced by DNS-SD that hands the content
/// of every datagram to `dataHandler`, on the thread it lives on.
class UDPServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UDPServer)

public:
    UDPServer(const QString& serviceType, const QString& serviceName, QObject* parent = nullptr);
    ~UDPServer() override;

    /// Binds the listener to `port` on every IPv4 interface (0 lets the system
    /// choose) and announces the service on it in "local.". The outcome of the
    /// announcement comes later, as `published` or `publishFailed`.
    std::optional<net::SocketError> start(std::uint16_t port = 0);
    /// Withdraws the announcement and closes the listener.
    void stop();

    /// The bound port while running.
    std::optional<std::uint16_t> port() const { return m_port; }
    QString serviceType() const { return m_serviceType; }
    QString serviceName() const { return m_serviceName; }

    /// Receives the content of each datagram.
    std::function<void(const QByteArray&)> dataHandler;

    /// The announcement succeeded / failed (GUI thread).
    void serviceDidPublish(const QString& name, const QString& type);
    void serviceDidNotPublish(const QMap<QString, QString>& errorDict);

Q_SIGNALS:
    void portChanged();
    void published();
    void publishFailed(const QString& reason);

private:
    const QString m_serviceType;
    const QString m_serviceName;
    net::UdpListener* m_listener = nullptr;
    dnssd::Publisher* m_service = nullptr;
    std::optional<std::uint16_t> m_port;
};

} // namespace corvex::preview_link
