#pragma once

#include "platform/http/http_client.h"

#include <QString>
#include <QUrl>

#include <optional>

namespace corvex::service {

/// The light-show service's addresses below its origin. Each gives none when
/// the text does not form a URL.
namespace service_urls {

std::optional<QUrl> account(const QString& origin);
/// The current access token itself, which a DELETE revokes.
std::optional<QUrl> accessToken(const QString& origin);
std::optional<QUrl> movieUpload(const QString& origin, qint64 movieId);
std::optional<QUrl> episodeUpload(const QString& origin, qint64 showId, qint64 seasonNumber, qint64 episodeNumber);
/// The author's shows from `offset` on (the first page has no query, as the service expects).
std::optional<QUrl> lightShows(const QString& origin, qint64 offset = 0);
/// The id is one percent-encoded path segment, so an id holding "/" or "?"
/// cannot reach another endpoint; ids that cannot be a segment at all
/// (empty, "." and "..") give none.
std::optional<QUrl> lightShow(const QString& origin, const QString& id);
/// origin + "/auth/signin?redirectUri=corvexapp://callback&state=" + state,
/// the query as written (the state is URL-safe as it is).
QUrl signIn(const QString& origin, const QString& state);

} // namespace service_urls

/// A request carrying "Authorization: Bearer <token>"; none when the token
/// holds characters that cannot go in a header.
std::optional<http::Request> bearerRequest(const QUrl& url, const QByteArray& method, const QString& token);

} // namespace corvex::service
