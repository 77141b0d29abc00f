#include "http_connection.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include <QRegularExpression>

#include <array>
#include <limits>
#include <string_view>

namespace corvex::reference {

namespace net = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// After refusing a request whose body we will not read, we keep reading (and
// dropping) for a while so that the client sees our answer instead of a
// reset; this much at most.
constexpr std::size_t kMaxDrainBytes = 1024 * 1024;
constexpr auto kDrainTime = std::chrono::seconds(2);

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

HttpResponse problem(int status, const char* message)
{
    return { status, QByteArray("{\"error\":\"") + message + "\"}", QByteArrayLiteral("application/json"), {} };
}

QByteArray serialise(const HttpResponse& response, bool keepAlive)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
        + "\r\nContent-Type: " + response.contentType
        + "\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    if (!keepAlive)
        out += "Connection: close\r\n";
    return out + "\r\n" + response.body;
}

// What the parser lets through but two readers of the same bytes could see
// differently: line ends other than CR LF, and folded header lines.
const char* headProblem(std::string_view head)
{
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] != '\n')
            continue;
        if (i == 0 || head[i - 1] != '\r')
            return "lines must end with CR LF";
        if (i + 1 < head.size() && (head[i + 1] == ' ' || head[i + 1] == '\t'))
            return "folded header lines are not accepted";
    }
    return nullptr;
}

// A request line of another HTTP version, rather than no request line at all.
bool isRequestLine(std::string_view head)
{
    static const QRegularExpression requestLine(QStringLiteral("^[!-~]+ [!-~]+ HTTP/[0-9]\\.[0-9]\r\n"));
    return requestLine.match(QString::fromLatin1(head.data(), static_cast<qsizetype>(head.size()))).hasMatch();
}

bool hasToken(const QByteArray& list, QByteArrayView token)
{
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// Waits for a callback that may come from any thread, and continues on the
// coroutine's own executor. `start` is called at once.
template <typename T, typename Start> net::awaitable<T> awaitCallback(Start start)
{
    return net::async_initiate<const net::use_awaitable_t<>&, void(T)>(
        [start = std::move(start)](auto handler) mutable {
            using Handler = decltype(handler);
            auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
            auto once = std::make_shared<std::atomic_bool>(false);
            start([shared, once](T value) {
                if (once->exchange(true))
                    return;
                auto executor = net::get_associated_executor(**shared);
                net::post(executor, [shared, value = std::move(value)]() mutable {
                    Handler handler = std::move(**shared);
                    shared->reset();
                    std::move(handler)(std::move(value));
                });
            });
        },
        net::use_awaitable);
}

} // namespace

bool ConnectionContext::reserveBody(qint64 bytes)
{
    qint64 current = m_bodyBytes.load();
    do {
        if (current + bytes > limits.bodyBudgetBytes)
            return false;
    } while (!m_bodyBytes.compare_exchange_weak(current, current + bytes));
    return true;
}

void ConnectionContext::releaseBody(qint64 bytes)
{
    m_bodyBytes -= bytes;
}

