#include "platform/http/http_client.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <QCoroNetworkReply>

namespace corvex::http {

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// QNetworkReply reports HTTP error statuses (400 included) as errors too;
// an answer with a status is a failure of the transport only when the
// network itself failed, for example a connection dropped inside the body.
bool isTransportFailure(QNetworkReply::NetworkError code, bool hasStatus)
{
    const int value = static_cast<int>(code);
    if (code == QNetworkReply::NoError)
        return false;
    return !hasStatus || (value >= 1 && value < 200);
}

QString describe(const QNetworkReply& reply, bool timedOut, std::chrono::milliseconds timeout)
{
    const QString host = reply.url().host();
    if (timedOut)
        return QStringLiteral("%1 did not answer within %2 seconds; check that it is running and reachable, "
                              "then try again")
            .arg(host)
            .arg(timeout.count() / 1000.0);
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("%1 refused the connection; check that the service is running and that its address "
                              "is right, then try again")
            .arg(reply.url().authority());
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("the host %1 was not found; check the address and the network connection").arg(host);
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("%1 closed the connection before answering; try again later").arg(host);
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("the request to %1 was cancelled").arg(host);
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("%1 redirected the request to another host, where it was not sent because it carries "
                              "your credentials; check the service's address")
            .arg(host);
    default:
        return QStringLiteral("the request to %1 failed: %2").arg(host, reply.errorString());
    }
}

} // namespace

std::optional<QUrl> absoluteUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

bool carriesCredentials(const Request& request)
{
    for (const auto& [name, value] : request.headers) {
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0
            || name.compare("Proxy-Authorization", Qt::CaseInsensitive) == 0
            || name.compare("Cookie", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

Client::Client(QNetworkAccessManager* manager)
    : m_manager(manager)
{
    if (!m_manager) {
        m_ownedManager = std::make_unique<QNetworkAccessManager>();
        m_manager = m_ownedManager.get();
    }
}

Client::~Client()
{
    abortAll();
}

void Client::abortAll()
{
    const QList<QPointer<QNetworkReply>> replies = m_inFlight;
    for (const QPointer<QNetworkReply>& reply : replies) {
        if (reply)
            reply->abort();
    }
}

QCoro::Task<Reply> Client::send(Request request)
{
    QNetworkRequest networkRequest(request.url);
    networkRequest.setTransferTimeout(static_cast<int>(m_timeout.count()));
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        request.sameOriginRedirectsOnly || carriesCredentials(request) ? QNetworkRequest::SameOriginRedirectPolicy
                                                                       : QNetworkRequest::NoLessSafeRedirectPolicy);
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);

    const std::chrono::milliseconds timeout = m_timeout;
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        m_manager->sendCustomRequest(networkRequest, request.method, request.body));
    m_inFlight.append(QPointer<QNetworkReply>(reply.get()));
    co_await reply.get();
    m_inFlight.removeAll(QPointer<QNetworkReply>(reply.get()));

    Reply result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportFailure(reply->error(), status.isValid())) {
        // Qt reports its transfer time-out as a cancelled operation. The only
        // other cancel is abortAll() from an owner being destroyed, whose
        // callers no longer read the reply.
        const bool timedOut = reply->error() == QNetworkReply::OperationCanceledError;
        result.error = TransportError { reply->error(), timedOut, describe(*reply, timedOut, timeout) };
        co_return result;
    }
    result.status = status.isValid() ? status.toInt() : 0;
    result.body = reply->readAll();
    result.retryAfter = reply->rawHeader(QByteArrayLiteral("Retry-After")).trimmed();
    co_return result;
}

} // namespace corvex::http
