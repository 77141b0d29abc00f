#include "http_server.h"

#include "http_connection.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <QHash>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace corvex::reference {

namespace net = boost::asio;
using boost::system::error_code;
using tcp = net::ip::tcp;

namespace {

constexpr auto kFirstBackoff = std::chrono::milliseconds(50);
constexpr auto kMaxBackoff = std::chrono::milliseconds(2000);
constexpr int kSendBuffer = 256 * 1024;

QHostAddress toQt(const net::ip::address& address)
{
    if (address.is_v4())
        return QHostAddress(address.to_v4().to_uint());
    const auto bytes = address.to_v6().to_bytes();
    QHostAddress converted(bytes.data());
    // An IPv4 client of a dual-stack socket is that IPv4 address.
    bool isV4 = false;
    const quint32 v4 = converted.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : converted;
}

void logLine(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

} // namespace

QByteArray HttpRequest::value(QByteArrayView name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

qsizetype HttpRequest::count(QByteArrayView name) const
{
    return std::count_if(headers.begin(), headers.end(),
        [name](const auto& header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
}

struct HttpServer::Impl {
    Impl(Handler& handler, HttpLimits limits)
        : context(handler, std::move(limits))
    {
    }

    net::awaitable<void> acceptLoop();
    net::awaitable<void> refuseConnection(tcp::socket socket);
    void connectionClosed(const QHostAddress& peer);
    bool exemptFromAddressCap(const QHostAddress& peer) const
    {
        return !context.limits.trustedProxy.isNull()
            && peer.isEqual(context.limits.trustedProxy, QHostAddress::TolerantConversion);
    }

    // Connections still open when the server goes end as the io_context is
    // destroyed, and tell connectionClosed: what they use is declared before
    // it, so that it outlives them.
    ConnectionContext context;
    std::mutex mutex;
    int connections = 0;
    QHash<QString, int> perAddress;
    bool closing = false; // no slot is waited for any more

    net::io_context io;
    net::strand<net::io_context::executor_type> acceptStrand = net::make_strand(io);
    tcp::acceptor acceptor { acceptStrand };
    net::steady_timer slotFreed { acceptStrand };
    net::signal_set signals { io, SIGINT, SIGTERM };

    ~Impl()
    {
        const std::lock_guard lock(mutex);
        closing = true;
    }
};

HttpServer::HttpServer(Handler& handler, HttpLimits limits)
    : m(std::make_unique<Impl>(handler, std::move(limits)))
{
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const QHostAddress& address, quint16 port, QString& error)
{
    error_code ec;
    const auto ip = net::ip::make_address(address.toString().toStdString(), ec);
    const tcp::endpoint endpoint(ip, port);
    if (!ec)
        m->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        m->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        m->acceptor.bind(endpoint, ec);
    if (!ec)
        m->acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        error = QString::fromStdString(ec.message());
    return !ec;
}

quint16 HttpServer::port() const
{
    error_code ec;
    return m->acceptor.local_endpoint(ec).port();
}

void HttpServer::run(int threads)
{
    m->signals.async_wait([this](const error_code& ec, int) {
        if (!ec)
            stop();
    });
    net::co_spawn(m->acceptStrand, m->acceptLoop(), net::detached);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i)
        pool.emplace_back([this] { m->io.run(); });
    m->io.run();
    for (std::thread& thread : pool)
        thread.join();
}

void HttpServer::stop()
{
    m->io.stop();
}

net::awaitable<void> HttpServer::Impl::acceptLoop()
{
    auto backoff = std::chrono::milliseconds(0);
    net::steady_timer pause(acceptStrand);
    for (;;) {
        // At the cap, further clients wait in the listen queue, costing nothing.
        for (;;) {
            {
                const std::lock_guard lock(mutex);
                if (connections < context.limits.maxConnections)
                    break;
            }
            slotFreed.expires_at(net::steady_timer::time_point::max());
            error_code ignored;
            co_await slotFreed.async_wait(net::redirect_error(net::use_awaitable, ignored));
        }
        error_code ec;
        tcp::socket socket
            = co_await acceptor.async_accept(net::make_strand(io), net::redirect_error(net::use_awaitable, ec));
        if (ec == net::error::operation_aborted || !acceptor.is_open())
            co_return;
        if (ec) {
            // Out of descriptors, most likely: accepting again at once would
            // fail again at once, so wait, longer each time, until one succeeds.
            backoff = backoff.count() == 0 ? kFirstBackoff : std::min(backoff * 2, kMaxBackoff);
            if (backoff == kFirstBackoff || backoff == kMaxBackoff)
                logLine("corvex-service: cannot accept connections (" + QByteArray::fromStdString(ec.message())
                    + "); trying again in " + QByteArray::number(qint64(backoff.count())) + " ms\n");
            pause.expires_after(backoff);
            co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
            continue;
        }
        backoff = std::chrono::milliseconds(0);
        // Answers wait in the kernel for a client that does not read; this
        // much at most (instead of megabytes each).
        socket.set_option(net::socket_base::send_buffer_size(kSendBuffer), ec);
        const QHostAddress peer = toQt(socket.remote_endpoint(ec).address());
        bool admitted = true;
        {
            const std::lock_guard lock(mutex);
            int& fromPeer = perAddress[peer.toString()];
            if (fromPeer >= context.limits.maxConnectionsPerAddress && !exemptFromAddressCap(peer)) {
                admitted = false;
            } else {
                ++fromPeer;
                ++connections;
            }
        }
        if (!admitted) {
            net::co_spawn(socket.get_executor(), refuseConnection(std::move(socket)), net::detached);
            continue;
        }
        HttpConnection::start(std::make_shared<HttpConnection>(
            context, std::move(socket), peer, [this, peer] { connectionClosed(peer); }));
    }
}

void HttpServer::Impl::connectionClosed(const QHostAddress& peer)
{
    {
        const std::lock_guard lock(mutex);
        --connections;
        const auto found = perAddress.find(peer.toString());
        if (found != perAddress.end() && --found.value() <= 0)
            perAddress.erase(found);
        if (closing)
            return; // the accepting loop and its strand are gone
    }
    net::post(acceptStrand, [this] { slotFreed.cancel(); });
}

net::awaitable<void> HttpServer::Impl::refuseConnection(tcp::socket socket)
{
    // One address holds as many connections as it may: this one is told so
    // at once, without its request being read.
    static const QByteArray body = "{\"error\":\"too many connections from your address; close some and try again\"}";
    static const QByteArray answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                     "Content-Length: "
        + QByteArray::number(body.size()) + "\r\nRetry-After: 5\r\nConnection: close\r\n\r\n" + body;
    net::steady_timer limit(socket.get_executor());
    limit.expires_after(std::chrono::seconds(2));
    limit.async_wait([&socket](const error_code& ec) {
        if (!ec) {
            error_code ignored;
            socket.cancel(ignored);
        }
    });
    error_code ec;
    co_await net::async_write(socket, net::buffer(answer.constData(), static_cast<std::size_t>(answer.size())),
        net::redirect_error(net::use_awaitable, ec));
    limit.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
}

} // namespace corvex::reference