/// One request on its way through: what was taken from the body budget is
/// given back when it goes.
struct HttpConnection::Exchange {
    explicit Exchange(ConnectionContext& context)
        : context(context)
    {
    }
    ~Exchange() { release(); }
    void release()
    {
        context.releaseBody(reserved);
        reserved = 0;
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    ConnectionContext& context;
    qint64 reserved = 0;
};

HttpConnection::HttpConnection(
    ConnectionContext& context, net::ip::tcp::socket socket, QHostAddress peer, std::function<void()> closed)
    : m_context(context)
    , m_socket(std::move(socket))
    , m_timer(m_socket.get_executor())
    , m_buffer(static_cast<std::size_t>(context.limits.maxHeadBytes) + kReadChunk)
    , m_peer(std::move(peer))
    , m_closed(std::move(closed))
{
}

HttpConnection::~HttpConnection()
{
    if (m_closed)
        m_closed();
}

void HttpConnection::start(std::shared_ptr<HttpConnection> connection)
{
    auto executor = connection->m_socket.get_executor();
    // Each coroutine holds the connection for as long as it runs.
    HttpConnection& self = *connection;
    net::co_spawn(executor, self.watch(connection), net::detached);
    net::co_spawn(executor, self.serve(std::move(connection)), net::detached);
}

void HttpConnection::setDeadline(Clock::time_point deadline)
{
    m_timedOut = false;
    m_deadline = deadline;
    m_timer.expires_at(deadline);
}

net::awaitable<void> HttpConnection::watch(std::shared_ptr<HttpConnection>)
{
    while (m_socket.is_open()) {
        m_timer.expires_at(m_deadline);
        error_code ec;
        co_await m_timer.async_wait(net::redirect_error(net::use_awaitable, ec));
        if (m_socket.is_open() && m_deadline <= Clock::now()) {
            // The operation under way ends with "aborted"; the connection
            // tells that from the client's own errors by this flag.
            m_timedOut = true;
            m_deadline = Clock::time_point::max();
            m_socket.cancel(ec);
        }
    }
}

net::awaitable<void> HttpConnection::serve(std::shared_ptr<HttpConnection>)
{
    for (;;) {
        // A connection that sends nothing is an idle one.
        setDeadline(Clock::now() + m_context.limits.requestTimeout);
        const std::optional<std::size_t> head = co_await readHead();
        if (!head)
            break;
        const bool keptAlive = co_await exchange(*head);
        if (!keptAlive)
            break;
    }
    error_code ignored;
    m_socket.close(ignored);
    m_timer.cancel();
}

net::awaitable<std::optional<std::size_t>> HttpConnection::readHead()
{
    const std::size_t maxHead = static_cast<std::size_t>(m_context.limits.maxHeadBytes);
    bool started = false;
    for (;;) {
        std::string_view seen(static_cast<const char*>(m_buffer.data().data()), m_buffer.size());
        // Empty lines between requests are allowed and ignored.
        while (seen.starts_with("\r\n")) {
            m_buffer.consume(2);
            seen.remove_prefix(2);
        }
        if (!seen.empty() && !started) {
            started = true;
            m_requestStart = Clock::now();
            setDeadline(Clock::now() + std::min(m_context.limits.headTimeout, m_context.limits.requestTimeout));
        }
        const std::size_t end = seen.find("\r\n\r\n");
        if (const char* problem = headProblem(seen.substr(0, end == std::string_view::npos ? seen.size() : end + 2))) {
            co_await refuse(400, problem);
            co_return std::nullopt;
        }
        if (end != std::string_view::npos && end + 4 <= maxHead)
            co_return end + 4;
        if (seen.size() > maxHead) {
            co_await refuse(431, "the request's head is too large");
            co_return std::nullopt;
        }
        error_code ec;
        const std::size_t room = std::min(kReadChunk, m_buffer.max_size() - m_buffer.size());
        const std::size_t read
            = co_await m_socket.async_read_some(m_buffer.prepare(room), net::redirect_error(net::use_awaitable, ec));
        if (ec) {
            if (m_timedOut && started)
                co_await refuse(408, "the request did not arrive in time");
            co_return std::nullopt;
        }
        m_buffer.commit(read);
    }
}

QHostAddress HttpConnection::clientAddress(const HttpRequest& request) const
{
    const HttpLimits& limits = m_context.limits;
    if (limits.trustedProxy.isNull() || !m_peer.isEqual(limits.trustedProxy, QHostAddress::TolerantConversion))
        return m_peer;
    // The proxy sets the header to the address it took the request from.
    const QList<QByteArray> hops = request.value("x-forwarded-for").split(',');
    const QHostAddress forwarded(QString::fromLatin1(hops.last().trimmed()));
    return forwarded.isNull() ? m_peer : forwarded;
}

net::awaitable<bool> HttpConnection::exchange(std::size_t headLength)
{
    const HttpLimits& limits = m_context.limits;
    http::request_parser<http::buffer_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(limits.maxHeadBytes));
    // Sizes are checked once the service said how large a body it takes.
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    error_code ec;
    const std::string_view head(static_cast<const char*>(m_buffer.data().data()), headLength);
    parser.put(net::buffer(head.data(), head.size()), ec);
    if (ec || !parser.is_header_done()) {
        const bool otherVersion = ec == http::error::bad_version && isRequestLine(head);
        co_await refuse(otherVersion ? 505 : 400,
            otherVersion ? "only HTTP/1.1 and HTTP/1.0 are spoken here" : "the request's head is malformed");
        co_return false;
    }
    m_buffer.consume(headLength);
    const auto& message = parser.get();

