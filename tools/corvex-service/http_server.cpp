#include "http_server.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <sys/socket.h>

namespace corvex::reference {

namespace {

constexpr int kMaxBackoffMs = 2000;
// After refusing a request whose body we will not read, we keep reading
// (and dropping) for a while so that the client sees our answer instead of
// a reset; this much at most.
constexpr qint64 kMaxDrainBytes = 1024 * 1024;
constexpr int kDrainMs = 2000;
// Unread bytes beyond this wait in the kernel, so a client that sends faster
// than we answer is slowed down rather than buffered.
constexpr qint64 kSocketReadBuffer = 256 * 1024;

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

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

bool hasToken(const QByteArray& list, QByteArrayView token)
{
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

QByteArray HttpRequest::value(QByteArrayView name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

/// One client connection: reads requests one at a time, answers each in
/// order, and closes when asked to, when the client is too slow, or when the
/// request cannot be read safely.
class HttpConnection final : public QObject {
public:
    HttpConnection(HttpServer& server, QTcpSocket* socket)
        : QObject(&server)
        , m_server(server)
        , m_socket(socket)
    {
        m_socket->setParent(this);
        m_socket->setReadBufferSize(kSocketReadBuffer);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &HttpConnection::timedOut);
        connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::readMore);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::written);
        connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::close);
        // A connection that never sends a request is an idle one.
        m_timer.start(m_server.m_limits.idleTimeoutMs);
        readMore();
    }

private:
    enum class State { Head, Body, Handling, Draining, Closed };

    void readMore()
    {
        if (m_state == State::Closed)
            return;
        if (m_state == State::Draining) {
            m_drained += m_socket->readAll().size();
            if (m_drained > kMaxDrainBytes)
                close();
            return;
        }
        // While a request is being handled the rest waits in the socket
        // until its answer is out.
        do {
            const qint64 room = m_server.m_limits.maxHeadBytes + kSocketReadBuffer - m_buffer.size();
            if (room > 0)
                m_buffer += m_socket->read(room);
            process();
        } while ((m_state == State::Head || m_state == State::Body) && m_socket->bytesAvailable() > 0);
    }

    void process()
    {
        while (m_state == State::Head || m_state == State::Body) {
            if (m_state == State::Head) {
                // Empty lines between requests are allowed and ignored.
                while (m_buffer.startsWith("\r\n"))
                    m_buffer.remove(0, 2);
                if (m_buffer.isEmpty())
                    return;
                if (!m_inRequest) {
                    m_inRequest = true;
                    m_timer.start(m_server.m_limits.requestTimeoutMs);
                }
                const qsizetype end = m_buffer.indexOf("\r\n\r\n");
                if (end < 0) {
                    if (m_buffer.size() > m_server.m_limits.maxHeadBytes)
                        refuse(431, "the request's head is too large");
                    return;
                }
                if (end > m_server.m_limits.maxHeadBytes) {
                    refuse(431, "the request's head is too large");
                    return;
                }
                const QByteArray head = m_buffer.left(end);
                m_buffer.remove(0, end + 4);
                if (!parseHead(head))
                    return;
                continue;
            }
            if (!readBody())
                return;
        }
    }

