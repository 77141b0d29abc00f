#include "cli_support.h"

#include "service/app_manager.h"

namespace corvex::cli {

service::AppManager* serviceManager()
{
    // The one process-wide manager: the tool's commands act for the same
    // account, settings and outbox as the studio.
    service::AppManager& shared = service::AppManager::shared();
    if (!shared.configurationError().isEmpty()) {
        printError(shared.configurationError());
        return nullptr;
    }
    return &shared;
}

bool requireToken(const service::AppManager& manager)
{
    if (manager.accessToken())
        return true;
    printError(QStringLiteral("not signed in: run 'corvex login' first"));
    return false;
}

} // namespace corvex::cli
