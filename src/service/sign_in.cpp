#include "service/sign_in.h"

#include "service/app_manager.h"
#include "service/service_urls.h"

#include "platform/webauth/session.h"

#include <QPointer>
#include <QUrlQuery>

#include <cstdio>

namespace corvex::service {

namespace {

const QString kTokenItem = QStringLiteral("token");

bool isHeaderSafe(const QString& token)
{
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

std::optional<QString> tokenFromCallback(const QUrl& callback)
{
    if (!callback.isValid() || !callback.hasQuery())
        return std::nullopt;
    const QUrlQuery query(callback);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name != kTokenItem)
            continue;
        if (value.isEmpty() || !isHeaderSafe(value))
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

QString redactedCallback(const QUrl& callback)
{
    if (!callback.hasQuery())
        return callback.toString(QUrl::FullyEncoded);
    QUrlQuery query(callback);
    QList<QPair<QString, QString>> items = query.queryItems(QUrl::FullyEncoded);
    for (auto& [name, value] : items) {
        if (QUrl::fromPercentEncoding(name.toLatin1()).compare(kTokenItem, Qt::CaseInsensitive) == 0)
            value = QStringLiteral("(hidden)");
    }
    QUrl copy = callback;
    QUrlQuery redacted;
    redacted.setQueryItems(items);
    copy.setQuery(redacted);
    return copy.toString(QUrl::FullyEncoded);
}

QString accessTokenLine(const std::optional<QString>& token)
{
    if (!token)
        return QStringLiteral("Access Token: Not Found");
    // The last four characters help tell tokens apart, but only when they
    // are a small part of the whole.
    if (token->size() >= 16)
        return QStringLiteral("Access Token: stored (ends in …%1)").arg(token->right(4));
    return QStringLiteral("Access Token: stored");
}

void printToStandardOutput(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void completeSignIn(const QUrl& callback, AppManager& manager, const LinePrinter& print)
{
    print(QStringLiteral("Callback URL: %1").arg(redactedCallback(callback)));
    manager.setAccessToken(tokenFromCallback(callback));
    print(accessTokenLine(manager.accessToken()));
}

QCoro::Task<> signIn(webauth::Session& session, AppManager& manager, LinePrinter print)
{
    const QString origin = manager.serviceOrigin().value_or(QString());
    if (origin.isEmpty())
        co_return;
    QPointer<AppManager> guard(&manager);
    const webauth::Session::Outcome outcome
        = co_await session.authenticate(service_urls::signIn(origin), QStringLiteral("corvexapp"));
    if (!outcome.callback || !guard)
        co_return;
    completeSignIn(*outcome.callback, manager, print);
}

} // namespace corvex::service
