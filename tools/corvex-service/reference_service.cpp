#include "reference_service.h"

#include "analysis/video_analysis_record.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace corvex::reference {

namespace {

using Response = ReferenceService::Response;

constexpr qint64 kDefaultLimit = 100;
constexpr qint64 kMaxFormBytes = 16 * 1024;

bool isUploadKey(const QByteArray& key)
{
    if (key.size() > 255)
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

Response json(int status, const QJsonObject& object)
{
    return { status, QJsonDocument(object).toJson(QJsonDocument::Compact), QByteArrayLiteral("application/json"), {} };
}

Response problem(int status, const QString& message)
{
    return json(status, { { QStringLiteral("error"), message } });
}

Response html(int status, const QString& page)
{
    return { status, page.toUtf8(), QByteArrayLiteral("text/html; charset=utf-8"), {} };
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

// `state` is the client's, handed back with the answer.
QString signInForm(const QString& redirectUri, const QString& state, const QString& email, const QString& message)
{
    return QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign in to Corvex</title></head>\n<body>\n"
        "<h1>Sign in to Corvex</h1>\n%1"
        "<form method=\"post\" action=\"/auth/signin\">\n"
        "<input type=\"hidden\" name=\"redirectUri\" value=\"%2\">\n"
        "<input type=\"hidden\" name=\"state\" value=\"%4\">\n"
        "<p><label>Email <input type=\"email\" name=\"email\" value=\"%3\" required></label></p>\n"
        "<p><label>Password <input type=\"password\" name=\"password\" required minlength=\"8\"></label></p>\n"
        "<p><button type=\"submit\" name=\"action\" value=\"signin\">Sign in</button>\n"
        "<button type=\"submit\" name=\"action\" value=\"create\">Create account</button></p>\n"
        "<p>New here? Enter your email address and a password of at least 8 characters, then press Create "
        "account.</p>\n</form>\n</body></html>\n")
        .arg(message.isEmpty() ? QString() : QStringLiteral("<p role=\"alert\">%1</p>\n").arg(message.toHtmlEscaped()),
            redirectUri.toHtmlEscaped(), email.toHtmlEscaped(), state.toHtmlEscaped());
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

} // namespace

ReferenceService::ReferenceService(
    ServiceDatabase& database, const DemoCatalogue* catalogue, QString catalogueApiKey, QObject* parent)
    : QObject(parent)
    , m_database(database)
    , m_catalogue(catalogue)
    , m_catalogueApiKey(std::move(catalogueApiKey))
    , m_decoySalt(ServiceDatabase::newSalt())
{
    // Password derivations run here, never on the event loop; two at a
    // time leave the machine's other core to everyone else.
    m_hashers.setMaxThreadCount(2);
}

ReferenceService::~ReferenceService()
{
    m_hashers.waitForDone();
}

std::optional<HttpResponse> ReferenceService::screen(const HttpRequest& request, qint64& maxBodyBytes)
{
    const QStringList s = pathSegments(request.url());
    const bool upload = request.method == "POST" && s.size() >= 2 && s.at(0) == QLatin1StringView("tvapi")
        && s.at(1) == QLatin1StringView("lightshow");
    if (!upload) {
        // Nothing else takes more than a sign-in form.
        maxBodyBytes = std::min<qint64>(maxBodyBytes, kMaxFormBytes);
        return std::nullopt;
    }
    // An upload is read only for a valid token.
    Response refusal;
    if (!authorise(request, refusal))
        return refusal;
    return std::nullopt;
}

void ReferenceService::handle(const HttpRequest& request, HttpServer::Respond respond)
{
    const QStringList segments = pathSegments(request.url());
    if (request.method == "POST" && segments == QStringList { QStringLiteral("auth"), QStringLiteral("signin") }) {
        signInSubmit(request, std::move(respond));
        return;
    }
    respond(route(request, segments));
}

void ReferenceService::answered(const HttpRequest& request, int status)
{
    const QByteArray line = request.method + ' ' + request.url().path(QUrl::FullyEncoded).toUtf8() + ' '
        + QByteArray::number(status) + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

Response ReferenceService::route(const HttpRequest& request, const QStringList& s)
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
    const auto methodNotAllowed = [] { return problem(405, QStringLiteral("method not allowed")); };

    if (is({ "auth", "signin" }))
        return method == "GET" ? signInPage(request) : methodNotAllowed();
    if (is({ "auth", "token" }))
        return method == "DELETE" ? revokeToken(request) : methodNotAllowed();
    if (is({ "auth", "account" }))
        return method == "GET" ? account(request) : methodNotAllowed();
    if (is({ "tvapi", "lightshow", "movie", nullptr }))
        return method == "POST" ? upload(request, QStringLiteral("movie"), { s.at(3) }) : methodNotAllowed();
    if (is({ "tvapi", "lightshow", "tv", nullptr, nullptr, nullptr }))
        return method == "POST" ? upload(request, QStringLiteral("tv"), s.mid(3)) : methodNotAllowed();
    if (is({ "tvapi", "me", "lightshows" }))
        return method == "GET" ? listing(request) : methodNotAllowed();
    if (is({ "tvapi", "me", "lightshows", nullptr }))
        return method == "DELETE" ? remove(request, s.at(3)) : methodNotAllowed();
    if (m_catalogue && (s.value(0) == QLatin1StringView("3") || s.value(0) == QLatin1StringView("t")))
        return method == "GET" ? catalogue(request, s) : methodNotAllowed();
    return problem(404, QStringLiteral("no such resource"));
}

Response ReferenceService::signInPage(const HttpRequest& request)
{
    // The redirect target is read from the raw query: the studio sends it unencoded.
    const QString redirectUri = request.query().queryItemValue(QStringLiteral("redirectUri"), QUrl::FullyDecoded);
    if (!isCallbackUri(redirectUri))
        return html(400,
            QStringLiteral("<p>This sign-in page only returns to the Corvex studio "
                           "(redirectUri=corvexapp://callback).</p>"));
    return html(200,
        signInForm(redirectUri, request.query().queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded), QString(),
            QString()));
}

void ReferenceService::signInSubmit(const HttpRequest& request, HttpServer::Respond respond)
{
    QByteArray body = request.body();
    body.replace('+', ' ');
    const QUrlQuery form(QString::fromUtf8(body));
    const QString redirectUri = form.queryItemValue(QStringLiteral("redirectUri"), QUrl::FullyDecoded);
    const QString state = form.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    // One account per address, whatever the case it is typed in.
    const QString email = form.queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded).trimmed().toLower();
    const QString password = form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded);
    const bool create = form.queryItemValue(QStringLiteral("action")) == QLatin1StringView("create");
    if (!isCallbackUri(redirectUri))
        return respond(html(400, QStringLiteral("<p>This sign-in page only returns to the Corvex studio.</p>")));
    if (!email.contains(QLatin1Char('@')) || email.size() > 254)
        return respond(
            html(400, signInForm(redirectUri, state, email, QStringLiteral("Enter a valid email address."))));
    if (password.size() < 8 || password.size() > 1024)
        return respond(html(400,
            signInForm(redirectUri, state, email, QStringLiteral("The password needs from 8 to 1024 characters."))));

    // Guessing is limited before any work is done for it.
    const QString addressKey = request.peer.toString();
    const qint64 waitMs = std::max(m_failedByAddress.waitFor(addressKey), m_failedByEmail.waitFor(email));
    if (waitMs > 0) {
        const qint64 seconds = (waitMs + 999) / 1000;
        Response refused = html(429,
            signInForm(redirectUri, state, email,
                QStringLiteral("Too many failed sign-ins. Try again in %1 seconds.").arg(seconds)));
        refused.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds)));
        return respond(refused);
    }
    if (m_hashing >= 32) {
        Response busy = html(
            503, signInForm(redirectUri, state, email, QStringLiteral("The service is busy. Try again in a moment.")));
        busy.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("1")));
        return respond(busy);
    }

    std::optional<ServiceDatabase::Credentials> credentials;
    QByteArray salt;
    int iterations = m_iterations;
    if (create) {
        salt = ServiceDatabase::newSalt();
    } else {
        ServiceDatabase::Credentials found;
        switch (m_database.credentials(email, found)) {
        case ServiceDatabase::Lookup::Failed:
            return respond(html(500,
                signInForm(
                    redirectUri, state, email, QStringLiteral("The service could not sign you in; try again."))));
        case ServiceDatabase::Lookup::Found:
            credentials = found;
            salt = found.salt;
            iterations = found.iterations;
            break;
        case ServiceDatabase::Lookup::Missing:
            // An unknown address costs the same work as a known one, so
            // the time of the answer does not tell them apart either.
            salt = m_decoySalt;
            break;
        }
    }

    ++m_hashing;
    QPointer<ReferenceService> self(this);
    m_hashers.start([self, request, redirectUri, state, email, create, credentials, salt, password, iterations,
                        respond = std::move(respond)] {
        // Guessing must not slow everyone else down: when the cores are
        // busy, the event loop's thread comes before the derivations.
        thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
        Q_UNUSED(lowered);
        const QByteArray derived = ServiceDatabase::deriveKey(password, salt, iterations);
        QMetaObject::invokeMethod(
            self.data(),
            [self, request, redirectUri, state, email, create, credentials, salt, derived, respond] {
                if (!self)
                    return;
                --self->m_hashing;
                self->finishSignIn(request, redirectUri, state, email, create, credentials, salt, derived, respond);
            },
            Qt::QueuedConnection);
    });
}