    HttpRequest request;
    request.method = QByteArray(message.method_string().data(), static_cast<qsizetype>(message.method_string().size()));
    request.target = QByteArray(message.target().data(), static_cast<qsizetype>(message.target().size()));
    for (const auto& field : message) {
        request.headers.append(qMakePair(
            QByteArray(field.name_string().data(), static_cast<qsizetype>(field.name_string().size())).toLower(),
            QByteArray(field.value().data(), static_cast<qsizetype>(field.value().size()))));
    }
    request.peer = clientAddress(request);

    if (message.version() != 11 && message.version() != 10) {
        co_await refuse(505, "only HTTP/1.1 and HTTP/1.0 are spoken here");
        co_return false;
    }
    if (!request.target.startsWith('/')) {
        co_await refuse(400, "the request line is not METHOD /path HTTP/1.1");
        co_return false;
    }
    // Which host a request is for must be plain: one Host header, and one
    // always in HTTP/1.1.
    const qsizetype hosts = request.count("host");
    if (hosts > 1 || (hosts == 0 && message.version() == 11)) {
        co_await refuse(400, "a request names exactly one Host");
        co_return false;
    }
    if (request.count("transfer-encoding") > 0) {
        if (message.version() == 10) {
            co_await refuse(400, "Transfer-Encoding is not HTTP/1.0");
            co_return false;
        }
        if (request.value("transfer-encoding").compare("chunked", Qt::CaseInsensitive) != 0) {
            co_await refuse(501, "only the chunked transfer coding is understood");
            co_return false;
        }
    }
    // The parser reads the Connection header's tokens ("close" among others, in any case).
    const bool keepAlive = message.version() == 11 && parser.keep_alive();

    HttpServer::Screening screening = co_await awaitCallback<HttpServer::Screening>(
        [this, &request](std::function<void(HttpServer::Screening)> done) {
            m_context.handler.screen(request, m_context.limits.maxBodyBytes, std::move(done));
        });
    if (screening.refusal) {
        co_await refuse(std::move(*screening.refusal), &request);
        co_return false;
    }
    const qint64 maxBody = std::min(screening.maxBodyBytes, limits.maxBodyBytes);
    parser.body_limit(static_cast<std::uint64_t>(maxBody)); // a chunk larger than that is refused as it is announced
    if (parser.content_length() && *parser.content_length() > static_cast<std::uint64_t>(maxBody)) {
        co_await refuse(413, "the body is too large");
        co_return false;
    }

