#include "reference_service.h"

#include "analysis/video_analysis_record.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace corvex::reference {

namespace {

using Response = HttpResponse;

constexpr qint64 kDefaultLimit = 100;
constexpr qint64 kMaxFormBytes = 16 * 1024;
constexpr int kMaxHashing = 32;
constexpr qint64 kDecoyRefreshMs = 60'000;
const QByteArray kFormCookie = QByteArrayLiteral("corvex_signin");

bool isUploadKey(const QByteArray& key)
{
    if (key.size() > 255)
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

Response json(int status, const QJsonObject& object)
{
    return { status, QJsonDocument(object).toJson(QJsonDocument::Compact), QByteArrayLiteral("application/json"),
        { { QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff") } } };
}

Response problem(int status, const QString& message)
{
    return json(status, { { QStringLiteral("error"), message } });
}

Response withRetryAfter(Response response, qint64 seconds)
{
    response.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds)));
    return response;
}

// Not the client's fault, and not for good: a 401 or 404 would make the
// studio sign out or forget a show.
Response unavailable()
{
    return withRetryAfter(
        problem(503, QStringLiteral("the service cannot reach its database; try again in a moment")), 2);
}

// The answer to an upload whose Idempotency-Key the service has seen: the
// show it stored, or a refusal when the key came with another upload.
Response keyedAnswer(const ServiceDatabase::KeyedShow& show)
{
    if (!show.sameUpload)
        return problem(422, QStringLiteral("this Idempotency-Key was already used for another upload"));
    return json(200, { { QStringLiteral("id"), show.id } });
}

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

std::optional<qint64> parseNumber(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^-?[0-9]{1,18}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
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

QStringList pathSegments(const QUrl& url)
{
    // Each segment is decoded on its own, so an encoded "/" stays inside its segment.
    const QString path = url.path(QUrl::FullyEncoded);
    QStringList segments = path.split(QLatin1Char('/'));
    if (!segments.isEmpty() && segments.first().isEmpty())
        segments.removeFirst();
    for (QString& segment : segments)
        segment = QUrl::fromPercentEncoding(segment.toUtf8());
    return segments;
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

ReferenceService::ReferenceService(DatabaseWorkers& database, const DemoCatalogue* catalogue, QString catalogueApiKey)
    : m_database(database)
    , m_catalogue(catalogue)
    , m_catalogueApiKey(std::move(catalogueApiKey))
    , m_decoySalt(ServiceDatabase::newSalt())
{
    // Two derivations at a time leave the machine's other core to everyone else.
    m_hashers.setMaxThreadCount(2);
}

ReferenceService::~ReferenceService()
{
    m_hashers.waitForDone();
}

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

void ReferenceService::screen(
    const HttpRequest& request, qint64 maxBodyBytes, std::function<void(HttpServer::Screening)> done)
{
    // Two credentials leave it open which one is meant; no guessing.
    if (request.count("authorization") > 1)
        return done({ problem(400, QStringLiteral("send one Authorization header")), 0 });
    const QStringList s = pathSegments(request.url());
    const bool upload = request.method == "POST" && s.size() >= 2 && s.at(0) == QLatin1StringView("tvapi")
        && s.at(1) == QLatin1StringView("lightshow");
    if (!upload) {
        // Nothing else takes more than a sign-in form.
        return done({ std::nullopt, std::min(maxBodyBytes, kMaxFormBytes) });
    }
    // An upload is read only for a valid token.
    const bool queued = m_database.post([request, maxBodyBytes, done](ServiceDatabase& database) {
        Response refusal;
        const bool authorised = authorise(request, database, refusal).has_value();
        database.noticeLoss();
        done(authorised ? HttpServer::Screening { std::nullopt, maxBodyBytes } : HttpServer::Screening { refusal, 0 });
    });
    if (!queued)
        done({ unavailable(), 0 });
}

void ReferenceService::handle(HttpRequest request, HttpServer::Respond respond)
{
    const QStringList segments = pathSegments(request.url());
    if (request.method == "POST" && segments == QStringList { QStringLiteral("auth"), QStringLiteral("signin") })
        return signInSubmit(request, std::move(respond));
    Route next = route(request, segments);
    if (next.now)
        return respond(std::move(*next.now));
    withDatabase(std::move(respond), std::move(next.work));
}

void ReferenceService::withDatabase(HttpServer::Respond respond, DatabaseWork work)
{
    const bool queued = m_database.post([respond, work = std::move(work)](ServiceDatabase& database) {
        Response response = work(database);
        database.noticeLoss();
        respond(std::move(response));
    });
    if (!queued)
        respond(withRetryAfter(problem(503, QStringLiteral("the service is busy; try again in a moment")), 2));
}

void ReferenceService::answered(const HttpRequest& request, int status)
{
    const QByteArray line = request.method + ' ' + request.url().path(QUrl::FullyEncoded).toUtf8() + ' '
        + QByteArray::number(status) + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

ReferenceService::Route ReferenceService::route(const HttpRequest& request, const QStringList& s)
{
    const QByteArray& method = request.method;
    const auto is = [&s](std::initializer_list<const char*> expected) {
        if (static_cast<qsizetype>(expected.size()) != s.size())
            return false;
        qsizetype i = 0;
        for (const char* part : expected) {
            if (part && s.at(i) != QLatin1StringView(part))
                return false;
            ++i;
        }
        return true;
    };
    const auto only = [&method](const char* allowed, DatabaseWork work) {
        if (method != allowed)
            return Route { problem(405, QStringLiteral("method not allowed")), {} };
        return Route { std::nullopt, std::move(work) };
    };

    if (is({ "auth", "signin" }))
        return { method == "GET" ? signInPage(request) : problem(405, QStringLiteral("method not allowed")), {} };
    if (is({ "auth", "token" }))
        return only("DELETE", [this, request](ServiceDatabase& db) { return revokeToken(request, db); });
    if (is({ "auth", "account" }))
        return only("GET", [this, request](ServiceDatabase& db) { return account(request, db); });
    if (is({ "tvapi", "lightshow", "movie", nullptr }))
        return only("POST", [this, request, s](ServiceDatabase& db) {
            return upload(request, QStringLiteral("movie"), { s.at(3) }, db);
        });
    if (is({ "tvapi", "lightshow", "tv", nullptr, nullptr, nullptr }))
        return only("POST",
            [this, request, s](ServiceDatabase& db) { return upload(request, QStringLiteral("tv"), s.mid(3), db); });
    if (is({ "tvapi", "me", "lightshows" }))
        return only("GET", [this, request](ServiceDatabase& db) { return listing(request, db); });
    if (is({ "tvapi", "me", "lightshows", nullptr }))
        return only("DELETE", [this, request, s](ServiceDatabase& db) { return remove(request, s.at(3), db); });
    if (m_catalogue && (s.value(0) == QLatin1StringView("3") || s.value(0) == QLatin1StringView("t")))
        return { method == "GET" ? catalogue(request, s) : problem(405, QStringLiteral("method not allowed")), {} };
    return { problem(404, QStringLiteral("no such resource")), {} };
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

std::optional<ServiceDatabase::Account> ReferenceService::authorise(
    const HttpRequest& request, ServiceDatabase& database, Response& refusal)
{
    const QByteArray header = request.value(QByteArrayLiteral("Authorization"));
    if (!header.startsWith("Bearer ") || header.size() <= 7) {
        refusal = problem(401, QStringLiteral("missing or unknown access token"));
        return std::nullopt;
    }
    const auto account = database.accountForToken(QString::fromLatin1(header.mid(7)));
    if (!account && account.error.kind == ServiceDatabase::Failure::Unavailable)
        refusal = unavailable();
    else if (!account)
        refusal = problem(401, QStringLiteral("missing or unknown access token"));
    return account.value;
}

Response ReferenceService::revokeToken(const HttpRequest& request, ServiceDatabase& database)
{
    const QByteArray header = request.value(QByteArrayLiteral("Authorization"));
    if (!header.startsWith("Bearer "))
        return problem(401, QStringLiteral("missing or unknown access token"));
    const auto revoked = database.revokeToken(QString::fromLatin1(header.mid(7)));
    if (revoked)
        return json(200, { { QStringLiteral("revoked"), true } });
    if (revoked.error.kind == ServiceDatabase::Failure::Missing)
        return problem(401, QStringLiteral("missing or unknown access token"));
    return unavailable();
}

Response ReferenceService::account(const HttpRequest& request, ServiceDatabase& database)
{
    Response refusal;
    const auto account = authorise(request, database, refusal);
    if (!account)
        return refusal;
    return json(200, { { QStringLiteral("id"), account->id }, { QStringLiteral("email"), account->email } });
}

Response ReferenceService::upload(
    const HttpRequest& request, const QString& type, const QStringList& numbers, ServiceDatabase& database)
{
    Response refusal;
    const auto account = authorise(request, database, refusal);
    if (!account)
        return refusal;
    const QByteArray key = request.value(QByteArrayLiteral("Idempotency-Key"));
    if (!key.isEmpty() && !isUploadKey(key))
        return problem(400, QStringLiteral("an Idempotency-Key is 1 to 255 visible ASCII characters"));
    QList<qint64> values;
    for (const QString& text : numbers) {
        const auto value = parseNumber(text);
        if (!value || *value < 0)
            return problem(400, QStringLiteral("\"%1\" is not a catalogue number").arg(text));
        values.append(*value);
    }
    if (values.first() == 0)
        return problem(400, QStringLiteral("catalogue id 0 does not exist"));

    const QByteArray& body = request.body;
    VideoAnalysis record;
    if (body.isEmpty() || !record.ParseFromArray(body.constData(), static_cast<int>(body.size())))
        return problem(400, QStringLiteral("the body is not a VideoAnalysis record"));
    if (const auto violation = analysis::findInvariantViolation(record))
        return problem(
            400, QStringLiteral("the record is not a valid light show: %1").arg(QString::fromStdString(*violation)));

    // A client that lost our answer sends the same upload again under the
    // same key: answer with the show stored the first time.
    std::optional<ServiceDatabase::UploadKey> uploadKey;
    if (!key.isEmpty()) {
        QCryptographicHash fingerprint(QCryptographicHash::Sha256);
        fingerprint.addData(request.url().path().toUtf8());
        fingerprint.addData(QByteArrayView("\n"));
        fingerprint.addData(body);
        uploadKey = ServiceDatabase::UploadKey { QString::fromLatin1(key), fingerprint.result() };
        const auto earlier = database.lightShowForKey(account->id, *uploadKey);
        if (earlier)
            return keyedAnswer(*earlier.value);
        if (earlier.error.kind != ServiceDatabase::Failure::Missing)
            return unavailable();
    }

    ServiceDatabase::NewLightShow show;
    show.authorId = account->id;
    show.type = type;
    show.tmdbId = values.at(0);
    show.season = values.value(1);
    show.episode = values.value(2);
    show.data = body;
    if (m_catalogue)
        show.title = m_catalogue->titleOf(type, show.tmdbId, show.season, show.episode);
    if (uploadKey) {
        const auto stored = database.addLightShowOnce(show, *uploadKey);
        return stored ? keyedAnswer(*stored) : unavailable();
    }
    const auto id = database.addLightShow(show);
    if (!id)
        return unavailable();
    return json(200, { { QStringLiteral("id"), *id } });
}

Response ReferenceService::listing(const HttpRequest& request, ServiceDatabase& database)
{
    Response refusal;
    const auto account = authorise(request, database, refusal);
    if (!account)
        return refusal;
    const QUrlQuery query = request.query();
    const qint64 limit = std::clamp<qint64>(
        parseNumber(query.queryItemValue(QStringLiteral("limit"))).value_or(kDefaultLimit), 1, 1000);
    const qint64 offset = std::max<qint64>(parseNumber(query.queryItemValue(QStringLiteral("offset"))).value_or(0), 0);
    qint64 total = 0;
    const std::optional<QJsonArray> results = database.lightShows(account->id, limit, offset, total);
    if (!results)
        return unavailable();
    return json(200,
        { { QStringLiteral("results"), *results }, { QStringLiteral("limit"), limit },
            { QStringLiteral("offset"), offset }, { QStringLiteral("total"), total } });
}

Response ReferenceService::remove(const HttpRequest& request, const QString& id, ServiceDatabase& database)
{
    Response refusal;
    const auto account = authorise(request, database, refusal);
    if (!account)
        return refusal;
    const auto deleted = database.deleteLightShow(account->id, id);
    if (deleted)
        return json(200, { { QStringLiteral("deleted"), id } });
    // Someone else's show answers like a missing one.
    if (deleted.error.kind == ServiceDatabase::Failure::Missing)
        return problem(404, QStringLiteral("no such light show"));
    return unavailable();
}

Response ReferenceService::catalogue(const HttpRequest& request, const QStringList& s)
{
    const auto notFound = [] {
        return json(404,
            { { QStringLiteral("success"), false }, { QStringLiteral("status_code"), 34 },
                { QStringLiteral("status_message"),
                    QStringLiteral("The resource you requested could not be found.") } });
    };
    if (s.size() == 4 && s.at(0) == QLatin1StringView("t") && s.at(1) == QLatin1StringView("p")
        && s.at(2) == QLatin1StringView("w92")) {
        const auto png = m_catalogue->poster(s.at(3));
        if (!png)
            return notFound();
        return { 200, *png, QByteArrayLiteral("image/png"), {} };
    }
    const QUrlQuery query = request.query();
    if (query.queryItemValue(QStringLiteral("api_key"), QUrl::FullyDecoded) != m_catalogueApiKey)
        return json(401,
            { { QStringLiteral("success"), false }, { QStringLiteral("status_code"), 7 },
                { QStringLiteral("status_message"),
                    QStringLiteral("Invalid API key: You must be granted a valid key.") } });
    if (s.size() == 3 && s.at(1) == QLatin1StringView("search") && s.at(2) == QLatin1StringView("multi"))
        return json(200, m_catalogue->search(query.queryItemValue(QStringLiteral("query"), QUrl::FullyDecoded)));
    if (s.size() == 3 && s.at(1) == QLatin1StringView("tv")) {
        const auto id = parseNumber(s.at(2));
        const auto details = id ? m_catalogue->tvDetails(*id) : std::nullopt;
        return details ? json(200, *details) : notFound();
    }
    if (s.size() == 5 && s.at(1) == QLatin1StringView("tv") && s.at(3) == QLatin1StringView("season")) {
        const auto id = parseNumber(s.at(2));
        const auto season = parseNumber(s.at(4));
        const auto details = id && season ? m_catalogue->seasonDetails(*id, *season) : std::nullopt;
        return details ? json(200, *details) : notFound();
    }
    return notFound();
}

} // namespace corvex::reference
