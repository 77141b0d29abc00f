#pragma once

#include "http_server.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace corvex::reference {

/// What all connections share: the service, the limits, and the memory that
/// request bodies in flight may take together.
class ConnectionContext final {
public:
    ConnectionContext(HttpServer::Handler& handler, HttpLimits limits)
        : handler(handler)
        , limits(std::move(limits))
    {
    }

    /// Takes `bytes` from the budget; false (and nothing taken) when it has not that much left.
    bool reserveBody(qint64 bytes);
    void releaseBody(qint64 bytes);

    HttpServer::Handler& handler;
    const HttpLimits limits;

private:
    std::atomic<qint64> m_bodyBytes { 0 };
};

/// One client connection: reads one request at a time, hands it to the
/// service, writes the answer, and only then reads the next one. Ends when
/// asked to, when the client is too slow, or when a request cannot be read
/// safely. Runs on a strand of its own.
class HttpConnection final {
public:
    using Clock = std::chrono::steady_clock;

    /// `peer` is the connection's peer; `closed` is called when it ends.
    HttpConnection(ConnectionContext& context, boost::asio::ip::tcp::socket socket, QHostAddress peer,
        std::function<void()> closed);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    static void start(std::shared_ptr<HttpConnection> connection);

private:
    struct Exchange;

    boost::asio::awaitable<void> serve(std::shared_ptr<HttpConnection> self);
    boost::asio::awaitable<void> watch(std::shared_ptr<HttpConnection> self);
    /// The length of the next request's head once it is in the buffer; none
    /// when the connection is over (closed, or refused with an answer).
    boost::asio::awaitable<std::optional<std::size_t>> readHead();
    boost::asio::awaitable<bool> exchange(std::size_t headLength);
    boost::asio::awaitable<bool> write(const QByteArray& bytes);
    /// Answers and ends the connection: the rest of the request is not read.
    boost::asio::awaitable<void> refuse(HttpResponse response, const HttpRequest* request = nullptr);
    boost::asio::awaitable<void> refuse(int status, const char* message);
    /// Lets the client read what was sent: half-closes, then reads and drops
    /// what still comes, for a little while.
    boost::asio::awaitable<void> finish();
    void setDeadline(Clock::time_point deadline);
    QHostAddress clientAddress(const HttpRequest& request) const;

    ConnectionContext& m_context;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    Clock::time_point m_deadline = Clock::time_point::max();
    bool m_timedOut = false;
    Clock::time_point m_requestStart;
    boost::beast::flat_buffer m_buffer;
    QHostAddress m_peer;
    std::function<void()> m_closed;
};

} // namespace corvex::reference