    bool parseHead(const QByteArray& head)
    {
        m_request = HttpRequest {};
        m_request.peer = m_socket->peerAddress();
        QList<QByteArray> lines = (head + '\r').split('\n');
        for (QByteArray& line : lines) {
            if (!line.endsWith('\r')) {
                refuse(400, "lines must end with CR LF");
                return false;
            }
            line.chop(1);
        }
        const QList<QByteArray> parts = lines.first().split(' ');
        if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/')) {
            refuse(400, "the request line is not METHOD /path HTTP/1.1");
            return false;
        }
        m_request.method = parts[0];
        m_request.target = parts[1];
        if (parts[2] == "HTTP/1.1")
            m_keepAlive = true;
        else if (parts[2] == "HTTP/1.0")
            m_keepAlive = false; // no keep-alive for HTTP/1.0 clients: they cannot all handle it
        else {
            refuse(parts[2].startsWith("HTTP/") ? 505 : 400, "only HTTP/1.1 and HTTP/1.0 are spoken here");
            return false;
        }
        const bool http10 = parts[2] == "HTTP/1.0";
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines[i];
            const qsizetype colon = line.indexOf(':');
            // No folded lines and no space before the colon: both let two
            // readers of the same bytes see different headers.
            if (line.startsWith(' ') || line.startsWith('\t') || colon <= 0 || !isToken(line.left(colon))
                || line.contains('\r')) {
                refuse(400, "a header line is malformed");
                return false;
            }
            m_request.headers.append(qMakePair(line.left(colon).toLower(), line.mid(colon + 1).trimmed()));
        }
        if (hasToken(m_request.value("connection"), "close"))
            m_keepAlive = false;

        // Framing: exactly one way to know where the body ends.
        std::optional<qint64> length;
        bool chunked = false;
        int transferEncodings = 0;
        for (const auto& [name, value] : std::as_const(m_request.headers)) {
            if (name == "content-length") {
                for (const QByteArray& item : value.split(',')) {
                    const QByteArray digits = item.trimmed();
                    bool ok = !digits.isEmpty() && digits.size() <= 18;
                    for (const char c : digits)
                        ok = ok && c >= '0' && c <= '9';
                    if (!ok || (length && *length != digits.toLongLong())) {
                        refuse(400, "Content-Length is malformed or given twice with different values");
                        return false;
                    }
                    length = digits.toLongLong();
                }
            } else if (name == "transfer-encoding") {
                ++transferEncodings;
                chunked = value.compare("chunked", Qt::CaseInsensitive) == 0;
                if (!chunked) {
                    refuse(501, "only the chunked transfer coding is understood");
                    return false;
                }
            }
        }
        if (transferEncodings > 0 && (length || http10 || transferEncodings > 1)) {
            refuse(400, "Transfer-Encoding together with Content-Length (or twice, or in HTTP/1.0)");
            return false;
        }
        m_chunked = chunked;
        m_remaining = length.value_or(0);
        m_maxBody = m_server.m_limits.maxBodyBytes;
        if (std::optional<HttpResponse> refusal = m_server.m_handler.screen(m_request, m_maxBody)) {
            refuseUnread(std::move(*refusal));
            return false;
        }
        if (m_remaining > m_maxBody) {
            refuse(413, QByteArray("the body is larger than ") + QByteArray::number(m_maxBody) + " bytes");
            return false;
        }
        if ((m_chunked || m_remaining > 0) && hasToken(m_request.value("expect"), "100-continue"))
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        m_chunkState = ChunkState::Size;
        m_state = State::Body;
        return true;
    }

    // Moves body bytes from the buffer into the request; true when the body
    // is complete and the request was handed on.
    bool readBody()
    {
        QByteArray& body = m_request.m_body;
        if (!m_chunked) {
            const qint64 take = std::min<qint64>(m_remaining, m_buffer.size());
            body += m_buffer.left(take);
            m_buffer.remove(0, take);
            m_remaining -= take;
            if (m_remaining > 0)
                return false;
            dispatch();
            return true;
        }
        for (;;) {
            if (m_chunkState == ChunkState::Size || m_chunkState == ChunkState::Trailer) {
                const qsizetype end = m_buffer.indexOf("\r\n");
                if (end < 0) {
                    if (m_buffer.size() > 1024)
                        refuse(400, "a chunk line is malformed");
                    return false;
                }
                const QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 2);
                if (m_chunkState == ChunkState::Trailer) {
                    if (line.isEmpty()) {
                        dispatch();
                        return true;
                    }
                    continue; // trailer fields are read and ignored
                }
                const QByteArray hex = line.left(line.indexOf(';') >= 0 ? line.indexOf(';') : line.size()).trimmed();
                bool ok = !hex.isEmpty() && hex.size() <= 15;
                const qint64 size = ok ? hex.toLongLong(&ok, 16) : 0;
                if (!ok || size < 0) {
                    refuse(400, "a chunk size is malformed");
                    return false;
                }
                if (body.size() + size > m_maxBody) {
                    refuse(413, QByteArray("the body is larger than ") + QByteArray::number(m_maxBody) + " bytes");
                    return false;
                }
                m_remaining = size;
                m_chunkState = size == 0 ? ChunkState::Trailer : ChunkState::Data;
                continue;
            }
            if (m_chunkState == ChunkState::Data) {
                const qint64 take = std::min<qint64>(m_remaining, m_buffer.size());
                body += m_buffer.left(take);
                m_buffer.remove(0, take);
                m_remaining -= take;
                if (m_remaining > 0)
                    return false;
                m_chunkState = ChunkState::DataEnd;
            }
            if (m_buffer.size() < 2)
                return false;
            if (!m_buffer.startsWith("\r\n")) {
                refuse(400, "a chunk does not end with CR LF");
                return false;
            }
            m_buffer.remove(0, 2);
            m_chunkState = ChunkState::Size;
        }
    }

    void dispatch()
    {
        m_state = State::Handling;
        m_timer.stop();
        const quint64 generation = ++m_generation;
        QPointer<HttpConnection> self(this);
        m_server.m_handler.handle(m_request, [self, generation](HttpResponse response) {
            if (self && self->m_state == State::Handling && self->m_generation == generation)
                self->answer(std::move(response), false);
        });
    }

    // A request we will not read to its end: answer, then close.
    void refuse(int status, const QByteArray& message)
    {
        HttpResponse response;
        response.status = status;
        response.body = "{\"error\":\"" + message + "\"}";
        refuseUnread(std::move(response));
    }

    void refuseUnread(HttpResponse response)
    {
        m_keepAlive = false;
        answer(std::move(response), true);
    }

    void answer(HttpResponse response, bool bodyUnread)
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
            + "\r\nContent-Type: " + response.contentType
            + "\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        for (const auto& [name, value] : std::as_const(response.headers))
            out += name + ": " + value + "\r\n";
        if (!m_keepAlive)
            out += "Connection: close\r\n";
        out += "\r\n" + response.body;
        m_socket->write(out);
        if (!m_request.method.isEmpty())
            m_server.m_handler.answered(m_request, response.status);
        m_inRequest = false;
        if (!m_keepAlive) {
            m_state = State::Draining;
            m_drainUnread = bodyUnread;
            m_buffer.clear();
            m_timer.start(kDrainMs);
            written();
            return;
        }
        m_state = State::Head;
        m_timer.start(m_server.m_limits.idleTimeoutMs);
        // A request sent right behind this one is already waiting.
        QTimer::singleShot(0, this, [this] {
            if (m_state == State::Head)
                readMore();
        });
    }

    void written()
    {
        if (m_state != State::Draining || m_socket->bytesToWrite() > 0 || m_shutDown)
            return;
        m_shutDown = true;
        m_socket->flush();
        if (!m_drainUnread) {
            m_socket->disconnectFromHost();
            return;
        }
        // Half-close: the client sees our answer and the end of it, and we
        // read what it still sends until it closes too (or for a little while).
        ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
        readMore();
    }

    void timedOut()
    {
        if (m_state == State::Draining || !m_inRequest) {
            // Idle, or the client never read our last answer: nothing to say.
            m_socket->abort();
            close();
            return;
        }
        if (m_state == State::Head || m_state == State::Body)
            refuse(408, "the request did not arrive in time");
    }

    void close()
    {
        if (m_state == State::Closed)
            return;
        m_state = State::Closed;
        m_timer.stop();
        m_socket->abort();
        m_server.connectionClosed();
        deleteLater();
    }

    enum class ChunkState { Size, Data, DataEnd, Trailer };

    HttpServer& m_server;
    QTcpSocket* m_socket;
    QTimer m_timer;
    State m_state = State::Head;
    QByteArray m_buffer;
    HttpRequest m_request;
    bool m_inRequest = false;
    bool m_keepAlive = true;
    bool m_chunked = false;
    ChunkState m_chunkState = ChunkState::Size;
    qint64 m_remaining = 0;
    qint64 m_maxBody = 0;
    quint64 m_generation = 0;
    bool m_drainUnread = false;
    bool m_shutDown = false;
    qint64 m_drained = 0;
};

