#include "cli_support.h"

#include "service/session.h"
#include "service/upload_delivery.h"

namespace corvex::cli {

service::Session* serviceManager()
{
    // The one process-wide manager: the tool's commands act for the same
    // account, settings and outbox as the studio.
    service::Session& shared = service::Session::shared();
    if (!shared.configurationError().isEmpty()) {
        printError(shared.configurationError());
        return nullptr;
    }
    return &shared;
}

service::UploadDelivery* serviceUploads()
{
    return serviceManager() ? &service::UploadDelivery::shared() : nullptr;
}

bool requireToken(const service::Session& manager)
{
    if (manager.accessToken())
        return true;
    if (const std::optional<QString> issuer = manager.tokenOrigin())
        printError(QStringLiteral("not signed in here: the stored sign-in is for the service at %1, not for %2; run "
                                  "'corvex login' to sign in here, or set the service back")
                       .arg(*issuer, manager.serviceOrigin().value_or(QString())));
    else
        printError(QStringLiteral("not signed in: run 'corvex login' first"));
    return false;
}

} // namespace corvex::cli
