#pragma once

#include "platform/net/socket_error.h"

#include <QByteArrayView>
#include <QObject>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class QSocketNotifier;

namespace corvex::net {

/// A UDP socket connected to one IPv4 address and port.
///
/// `send` may be called from any thread and never blocks: the socket is
/// non-blocking and a datagram that cannot be queued at once is reported as a
/// send error and dropped. The owner's thread (the one the object lives on)
/// watches the socket for errors that the network reports back, such as an ICMP
/// "port unreachable" (ECONNREFUSED); such an error, whether it is seen there
/// or by a send, fails the connection once and `failed` is emitted on the
/// owner's thread.
///
/// Connections may be shared with other threads through `makeShared`, whose
/// deleter hands the object back to its own thread for destruction.
class UdpConnection final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpConnection)

public:
    enum class State { Setup, Ready, Failed };

    /// `address` is in host byte order (127.0.0.1 is 0x7f000001).
    UdpConnection(std::uint32_t address, std::uint16_t port, QObject* parent = nullptr);
    ~UdpConnection() override;

    /// A connection owned by a shared pointer that can be released on any thread.
    static std::shared_ptr<UdpConnection> makeShared(std::uint32_t address, std::uint16_t port);

    /// Opens and connects the socket; call on the owner's thread. A socket that
    /// cannot be opened fails the connection (queued, like any other failure).
    void start();

    /// Sends one datagram. Thread-safe and non-blocking; no result means it was
    /// handed to the kernel.
    std::optional<SocketError> send(QByteArrayView datagram);

    State state() const;
    std::uint32_t address() const { return m_address; }
    std::uint16_t port() const { return m_port; }
    /// "127.0.0.1:5000".
    QString endpointText() const;

Q_SIGNALS:
    /// Emitted once, on the owner's thread, when the connection fails.
    void failed(const corvex::net::SocketError& error);

private:
    void readPendingError();
    void fail(SocketError error);

    const std::uint32_t m_address;
    const std::uint16_t m_port;
    mutable std::mutex m_mutex; // guards m_state; m_fd is set once in start()
    State m_state = State::Setup;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace corvex::net
