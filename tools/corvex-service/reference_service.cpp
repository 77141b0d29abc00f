#include "reference_service.h"

#include "analysis/video_analysis_record.h"
#include "service_responses.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>
#include <cstdio>

namespace corvex::reference {

namespace {

using namespace responses;

constexpr qint64 kDefaultLimit = 100;
constexpr qint64 kMaxFormBytes = 16 * 1024;

bool isUploadKey(const QByteArray& key)
{
    if (key.size() > 255)
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7f; });
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

// The answer to an upload whose Idempotency-Key the service has seen: the
// show it stored, or a refusal when the key came with another upload.
Response keyedAnswer(const ServiceDatabase::KeyedShow& show)
{
    if (!show.sameUpload)
        return problem(422, QStringLiteral("this Idempotency-Key was already used for another upload"));
    return json(200, { { QStringLiteral("id"), show.id } });
}

std::optional<qint64> parseNumber(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^-?[0-9]{1,18}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

} // namespace

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
            return Route { notAllowed(allowed), {} };
        return Route { std::nullopt, std::move(work) };
    };

    if (is({ "auth", "signin" }))
        return { method == "GET" ? signInPage(request) : notAllowed("GET, POST"), {} };
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
        return { method == "GET" ? catalogue(request, s) : notAllowed("GET"), {} };
    return { problem(404, QStringLiteral("no such resource")), {} };
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
