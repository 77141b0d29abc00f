#include "service/service_urls.h"

#include "platform/http/http_client.h"

namespace corvex::service {

namespace service_urls {

std::optional<QUrl> account(const QString& origin)
{
    return http::absoluteUrl(origin + QStringLiteral("/auth/account"));
}

std::optional<QUrl> accessToken(const QString& origin)
{
    return http::absoluteUrl(origin + QStringLiteral("/auth/token"));
}

std::optional<QUrl> movieUpload(const QString& origin, qint64 movieId)
{
    return http::absoluteUrl(origin + QStringLiteral("/tvapi/lightshow/movie/") + QString::number(movieId));
}

std::optional<QUrl> episodeUpload(const QString& origin, qint64 showId, qint64 seasonNumber, qint64 episodeNumber)
{
    return http::absoluteUrl(origin + QStringLiteral("/tvapi/lightshow/tv/") + QString::number(showId)
        + QLatin1Char('/') + QString::number(seasonNumber) + QLatin1Char('/') + QString::number(episodeNumber));
}

std::optional<QUrl> lightShows(const QString& origin, qint64 offset)
{
    return http::absoluteUrl(origin + QStringLiteral("/tvapi/me/lightshows")
        + (offset > 0 ? QStringLiteral("?offset=") + QString::number(offset) : QString()));
}

std::optional<QUrl> lightShow(const QString& origin, const QString& id)
{
    if (id.isEmpty() || id == QLatin1StringView(".") || id == QLatin1StringView(".."))
        return std::nullopt;
    return http::absoluteUrl(
        origin + QStringLiteral("/tvapi/me/lightshows/") + QString::fromLatin1(QUrl::toPercentEncoding(id)));
}

QUrl signIn(const QString& origin, const QString& state)
{
    return QUrl(origin + QStringLiteral("/auth/signin?redirectUri=corvexapp://callback&state=") + state);
}

} // namespace service_urls

std::optional<http::Request> bearerRequest(const QUrl& url, const QByteArray& method, const QString& token)
{
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return std::nullopt;
    }
    http::Request request;
    request.url = url;
    request.method = method;
    request.headers.append(qMakePair(QByteArrayLiteral("Authorization"), "Bearer " + token.toLatin1()));
    request.sameOriginRedirectsOnly = true;
    return request;
}

} // namespace corvex::service