void ReferenceService::finishSignIn(const HttpRequest& request, const QString& redirectUri, const QString& state,
    const QString& email, bool create, const std::optional<ServiceDatabase::Credentials>& credentials,
    const QByteArray& salt, const QByteArray& derived, const HttpServer::Respond& respond)
{
    const auto failed = [&](int status, const QString& message) {
        m_failedByAddress.recordFailure(request.peer.toString());
        m_failedByEmail.recordFailure(email);
        respond(html(status, signInForm(redirectUri, state, email, message)));
    };
    ServiceDatabase::Account signedIn;
    if (create) {
        switch (m_database.createAccount(email, salt, derived, m_iterations, signedIn)) {
        case ServiceDatabase::Creation::Created:
            break;
        case ServiceDatabase::Creation::Exists:
            // Creating cannot help telling that the address is taken; it
            // counts as a failed attempt so that it cannot be used to list
            // addresses any faster than guessing passwords.
            return failed(409,
                QStringLiteral("An account with this email address exists already. Sign in with its password "
                               "instead."));
        case ServiceDatabase::Creation::Failed:
            return respond(html(500,
                signInForm(redirectUri, state, email,
                    QStringLiteral("The service could not create the account; try "
                                   "again."))));
        }
    } else {
        // A wrong password and an unknown address get the same answer.
        if (!credentials || !ServiceDatabase::sameKey(derived, credentials->key))
            return failed(401, QStringLiteral("Wrong email address or password."));
        signedIn = credentials->account;
    }
    const auto token = m_database.issueToken(signedIn.id);
    if (!token)
        return respond(html(500,
            signInForm(redirectUri, state, email, QStringLiteral("The service could not sign you in; try again."))));
    QUrl target(redirectUri);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("token"), *token);
    if (!state.isEmpty())
        query.addQueryItem(QStringLiteral("state"), state);
    target.setQuery(query);
    Response response = html(303, QStringLiteral("<p>Signed in. Returning to the studio…</p>"));
    response.headers.append(qMakePair(QByteArrayLiteral("Location"), target.toEncoded()));
    response.headers.append(qMakePair(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")));
    respond(response);
}

std::optional<ServiceDatabase::Account> ReferenceService::authorise(const HttpRequest& request, Response& refusal)
{
    const QByteArray header = request.value(QByteArrayLiteral("Authorization"));
    bool failed = false;
    std::optional<ServiceDatabase::Account> account;
    if (header.startsWith("Bearer ") && header.size() > 7)
        account = m_database.accountForToken(QString::fromLatin1(header.mid(7)), &failed);
    if (failed) {
        // Not the token's fault: a 401 would sign the author out.
        refusal = problem(503, QStringLiteral("the service cannot reach its database; try again in a moment"));
        refusal.headers.append(qMakePair(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("1")));
    } else if (!account) {
        refusal = problem(401, QStringLiteral("missing or unknown access token"));
    }
    return account;
}

Response ReferenceService::revokeToken(const HttpRequest& request)
{
    const QByteArray header = request.value(QByteArrayLiteral("Authorization"));
    if (!header.startsWith("Bearer ") || !m_database.revokeToken(QString::fromLatin1(header.mid(7))))
        return problem(401, QStringLiteral("missing or unknown access token"));
    return json(200, { { QStringLiteral("revoked"), true } });
}

Response ReferenceService::account(const HttpRequest& request)
{
    Response refusal;
    const auto account = authorise(request, refusal);
    if (!account)
        return refusal;
    return json(200, { { QStringLiteral("id"), account->id }, { QStringLiteral("email"), account->email } });
}

Response ReferenceService::upload(const HttpRequest& request, const QString& type, const QStringList& numbers)
{
    Response refusal;
    const auto account = authorise(request, refusal);
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

    const QByteArray body = request.body();
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
        if (const auto earlier = m_database.lightShowForKey(account->id, *uploadKey)) {
            if (!earlier->sameUpload)
                return problem(422, QStringLiteral("this Idempotency-Key was already used for another upload"));
            return json(200, { { QStringLiteral("id"), earlier->id } });
        }
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
        const auto stored = m_database.addLightShowOnce(show, *uploadKey);
        if (!stored)
            return problem(500, QStringLiteral("the light show could not be stored"));
        if (!stored->sameUpload)
            return problem(422, QStringLiteral("this Idempotency-Key was already used for another upload"));
        return json(200, { { QStringLiteral("id"), stored->id } });
    }
    const auto id = m_database.addLightShow(show);
    if (!id)
        return problem(500, QStringLiteral("the light show could not be stored"));
    return json(200, { { QStringLiteral("id"), *id } });
}

Response ReferenceService::listing(const HttpRequest& request)
{
    Response refusal;
    const auto account = authorise(request, refusal);
    if (!account)
        return refusal;
    const QUrlQuery query = request.query();
    const qint64 limit = std::clamp<qint64>(
        parseNumber(query.queryItemValue(QStringLiteral("limit"))).value_or(kDefaultLimit), 1, 1000);
    const qint64 offset = std::max<qint64>(parseNumber(query.queryItemValue(QStringLiteral("offset"))).value_or(0), 0);
    qint64 total = 0;
    const QJsonArray results = m_database.lightShows(account->id, limit, offset, total);
    return json(200,
        { { QStringLiteral("results"), results }, { QStringLiteral("limit"), limit },
            { QStringLiteral("offset"), offset }, { QStringLiteral("total"), total } });
}

Response ReferenceService::remove(const HttpRequest& request, const QString& id)
{
    Response refusal;
    const auto account = authorise(request, refusal);
    if (!account)
        return refusal;
    // Someone else's show answers like a missing one.
    if (!m_database.deleteLightShow(account->id, id))
        return problem(404, QStringLiteral("no such light show"));
    return json(200, { { QStringLiteral("deleted"), id } });
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
