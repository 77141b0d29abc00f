#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <optional>

class QTcpServer;

namespace corvex::reference {

/// One request as the service sees it. Before `HttpServer::Handler::screen`
/// the body is still unread (and empty).
class HttpRequest {
public:
    QByteArray method; // as sent: "GET", "POST", ...
    QByteArray target; // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed
    QHostAddress peer;

    /// The first value of a header (any case), or empty.
    QByteArray value(QByteArrayView name) const;
    QUrl url() const { return QUrl::fromEncoded(target); }
    QUrlQuery query() const { return QUrlQuery(url()); }
    const QByteArray& body() const { return m_body; }

private:
    friend class HttpConnection;
    QByteArray m_body;
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QList<QPair<QByteArray, QByteArray>> headers;
};

/// What a connection may cost the service.
struct HttpLimits {
    qint64 maxBodyBytes = 64LL * 1024 * 1024;
    qsizetype maxHeadBytes = 16 * 1024;
    /// From a request's first byte to its last, and from one request's
    /// answer to the next request on a kept-alive connection.
    int requestTimeoutMs = 30'000;
    int idleTimeoutMs = 30'000;
    int maxConnections = 256;
};

/// A small HTTP/1.1 server for the reference service. Qt's HTTP server of
/// our Qt version reads every body whole before the service sees the
/// request, has no limits or time-outs, keeps every connection open and
/// answers only from inside its handler; this one hands the service the
/// request's head first (so a token is checked and a size refused before a
/// body is read), caps bodies, heads and connections, times out slow and
/// idle connections, honours "Connection: close" and HTTP/1.0, refuses
/// ambiguous framing, backs off when accepting fails (out of descriptors),
/// and lets the service answer later, from another event.
class HttpServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpServer)

public:
    /// Sends the answer; call once, on the server's thread. Does nothing
    /// when the connection is gone by then.
    using Respond = std::function<void(HttpResponse)>;

    class Handler {
    public:
        virtual ~Handler() = default;
        /// Called with the head only. A response refuses the request before
        /// its body is read; `maxBodyBytes` may be lowered for this request.
        virtual std::optional<HttpResponse> screen(const HttpRequest& request, qint64& maxBodyBytes) = 0;
        /// Called with the whole request; answer through `respond`, now or later.
        virtual void handle(const HttpRequest& request, Respond respond) = 0;
        /// Called once per answer sent, for the log.
        virtual void answered(const HttpRequest& request, int status) = 0;
    };

    HttpServer(Handler& handler, HttpLimits limits, QObject* parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    int connectionCount() const { return m_connections; }

private:
    friend class HttpConnection;
    void acceptPending();
    void connectionClosed();
    void acceptFailed();

    Handler& m_handler;
    HttpLimits m_limits;
    std::unique_ptr<QTcpServer> m_server;
    int m_connections = 0;
    bool m_pausedAtCap = false;
    QTimer m_backoff;
    int m_backoffMs = 0;
};

} // namespace corvex::reference
