#pragma once

#include "database_workers.h"
#include "demo_catalogue.h"
#include "http_server.h"
#include "service_database.h"

#include <QThreadPool>

#include <atomic>
#include <optional>

namespace corvex::reference {

/// The light-show service's HTTP API over the database, plus (optionally)
/// the demo catalogue. Whatever needs the database runs on the database
/// threads; password derivations on threads of their own; the rest (the
/// sign-in page, the catalogue, refusals) at once. Logs one line per request
/// on standard error: method, path and status; never a query, a body or a
/// token.
class ReferenceService final : public HttpServer::Handler {
public:
    ReferenceService(DatabaseWorkers& database, const DemoCatalogue* catalogue, QString catalogueApiKey);
    ~ReferenceService() override;
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    /// PBKDF2 iterations for new accounts.
    void setPasswordIterations(int iterations) { m_iterations = iterations; }
    void setSignInLimits(const ServiceDatabase::SignInLimits& limits) { m_limits = limits; }
    /// Waits for the password checks under way.
    void finishWork() { m_hashers.waitForDone(); }

    void screen(
        const HttpRequest& request, qint64 maxBodyBytes, std::function<void(HttpServer::Screening)> done) override;
    void handle(HttpRequest request, HttpServer::Respond respond) override;
    void answered(const HttpRequest& request, int status) override;

    /// An email address as it is stored: NFC, lower case; none when it is
    /// not a plain address (no spaces, quotes, angle brackets or control
    /// characters; one "@" between a local part and a domain).
    static std::optional<QString> normalisedEmail(const QString& typed);

private:
    struct SignIn;
    using DatabaseWork = std::function<HttpResponse(ServiceDatabase&)>;
    /// What a request needs: an answer now, or work on a database thread.
    struct Route {
        std::optional<HttpResponse> now;
        DatabaseWork work;
    };

    Route route(const HttpRequest& request, const QStringList& segments);
    /// Runs `work` on a database thread and answers with its result; 503
    /// when too many requests wait for one already.
    void withDatabase(HttpServer::Respond respond, DatabaseWork work);
    HttpResponse signInPage(const HttpRequest& request);
    void signInSubmit(const HttpRequest& request, HttpServer::Respond respond);
    /// Counts the attempt and finds what checking it needs; an answer when
    /// it ends here.
    std::optional<HttpResponse> startSignIn(SignIn& signIn, const QString& address, ServiceDatabase& database);
    void checkPassword(std::shared_ptr<SignIn> signIn);
    HttpResponse finishSignIn(const SignIn& signIn, const QByteArray& derived, ServiceDatabase& database);
    HttpResponse account(const HttpRequest& request, ServiceDatabase& database);
    HttpResponse revokeToken(const HttpRequest& request, ServiceDatabase& database);
    HttpResponse upload(
        const HttpRequest& request, const QString& type, const QStringList& numbers, ServiceDatabase& database);
    HttpResponse listing(const HttpRequest& request, ServiceDatabase& database);
    HttpResponse remove(const HttpRequest& request, const QString& id, ServiceDatabase& database);
    HttpResponse catalogue(const HttpRequest& request, const QStringList& segments);
    /// The iterations unknown addresses are checked with: those most
    /// accounts have, so that their answers take as long.
    int decoyIterations(ServiceDatabase& database);

    /// The request's account; otherwise `refusal` is the answer: 401 for a
    /// token that is not valid, 503 when the database could not tell.
    static std::optional<ServiceDatabase::Account> authorise(
        const HttpRequest& request, ServiceDatabase& database, HttpResponse& refusal);

    DatabaseWorkers& m_database;
    const DemoCatalogue* m_catalogue;
    QString m_catalogueApiKey;
    std::atomic<int> m_iterations = 100'000;
    ServiceDatabase::SignInLimits m_limits;
    std::atomic<int> m_hashing = 0; // password derivations queued or running
    std::atomic<int> m_decoyIterations = 0;
    std::atomic<qint64> m_decoyCheckedMs = 0;
    const QByteArray m_decoySalt;
    QThreadPool m_hashers;
};

} // namespace corvex::reference
