#include "platform/net/udp_connection.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvex::net {

UdpConnection::UdpConnection(std::uint32_t address, std::uint16_t port, QObject* parent)
    : QObject(parent)
    , m_address(address)
    , m_port(port)
{
}

UdpConnection::~UdpConnection()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

std::shared_ptr<UdpConnection> UdpConnection::makeShared(std::uint32_t address, std::uint16_t port)
{
    // The last owner may be a capture thread; the notifier must die on our thread.
    return std::shared_ptr<UdpConnection>(
        new UdpConnection(address, port), [](UdpConnection* connection) { connection->deleteLater(); });
}

void UdpConnection::start()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(SocketError { errno });
        return;
    }
    sockaddr_in peer {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(m_port);
    peer.sin_addr.s_addr = htonl(m_address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        const int error = errno;
        ::close(fd);
        fail(SocketError { error });
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_fd = fd;
        if (m_state == State::Setup)
            m_state = State::Ready;
    }
    // Errors that the network reports back (ICMP) make the socket readable.
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpConnection::readPendingError);
}

std::optional<SocketError> UdpConnection::send(QByteArrayView datagram)
{
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Ready)
            return SocketError { m_state == State::Failed ? ECONNREFUSED : ENOTCONN };
        fd = m_fd;
    }
    // The descriptor stays open while a caller holds the connection, so using it
    // outside the lock is safe; only the owner's thread closes it, in the destructor.
    if (::send(fd, datagram.data(), static_cast<std::size_t>(datagram.size()), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
        return std::nullopt;
    const SocketError error { errno };
    if (error.code == ECONNREFUSED || error.code == EHOSTUNREACH || error.code == ENETUNREACH)
        fail(error);
    return error;
}

UdpConnection::State UdpConnection::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

QString UdpConnection::endpointText() const
{
    return QStringLiteral("%1:%2").arg(QHostAddress(m_address).toString()).arg(m_port);
}

void UdpConnection::readPendingError()
{
    // We never expect data; anything readable is either a stray datagram
    // (drained) or an error the kernel queued for the socket.
    char buffer[512];
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            fail(SocketError { errno });
        return;
    }
}

void UdpConnection::fail(SocketError error)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Failed)
            return;
        m_state = State::Failed;
    }
    // Always queued, so that the owner hears of it on its own thread and never
    // from inside its own call to send or start.
    QMetaObject::invokeMethod(
        this,
        [this, error] {
            if (m_notifier)
                m_notifier->setEnabled(false);
            Q_EMIT failed(error);
        },
        Qt::QueuedConnection);
}

} // namespace corvex::net
