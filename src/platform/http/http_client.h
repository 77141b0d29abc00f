#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace corvex::http {

/// `text` as an absolute URL with a scheme and a host, or none: every request
/// address is built as text and checked here before it is used.
std::optional<QUrl> absoluteUrl(const QString& text);

struct Request {
    QUrl url;
    QByteArray method = QByteArrayLiteral("GET");
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    /// Keeps redirects within the request's origin. Every request that
    /// carries a credential header gets this whatever the flag says (see
    /// `carriesCredentials`); set it for a credential kept elsewhere.
    bool sameOriginRedirectsOnly = false;
};

/// Whether the request has a header that proves who the user is
/// (Authorization, Proxy-Authorization, Cookie). Such a request follows
/// redirects only within its own origin: Qt forwards these headers to
/// whatever host a redirect names.
bool carriesCredentials(const Request& request);

/// A request that got no HTTP answer: no connection, a dropped connection,
/// a time-out, a TLS failure.
struct TransportError {
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    bool timedOut = false;
    QString message; // says what happened, for the user
};

/// The outcome of one request: either a transport error, or the answer's
/// status (0 when the answer is not HTTP, for example a file: URL) and body.
struct Reply {
    std::optional<TransportError> error;
    int status = 0;
    QByteArray body;
    QByteArray retryAfter; // the answer's Retry-After header, as sent (empty: none)
};

/// Sends requests through one QNetworkAccessManager and awaits them as
/// coroutines on the calling (GUI) thread; the network work itself never
/// blocks that thread.
class Client final {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout { 60'000 };

    /// The client uses `manager`, which must outlive it; when null it owns one.
    explicit Client(QNetworkAccessManager* manager = nullptr);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    /// The longest wait for any progress of a request before it fails as timed out.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds timeout() const { return m_timeout; }

    QCoro::Task<Reply> send(Request request);

    /// Ends every request in flight at once with a cancelled transport
    /// error, so that no coroutine is left waiting; the destructor does it too.
    void abortAll();

private:
    QList<QPointer<QNetworkReply>> m_inFlight;
    QNetworkAccessManager* m_manager;
    std::unique_ptr<QNetworkAccessManager> m_ownedManager;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
};

} // namespace corvex::http
