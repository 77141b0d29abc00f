#pragma once

#include "demo_catalogue.h"
#include "failure_limiter.h"
#include "http_server.h"
#include "service_database.h"

#include <QObject>
#include <QThreadPool>

#include <optional>

namespace corvex::reference {

/// The light-show service's HTTP API over the database, plus (optionally)
/// the demo catalogue. Logs one line per request on standard error: method,
/// path and status; never a query, a body or a token.
class ReferenceService final : public QObject, public HttpServer::Handler {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReferenceService)

public:
    using Response = HttpResponse;

    ReferenceService(
        ServiceDatabase& database, const DemoCatalogue* catalogue, QString catalogueApiKey, QObject* parent = nullptr);
    ~ReferenceService() override;

    /// PBKDF2 iterations for new accounts (and for checking unknown addresses).
    void setPasswordIterations(int iterations) { m_iterations = iterations; }

    std::optional<HttpResponse> screen(const HttpRequest& request, qint64& maxBodyBytes) override;
    void handle(const HttpRequest& request, HttpServer::Respond respond) override;
    void answered(const HttpRequest& request, int status) override;

private:
    Response route(const HttpRequest& request, const QStringList& segments);
    Response signInPage(const HttpRequest& request);
    void signInSubmit(const HttpRequest& request, HttpServer::Respond respond);
    void finishSignIn(const HttpRequest& request, const QString& redirectUri, const QString& state,
        const QString& email, bool create, const std::optional<ServiceDatabase::Credentials>& credentials,
        const QByteArray& salt, const QByteArray& derived, const HttpServer::Respond& respond);
    Response account(const HttpRequest& request);
    Response revokeToken(const HttpRequest& request);
    Response upload(const HttpRequest& request, const QString& type, const QStringList& numbers);
    Response listing(const HttpRequest& request);
    Response remove(const HttpRequest& request, const QString& id);
    Response catalogue(const HttpRequest& request, const QStringList& segments);

    /// The request's account; otherwise `refusal` is the answer: 401 for a
    /// token that is not valid, 503 when the database could not tell.
    std::optional<ServiceDatabase::Account> authorise(const HttpRequest& request, Response& refusal);

    ServiceDatabase& m_database;
    const DemoCatalogue* m_catalogue;
    QString m_catalogueApiKey;
    int m_iterations = 100'000;
    // Five failed sign-ins a minute, per client address and per email address.
    FailureLimiter m_failedByAddress { 5, 60'000 };
    FailureLimiter m_failedByEmail { 5, 60'000 };
    int m_hashing = 0; // password derivations queued or running on the worker threads
    QByteArray m_decoySalt;
    QThreadPool m_hashers;
};

} // namespace corvex::reference
