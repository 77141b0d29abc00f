#include "service/service_error.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>

namespace corvex::service {

QString ServiceError::message() const
{
    switch (kind) {
    case Kind::UserAuthenticationRequired:
        return QStringLiteral("not signed in: sign in to the light-show service, then try again");
    case Kind::Unknown:
        if (!detail.isEmpty())
            return detail; // a local failure, said as it happened
        return QStringLiteral("no movie or episode is chosen for this recording: choose one in the catalogue first");
    case Kind::BadURL:
        return QStringLiteral("the service address could not be formed%1")
            .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
    case Kind::BadServerResponse:
        if (status == 0)
            return QStringLiteral("the service's answer was not an HTTP answer");
        if (status == 200 && !detail.isEmpty())
            return QStringLiteral("the service's answer could not be read: %1").arg(detail);
        if (status == 401 || status == 403)
            return QStringLiteral("the service refused the request with status %1: the sign-in is no longer "
                                  "valid; sign in again")
                .arg(status);
        return QStringLiteral("the service refused the request with status %1%2")
            .arg(status)
            .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
    case Kind::Transport:
        return QStringLiteral("the service is unreachable: %1").arg(detail);
    }
    return detail;
}

QString ServiceError::reasonIn(const QByteArray& body)
{
    constexpr qsizetype kLongest = 200;
    QString reason;
    for (const char32_t c : QJsonDocument::fromJson(body).object().value(QStringLiteral("error")).toString().toUcs4())
        reason += QChar::isPrint(c) ? QString::fromUcs4(&c, 1) : QStringLiteral(" ");
    reason = reason.simplified();
    return reason.size() > kLongest ? reason.left(kLongest - 1) + QChar(0x2026) : reason;
}

bool ServiceError::isTransient() const
{
    return kind == Kind::Transport
        || (kind == Kind::BadServerResponse && (status >= 500 || status == 429 || status == 408));
}

std::optional<std::chrono::seconds> ServiceError::parseRetryAfter(const QByteArray& value, const QDateTime& now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        bool ok = false;
        const qlonglong seconds = text.toLongLong(&ok);
        // More digits than a wait can have is no answer one can keep to.
        return ok ? std::optional(std::chrono::seconds(seconds)) : std::nullopt;
    }
    // The one date form a service may send (IMF-fixdate), always in GMT.
    QDateTime date = QLocale::c().toDateTime(
        QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    if (!date.isValid())
        return std::nullopt;
    date.setTimeZone(QTimeZone::utc());
    return std::chrono::seconds(std::max<qint64>(0, now.secsTo(date)));
}

bool ServiceError::isPermanentStatus(int status)
{
    return status >= 400 && status < 500 && status != 401 && status != 403 && status != 408 && status != 429;
}

} // namespace corvex::service
