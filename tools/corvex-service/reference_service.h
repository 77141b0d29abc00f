#pragma once

#include "demo_catalogue.h"
#include "http_server.h"
#include "service_database.h"

#include <QObject>

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

    std::optional<HttpResponse> screen(const HttpRequest& request, qint64& maxBodyBytes) override;
    void handle(const HttpRequest& request, HttpServer::Respond respond) override;
    void answered(const HttpRequest& request, int status) override;

private:
    Response route(const HttpRequest& request, const QStringList& segments);
    Response signInPage(const HttpRequest& request);
    Response signInSubmit(const HttpRequest& request);
    Response account(const HttpRequest& request);
    Response revokeToken(const HttpRequest& request);
    Response upload(const HttpRequest& request, const QString& type, const QStringList& numbers);
    Response listing(const HttpRequest& request);
    Response remove(const HttpRequest& request, const QString& id);
    Response catalogue(const HttpRequest& request, const QStringList& segments);

    std::optional<ServiceDatabase::Account> authorise(const HttpRequest& request);

    ServiceDatabase& m_database;
    const DemoCatalogue* m_catalogue;
    QString m_catalogueApiKey;
};

} // namespace corvex::reference
