#pragma once

#include "platform/net/socket_error.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <optional>

class QSocketNotifier;

namespace corvex::net {

/// A UDP socket bound to a port that emits every datagram it receives, on the
/// thread it lives on.
class UdpListener final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpListener)

public:
    explicit UdpListener(QObject* parent = nullptr);
    ~UdpListener() override;

    /// Binds to `port` (0 lets the system choose) on every IPv4 interface, or on
    /// the loopback interface only when `loopbackOnly`. Closes any earlier socket.
    std::optional<SocketError> listen(std::uint16_t port = 0, bool loopbackOnly = false);
    void close();

    bool isListening() const { return m_fd >= 0; }
    /// The bound port, 0 while not listening.
    std::uint16_t port() const { return m_port; }

Q_SIGNALS:
    void datagramReceived(const QByteArray& datagram);

private:
    void readDatagrams();

    int m_fd = -1;
    std::uint16_t m_port = 0;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_buffer;
};

} // namespace corvex::net