    Exchange exchange(m_context);
    if (!parser.is_done()) {
        if (hasToken(request.value("expect"), "100-continue")) {
            const bool sent = co_await write("HTTP/1.1 100 Continue\r\n\r\n");
            if (!sent)
                co_return false;
        }
        setDeadline(m_requestStart + limits.requestTimeout);
        QByteArray& body = request.body;
        // Memory for the body is taken as it arrives, so that a client that
        // only announces a large body costs nothing; and never beyond what
        // the body may still hold, so that one as large as allowed takes no
        // more than its size.
        const qint64 most = parser.content_length() ? static_cast<qint64>(*parser.content_length()) : maxBody;
        while (!parser.is_done()) {
            if (exchange.reserved < std::min(body.size() + static_cast<qint64>(kReadChunk), most)) {
                const qint64 more = std::min(static_cast<qint64>(kReadChunk), most - exchange.reserved);
                if (!m_context.reserveBody(more)) {
                    exchange.release();
                    HttpResponse busy = problem(503, "the service is busy receiving other uploads; try again soon");
                    busy.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("5")));
                    co_await refuse(std::move(busy), &request);
                    co_return false;
                }
                exchange.reserved += more;
            }
            const qsizetype before = body.size();
            const qsizetype room = exchange.reserved - before;
            body.resize(before + room);
            parser.get().body().data = body.data() + before;
            parser.get().body().size = static_cast<std::size_t>(room);
            parser.get().body().more = true;
            co_await http::async_read_some(m_socket, m_buffer, parser, net::redirect_error(net::use_awaitable, ec));
            body.resize(before + room - static_cast<qsizetype>(parser.get().body().size));
            if (ec == http::error::need_buffer)
                ec = {};
            if (ec || body.size() > maxBody)
                exchange.release(); // while the refusal goes out, others may have the memory
            if (ec == http::error::body_limit || body.size() > maxBody) {
                co_await refuse(413, "the body is too large");
                co_return false;
            }
            if (ec) {
                if (m_timedOut)
                    co_await refuse(408, "the request did not arrive in time");
                else if (ec.category() == http::make_error_code(http::error::bad_chunk).category())
                    co_await refuse(400, "the body's framing is malformed");
                co_return false;
            }
        }
    }

    setDeadline(Clock::time_point::max());
    HttpRequest answeredRequest = request;
    answeredRequest.body.clear();
    // (The request is moved in the callback, which runs at once: a capture
    // that moved it out of the coroutine's frame would be copied by GCC 12.)
    HttpResponse response
        = co_await awaitCallback<HttpResponse>([this, &request](std::function<void(HttpResponse)> done) {
              m_context.handler.handle(std::move(request), std::move(done));
          });
    exchange.release(); // the service is done with the body
    const bool sent = co_await write(serialise(response, keepAlive));
    m_context.handler.answered(answeredRequest, response.status);
    if (!sent)
        co_return false;
    if (!keepAlive)
        co_await finish();
    co_return keepAlive;
}

net::awaitable<bool> HttpConnection::write(const QByteArray& bytes)
{
    // An answer the client does not read is given up on like a request that
    // does not arrive.
    const Clock::time_point previous = m_deadline;
    setDeadline(Clock::now() + m_context.limits.requestTimeout);
    error_code ec;
    co_await net::async_write(m_socket, net::buffer(bytes.constData(), static_cast<std::size_t>(bytes.size())),
        net::redirect_error(net::use_awaitable, ec));
    setDeadline(previous);
    co_return !ec;
}

net::awaitable<void> HttpConnection::refuse(int status, const char* message)
{
    co_await refuse(problem(status, message));
}

net::awaitable<void> HttpConnection::refuse(HttpResponse response, const HttpRequest* request)
{
    const bool sent = co_await write(serialise(response, false));
    if (request)
        m_context.handler.answered(*request, response.status);
    if (sent)
        co_await finish();
}

net::awaitable<void> HttpConnection::finish()
{
    error_code ec;
    m_socket.shutdown(net::ip::tcp::socket::shutdown_send, ec);
    setDeadline(Clock::now() + kDrainTime);
    std::size_t drained = 0;
    std::array<char, 16 * 1024> sink {};
    while (!ec && drained < kMaxDrainBytes) {
        drained += co_await m_socket.async_read_some(
            net::buffer(sink.data(), sink.size()), net::redirect_error(net::use_awaitable, ec));
    }
}

} // namespace corvex::reference
