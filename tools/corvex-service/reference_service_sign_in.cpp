// The sign-in of the reference service: the page, and a submitted form
// checked, counted, hashed on a worker thread and answered.
#include "reference_service.h"
#include "service_responses.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

#include <sys/resource.h>
#include <unistd.h>

namespace corvex::reference {

namespace {

using namespace responses;

constexpr int kMaxHashing = 32;
constexpr qint64 kDecoyRefreshMs = 60'000;
const QByteArray kFormCookie = QByteArrayLiteral("corvex_signin");

// Our pages are never shown inside another site's frame (where a visitor
// could be tricked into clicking them), nor read as anything but HTML.
Response html(int status, const QString& page)
{
    return { status, page.toUtf8(), QByteArrayLiteral("text/html; charset=utf-8"),
        {
            { QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY") },
            { QByteArrayLiteral("Content-Security-Policy"),
                QByteArrayLiteral("default-src 'none'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'") },
            { QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff") },
            // Not "no-referrer": under it a browser sends "Origin: null" with the
            // form, and the sign-in would refuse its own page.
            { QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("same-origin") },
            { QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store") },
        } };
}

// The studio's callback, and nothing else: a redirect that carried its own
// query could smuggle a "token" item of the attacker's ahead of ours.
bool isCallbackUri(const QString& text)
{
    return text == QLatin1StringView("corvexapp://callback");
}

// The value the studio sends to know its own sign-in when it comes back:
// absent, or 1 to 128 URL-safe characters.
bool isState(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._~-]{1,128}$"));
    return text.isEmpty() || pattern.match(text).hasMatch();
}

QByteArray newFormSecret()
{
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

/// What one sign-in form carries besides the credentials.
struct FormContext {
    QString redirectUri;
    QString state;
    QByteArray secret; // the page's CSRF token, also in the form's cookie
};

Response signInForm(const FormContext& form, const QString& email, const QString& message, int status = 200)
{
    Response page = html(status,
        QStringLiteral(
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign in to Corvex</title></head>\n<body>\n"
            "<h1>Sign in to Corvex</h1>\n%1"
            "<form method=\"post\" action=\"/auth/signin\">\n"
            "<input type=\"hidden\" name=\"redirectUri\" value=\"%2\">\n%3"
            "<input type=\"hidden\" name=\"csrf\" value=\"%4\">\n"
            "<p><label>Email <input type=\"email\" name=\"email\" value=\"%5\" required></label></p>\n"
            "<p><label>Password <input type=\"password\" name=\"password\" required minlength=\"8\"></label></p>\n"
            "<p><button type=\"submit\" name=\"action\" value=\"signin\">Sign in</button>\n"
            "<button type=\"submit\" name=\"action\" value=\"create\">Create account</button></p>\n"
            "<p>New here? Enter your email address and a password of at least 8 characters, then press Create "
            "account.</p>\n</form>\n</body></html>\n")
            .arg(message.isEmpty() ? QString()
                                   : QStringLiteral("<p role=\"alert\">%1</p>\n").arg(message.toHtmlEscaped()),
                form.redirectUri.toHtmlEscaped(),
                form.state.isEmpty()
                    ? QString()
                    : QStringLiteral("<input type=\"hidden\" name=\"state\" value=\"%1\">\n").arg(form.state),
                QString::fromLatin1(form.secret), email.toHtmlEscaped()));
    // The form's token is also kept by the browser, for this page only and
    // never sent along from another site: a form posted from elsewhere
    // cannot show both.
    page.headers.append(qMakePair(QByteArrayLiteral("Set-Cookie"),
        kFormCookie + '=' + form.secret + "; Path=/auth/signin; HttpOnly; SameSite=Strict; Max-Age=3600"));
    return page;
}

QByteArray cookie(const HttpRequest& request, const QByteArray& name)
{
    for (const auto& [header, value] : request.headers) {
        if (header != "cookie")
            continue;
        for (const QByteArray& item : value.split(';')) {
            const QByteArray pair = item.trimmed();
            if (pair.startsWith(name + '='))
                return pair.mid(name.size() + 1);
        }
    }
    return {};
}

// A browser names the page a form was sent from: it must be one of ours.
// Clients that are not browsers send no Origin.
bool sameOrigin(const HttpRequest& request)
{
    if (request.value("sec-fetch-site") == "cross-site")
        return false;
    if (request.count("origin") == 0)
        return true;
    const QUrl origin(QString::fromLatin1(request.value("origin")));
    if (!origin.isValid() || origin.host().isEmpty())
        return false; // "null": a sandboxed or local page
    const QString host = QString::fromLatin1(request.value("host"));
    const int defaultPort = origin.scheme() == QLatin1StringView("https") ? 443 : 80;
    const QString authority = origin.port(defaultPort) == defaultPort
        ? origin.host()
        : origin.host() + QLatin1Char(':') + QString::number(origin.port());
    return host.compare(authority, Qt::CaseInsensitive) == 0
        || host.compare(authority + QLatin1Char(':') + QString::number(defaultPort), Qt::CaseInsensitive) == 0;
}

} // namespace

/// One submitted sign-in form on its way: checked, counted, hashed, answered.
struct ReferenceService::SignIn {
    FormContext form;
    QString email;
    QString password;
    bool create = false;
    QString attemptId;
    std::optional<ServiceDatabase::Credentials> credentials;
    QByteArray salt;
    int iterations = 0;
    HttpServer::Respond respond;
};

std::optional<QString> ReferenceService::normalisedEmail(const QString& typed)
{
    const QString email = typed.trimmed().normalized(QString::NormalizationForm_C).toLower();
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    if (email.size() > 254 || at <= 0 || at > 64 || at != email.lastIndexOf(QLatin1Char('@')) || at == email.size() - 1)
        return std::nullopt;
    static const QString localSymbols = QStringLiteral("!#$%&'*+-/=?^_`{|}~.");
    const QString local = email.left(at);
    if (local.startsWith(QLatin1Char('.')) || local.endsWith(QLatin1Char('.'))
        || local.contains(QLatin1StringView("..")))
        return std::nullopt;
    for (const QChar c : local)
        if (!c.isLetterOrNumber() && !c.isMark() && !localSymbols.contains(c))
            return std::nullopt;
    for (const QString& label : email.mid(at + 1).split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return std::nullopt;
        for (const QChar c : label)
            if (!c.isLetterOrNumber() && !c.isMark() && c != QLatin1Char('-'))
                return std::nullopt;
    }
    return email;
}

Response ReferenceService::signInPage(const HttpRequest& request)
{
    const QUrlQuery query = request.query();
    // The redirect target is read from the raw query: the studio sends it unencoded.
    FormContext form { query.queryItemValue(QStringLiteral("redirectUri"), QUrl::FullyDecoded),
        query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded), newFormSecret() };
    if (!isCallbackUri(form.redirectUri))
        return html(400,
            QStringLiteral("<p>This sign-in page only returns to the Corvex studio "
                           "(redirectUri=corvexapp://callback).</p>"));
    if (!isState(form.state) || query.allQueryItemValues(QStringLiteral("state")).size() > 1)
        return html(400, QStringLiteral("<p>The sign-in link is damaged: start signing in again from the studio.</p>"));
    return signInForm(form, QString(), QString());
}

void ReferenceService::signInSubmit(const HttpRequest& request, HttpServer::Respond respond)
{
    QByteArray body = request.body;
    body.replace('+', ' ');
    const QUrlQuery fields(QString::fromUtf8(body));
    const auto field
        = [&fields](const char* name) { return fields.queryItemValue(QLatin1StringView(name), QUrl::FullyDecoded); };
    auto signIn = std::make_shared<SignIn>();
    signIn->form = { field("redirectUri"), field("state"), field("csrf").toLatin1() };
    const QString typedEmail = field("email");
    signIn->password = field("password");
    signIn->create = field("action") == QLatin1StringView("create");
    const FormContext& form = signIn->form;
    if (!isCallbackUri(form.redirectUri) || !isState(form.state))
        return respond(html(400, QStringLiteral("<p>This sign-in page only returns to the Corvex studio.</p>")));

    // Only our own page, in the browser it was sent to, can sign in: a form
    // posted from another site (with the attacker's account, for the victim
    // to use unawares) has neither our origin nor the page's cookie.
    const QByteArray secret = cookie(request, kFormCookie);
    const bool isForm
        = request.value("content-type").split(';').first().trimmed().toLower() == "application/x-www-form-urlencoded";
    if (!isForm || !sameOrigin(request) || secret.isEmpty() || !ServiceDatabase::sameKey(secret, form.secret)) {
        FormContext fresh = form;
        fresh.secret = newFormSecret();
        return respond(signInForm(fresh, typedEmail,
            QStringLiteral("This sign-in form has expired or was sent from another site. Sign in again here."), 403));
    }

    const std::optional<QString> email = normalisedEmail(typedEmail);
    if (!email)
        return respond(signInForm(form, typedEmail, QStringLiteral("Enter a valid email address."), 400));
    signIn->email = *email;
    if (signIn->password.size() < 8 || signIn->password.size() > 1024)
        return respond(
            signInForm(form, signIn->email, QStringLiteral("The password needs from 8 to 1024 characters."), 400));
    signIn->respond = respond;
    const QString address = request.peer.toString();
    const bool queued = m_database.post([this, signIn, address](ServiceDatabase& database) {
        std::optional<Response> answer = startSignIn(*signIn, address, database);
        database.noticeLoss();
        if (answer)
            signIn->respond(std::move(*answer));
        else
            checkPassword(signIn);
    });
    if (!queued)
        respond(withRetryAfter(
            signInForm(signIn->form, signIn->email, QStringLiteral("The service is busy. Try again in a moment."), 503),
            1));
}

std::optional<Response> ReferenceService::startSignIn(SignIn& signIn, const QString& address, ServiceDatabase& database)
{
    const auto failed = [&] {
        return withRetryAfter(
            signInForm(signIn.form, signIn.email, QStringLiteral("The service could not sign you in; try again."), 503),
            2);
    };
    // Guessing is limited before any work is done for it, and counted
    // from its start.
    const ServiceDatabase::Attempt attempt = database.beginSignIn(address, signIn.email, m_limits);
    if (attempt.outcome == ServiceDatabase::Attempt::Failed)
        return failed();
    if (attempt.outcome == ServiceDatabase::Attempt::Limited) {
        const qint64 seconds = (attempt.waitMs + 999) / 1000;
        return withRetryAfter(
            signInForm(signIn.form, signIn.email,
                QStringLiteral("Too many failed sign-ins. Try again in %1 seconds.").arg(seconds), 429),
            seconds);
    }
    signIn.attemptId = attempt.id;
    signIn.iterations = m_iterations;
    if (signIn.create) {
        signIn.salt = ServiceDatabase::newSalt();
    } else {
        const auto found = database.credentials(signIn.email);
        if (found) {
            signIn.credentials = found.value;
            signIn.salt = found.value->salt;
            signIn.iterations = found.value->iterations;
        } else if (found.error.kind == ServiceDatabase::Failure::Missing) {
            // An unknown address costs the same work as a known one, so
            // the time of the answer does not tell them apart either.
            signIn.salt = m_decoySalt;
            signIn.iterations = decoyIterations(database);
        } else {
            database.forgetSignIn(signIn.attemptId);
            return failed();
        }
    }
    if (m_hashing >= kMaxHashing) {
        database.forgetSignIn(signIn.attemptId);
        return withRetryAfter(
            signInForm(signIn.form, signIn.email, QStringLiteral("The service is busy. Try again in a moment."), 503),
            1);
    }
    return std::nullopt; // the password is checked next
}

int ReferenceService::decoyIterations(ServiceDatabase& database)
{
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    if (m_decoyIterations == 0 || nowMs - m_decoyCheckedMs > kDecoyRefreshMs) {
        m_decoyCheckedMs = nowMs;
        if (const std::optional<int> common = database.commonIterations())
            m_decoyIterations = *common;
    }
    return m_decoyIterations > 0 ? m_decoyIterations.load() : m_iterations.load();
}

void ReferenceService::checkPassword(std::shared_ptr<SignIn> signIn)
{
    ++m_hashing;
    m_hashers.start([this, signIn] {
        // Guessing must not slow everyone else down: when the cores are
        // busy, the threads that answer requests come before the derivations.
        thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
        Q_UNUSED(lowered);
        const QByteArray derived = ServiceDatabase::deriveKey(signIn->password, signIn->salt, signIn->iterations);
        --m_hashing;
        withDatabase(signIn->respond,
            [this, signIn, derived](ServiceDatabase& database) { return finishSignIn(*signIn, derived, database); });
    });
}

Response ReferenceService::finishSignIn(const SignIn& signIn, const QByteArray& derived, ServiceDatabase& database)
{
    const auto failed = [&](int status, const QString& message) {
        Response page = signInForm(signIn.form, signIn.email, message, status);
        return status == 503 ? withRetryAfter(page, 2) : page;
    };
    ServiceDatabase::Account signedIn;
    if (signIn.create) {
        const auto created = database.createAccount(signIn.email, signIn.salt, derived, m_iterations);
        if (!created && created.error.kind == ServiceDatabase::Failure::Exists) {
            // Creating cannot help telling that the address is taken; it
            // counts as a failed attempt so that it cannot be used to list
            // addresses any faster than guessing passwords.
            return failed(409,
                QStringLiteral("An account with this email address exists already. Sign in with its password "
                               "instead."));
        }
        if (!created) {
            database.forgetSignIn(signIn.attemptId);
            return failed(503, QStringLiteral("The service could not create the account; try again."));
        }
        signedIn = *created.value;
    } else {
        // A wrong password and an unknown address get the same answer.
        if (!signIn.credentials || !ServiceDatabase::sameKey(derived, signIn.credentials->key))
            return failed(401, QStringLiteral("Wrong email address or password."));
        signedIn = signIn.credentials->account;
    }
    database.forgetSignIn(signIn.attemptId);
    const auto token = database.issueToken(signedIn.id);
    if (!token)
        return failed(503, QStringLiteral("The service could not sign you in; try again."));
    QByteArray callback = signIn.form.redirectUri.toLatin1() + "?token=" + QUrl::toPercentEncoding(*token);
    if (!signIn.form.state.isEmpty())
        callback += "&state=" + QUrl::toPercentEncoding(signIn.form.state);
    // The browser hands the callback to the studio and stays on this page,
    // which says what happened instead of showing the filled form.
    Response page = html(200,
        QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Signed in to Corvex</title>"
                       "</head>\n<body>\n<h1>Signed in — you can return to Corvex Studio</h1>\n"
                       "<p>If Corvex Studio did not come back by itself, <a href=\"%1\">return to it</a>.</p>\n"
                       "</body></html>\n")
            .arg(QString::fromLatin1(callback).toHtmlEscaped()));
    page.headers.append(qMakePair(QByteArrayLiteral("Refresh"), "0; url=" + callback));
    return page;
}

} // namespace corvex::reference
