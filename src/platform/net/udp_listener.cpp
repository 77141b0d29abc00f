#include "platform/net/udp_listener.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvex::net {

namespace {

constexpr qsizetype kLargestDatagram = 65536;
// Bounds the work of one wake-up so that a flood cannot starve the event loop.
constexpr int kDatagramsPerWakeUp = 256;

} // namespace

UdpListener::UdpListener(QObject* parent)
    : QObject(parent)
{
}

UdpListener::~UdpListener()
{
    close();
}

std::optional<SocketError> UdpListener::listen(std::uint16_t port, bool loopbackOnly)
{
    close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return SocketError { errno };
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const SocketError error { errno };
        ::close(fd);
        return error;
    }
    m_fd = fd;
    m_port = ntohs(local.sin_port);
    m_buffer.resize(kLargestDatagram);
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpListener::readDatagrams);
    return std::nullopt;
}

void UdpListener::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_port = 0;
}

void UdpListener::readDatagrams()
{
    const QPointer<UdpListener> self(this);
    for (int i = 0; i < kDatagramsPerWakeUp; ++i) {
        const ssize_t n = ::recv(m_fd, m_buffer.data(), static_cast<std::size_t>(m_buffer.size()), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN, or an error that concerns no datagram of ours
        }
        Q_EMIT datagramReceived(QByteArray(m_buffer.constData(), static_cast<qsizetype>(n)));
        // A handler may have closed or deleted the listener.
        if (!self || m_fd < 0)
            return;
    }
}

} // namespace corvex::net
