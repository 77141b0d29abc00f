#include "service/sign_in.h"

#include "service/service_urls.h"
#include "service/session.h"

#include "platform/webauth/session.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

#include <array>
#include <cstdio>

namespace corvex::service {

namespace {

const QString kTokenItem = QStringLiteral("token");
const QString kStateItem = QStringLiteral("state");

bool isHeaderSafe(const QString& token)
{
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

SignInRequest SignInRequest::make(const QString& origin)
{
    std::array<quint32, 6> random {};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray bytes(reinterpret_cast<const char*>(random.data()), sizeof random);
    const QString state
        = QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    return { service_urls::signIn(origin, state), state };
}

QString stateOfCallback(const QUrl& callback)
{
    return QUrlQuery(callback).queryItemValue(kStateItem, QUrl::FullyDecoded);
}

namespace {

CallbackToken readToken(const QUrl& callback)
{
    const QString missing = QStringLiteral("The sign-in did not return an access token. Press Sign In to try again.");
    if (!callback.isValid() || !callback.hasQuery())
        return { std::nullopt, missing };
    const QUrlQuery query(callback);
    std::optional<QString> found;
    int count = 0;
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name != kTokenItem)
            continue;
        if (++count == 1)
            found = value;
    }
    if (count > 1)
        return { std::nullopt,
            QStringLiteral("The sign-in was refused: its answer carried more than one access token, as a forged "
                           "sign-in link does. Nothing was stored. Press Sign In to try again from the studio.") };
    if (!found)
        return { std::nullopt, missing };
    if (found->isEmpty() || !isHeaderSafe(*found))
        return { std::nullopt,
            QStringLiteral("The sign-in returned an access token that cannot be used. Press Sign In to try again.") };
    return { found, {} };
}

} // namespace

std::function<QString(const QUrl&)> SignInRequest::answerCheck() const
{
    return [expected = state](const QUrl& callback) {
        return readCallback(callback, expected).foreign
            ? QStringLiteral("it answers another sign-in than the one waiting here (a web page may have sent it); "
                             "that sign-in goes on waiting for its own answer")
            : QString();
    };
}

CallbackToken readCallback(const QUrl& callback, const QString& expectedState)
{
    const QStringList states = QUrlQuery(callback).allQueryItemValues(kStateItem, QUrl::FullyDecoded);
    if (expectedState.isEmpty() || states != QStringList { expectedState })
        return { std::nullopt,
            QStringLiteral("The sign-in answer did not belong to this sign-in (a web page may have sent it), so "
                           "nothing was changed. Press Sign In to try again."),
            true };
    return readToken(callback);
}

std::optional<QString> tokenFromCallback(const QUrl& callback)
{
    return readToken(callback).token;
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
    // Not even a few characters of it: output ends up in logs and bug reports.
    return token ? QStringLiteral("Access Token: stored") : QStringLiteral("Access Token: Not Found");
}

void printToStandardOutput(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

QString completeSignIn(const QUrl& callback, const QString& expectedState, Session& manager, const LinePrinter& print)
{
    print(QStringLiteral("Callback URL: %1").arg(redactedCallback(callback)));
    const CallbackToken read = readCallback(callback, expectedState);
    if (read.foreign) {
        // Another sign-in's answer: the author's own sign-in, if any, stays.
        print(accessTokenLine(manager.accessToken()));
        manager.setSignedOutMessage(read.problem);
        return read.problem;
    }
    const bool stored = manager.setAccessToken(read.token);
    print(accessTokenLine(manager.accessToken()));
    QString problem = read.problem;
    if (problem.isEmpty() && !stored)
        problem = QStringLiteral("The access token could not be saved in %1. Check that the file can be written, "
                                 "then sign in again.")
                      .arg(manager.settingsPath());
    manager.setSignedOutMessage(problem);
    return problem;
}

QCoro::Task<> signIn(webauth::Session& session, Session& manager, LinePrinter print)
{
    const QString origin = manager.serviceOrigin().value_or(QString());
    if (origin.isEmpty())
        co_return;
    QPointer<Session> guard(&manager);
    const SignInRequest request = SignInRequest::make(origin);
    const webauth::Session::Outcome outcome
        = co_await session.authenticate(request.url, QStringLiteral("corvexapp"), request.answerCheck());
    if (!outcome.callback || !guard)
        co_return;
    completeSignIn(*outcome.callback, request.state, manager, print);
}

QByteArray hiddenFormFields(const QByteArray& page)
{
    static const QRegularExpression hidden(
        QStringLiteral("<input type=\"hidden\" name=\"([^\"]*)\" value=\"([^\"]*)\">"));
    QByteArray fields;
    for (auto it = hidden.globalMatch(QString::fromUtf8(page)); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        fields += QUrl::toPercentEncoding(match.captured(1)) + '=' + QUrl::toPercentEncoding(match.captured(2)) + '&';
    }
    return fields;
}

} // namespace corvex::service
