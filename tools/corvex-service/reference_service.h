#pragma once

#include "demo_catalogue.h"
#include "service_database.h"

#include <QAbstractHttpServer>

#include <optional>

namespace corvex::reference {

/// The light-show service's HTTP API over the database, plus (optionally)
/// the demo catalogue. Logs one line per request on standard error: method,
/// path and status; never a query, a body or a token.
class ReferenceService final : public QAbstractHttpServer {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReferenceService)

public:
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = QByteArrayLiteral("application/json");
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    ReferenceService(
        ServiceDatabase& database, const DemoCatalogue* catalogue, QString catalogueApiKey, QObject* parent = nullptr);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Response route(const QHttpServerRequest& request, const QStringList& segments);
    Response signInPage(const QHttpServerRequest& request);
    Response signInSubmit(const QHttpServerRequest& request);
    Response account(const QHttpServerRequest& request);
    Response revokeToken(const QHttpServerRequest& request);
    Response upload(const QHttpServerRequest& request, const QString& type, const QStringList& numbers);
    Response listing(const QHttpServerRequest& request);
    Response remove(const QHttpServerRequest& request, const QString& id);
    Response catalogue(const QHttpServerRequest& request, const QStringList& segments);

    std::optional<ServiceDatabase::Account> authorise(const QHttpServerRequest& request);
    void send(const QHttpServerRequest& request, QTcpSocket* socket, const Response& response);

    ServiceDatabase& m_database;
    const DemoCatalogue* m_catalogue;
    QString m_catalogueApiKey;
};

} // namespace corvex::reference
