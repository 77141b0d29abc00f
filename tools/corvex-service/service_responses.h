// The answers every part of the reference service gives: JSON, a problem
// with its message, and the service's own trouble, with Retry-After.
#pragma once

#include "http_message.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace corvex::reference::responses {

using Response = HttpResponse;

inline Response json(int status, const QJsonObject& object)
{
    return { status, QJsonDocument(object).toJson(QJsonDocument::Compact), QByteArrayLiteral("application/json"),
        { { QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff") } } };
}

inline Response problem(int status, const QString& message)
{
    return json(status, { { QStringLiteral("error"), message } });
}

// 405, with the methods the resource does take, as the status requires.
inline Response notAllowed(const QByteArray& allowed)
{
    Response response = problem(405, QStringLiteral("method not allowed"));
    response.headers.append(qMakePair(QByteArrayLiteral("Allow"), allowed));
    return response;
}

inline Response withRetryAfter(Response response, qint64 seconds)
{
    response.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds)));
    return response;
}

// Not the client's fault, and not for good: a 401 or 404 would make the
// studio sign out or forget a show.
inline Response unavailable()
{
    return withRetryAfter(
        problem(503, QStringLiteral("the service cannot reach its database; try again in a moment")), 2);
}

} // namespace corvex::reference::responses