HttpServer::HttpServer(Handler& handler, HttpLimits limits, QObject* parent)
    : QObject(parent)
    , m_handler(handler)
    , m_limits(limits)
    , m_server(std::make_unique<QTcpServer>())
{
    // Connections waiting to be taken hold descriptors too; keep them few.
    m_server->setMaxPendingConnections(8);
    connect(m_server.get(), &QTcpServer::newConnection, this, &HttpServer::acceptPending);
    connect(m_server.get(), &QTcpServer::acceptError, this, &HttpServer::acceptFailed);
    m_backoff.setSingleShot(true);
    connect(&m_backoff, &QTimer::timeout, this, [this] {
        if (!m_pausedAtCap)
            m_server->resumeAccepting();
    });
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 HttpServer::port() const
{
    return m_server->serverPort();
}

QString HttpServer::errorString() const
{
    return m_server->errorString();
}

void HttpServer::acceptPending()
{
    while (m_connections < m_limits.maxConnections && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        ++m_connections;
        m_backoffMs = 0;
        new HttpConnection(*this, socket);
    }
    // At the cap, further clients wait in the listen queue, costing nothing.
    if (m_connections >= m_limits.maxConnections && !m_pausedAtCap) {
        m_pausedAtCap = true;
        m_server->pauseAccepting();
    }
}

void HttpServer::connectionClosed()
{
    --m_connections;
    if (m_pausedAtCap && m_connections < m_limits.maxConnections) {
        m_pausedAtCap = false;
        if (!m_backoff.isActive())
            m_server->resumeAccepting();
        acceptPending();
    }
}

void HttpServer::acceptFailed()
{
    // Out of descriptors, most likely: accepting again at once would fail
    // again at once, so wait, longer each time, until one succeeds.
    m_server->pauseAccepting();
    m_backoffMs = m_backoffMs == 0 ? 50 : std::min(m_backoffMs * 2, kMaxBackoffMs);
    if (m_backoffMs == 50 || m_backoffMs == kMaxBackoffMs) {
        const QByteArray line = "corvex-service: cannot accept connections (" + m_server->errorString().toLocal8Bit()
            + "); trying again in " + QByteArray::number(m_backoffMs) + " ms\n";
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    }
    m_backoff.start(m_backoffMs);
}

} // namespace corvex::reference
