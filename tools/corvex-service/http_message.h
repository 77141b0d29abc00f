#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>

namespace corvex::reference {

/// One request as the service sees it. While it is being screened the body
/// is still unread (and empty).
struct HttpRequest {
    QByteArray method; // as sent: "GET", "POST", ...
    QByteArray target; // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values as sent
    /// The client: the connection's peer, or the address a trusted proxy
    /// says it forwards for.
    QHostAddress peer;
    QByteArray body;

    /// The first value of a header (any case), or empty.
    QByteArray value(QByteArrayView name) const;
    /// How many times a header was sent.
    qsizetype count(QByteArrayView name) const;
    QUrl url() const { return QUrl::fromEncoded(target); }
    QUrlQuery query() const { return QUrlQuery(url()); }
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QList<QPair<QByteArray, QByteArray>> headers;
};

/// What connections may cost the service.
struct HttpLimits {
    qint64 maxBodyBytes = 64LL * 1024 * 1024;
    /// Bodies of all requests in flight together; beyond it a request is
    /// refused with 503 until others are done.
    qint64 bodyBudgetBytes = 128LL * 1024 * 1024;
    qsizetype maxHeadBytes = 16 * 1024;
    /// From a request's first byte to the end of its head: short, since an
    /// honest client sends a head at once.
    std::chrono::milliseconds headTimeout { 10'000 };
    /// From a request's first byte to its last; also how long an answer may
    /// take to be read, and a kept-alive connection may stay idle.
    std::chrono::milliseconds requestTimeout { 30'000 };
    int maxConnections = 4096;
    int maxConnectionsPerAddress = 32;
    /// A reverse proxy whose X-Forwarded-For is believed, and which is not
    /// held to the per-address cap; null: none.
    QHostAddress trustedProxy;
};

} // namespace corvex::reference
