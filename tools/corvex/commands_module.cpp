// The commands that capture, decode films, reach the network or draw images,
// with the libraries they need.

#include "cli_support.h"
#include "commands.h"

#include <array>
#include <utility>

using namespace corvex::cli;

extern "C" Q_DECL_EXPORT int corvex_run_command(const QString& name, const QStringList& arguments)
{
    static constexpr std::array<std::pair<const char*, int (*)(const QStringList&)>, 12> kCommands { {
        { "make-frames", runMakeFrames },
        { "receive", runReceive },
        { "discover", runDiscover },
        { "login", runLogin },
        { "whoami", runWhoami },
        { "logout", runLogout },
        { "search", runSearch },
        { "upload", runUpload },
        { "shows", runShows },
        { "delete", runDelete },
        { "outbox", runOutbox },
        { "record", runRecord },
    } };
    if (name == QLatin1StringView(kHandOver) && arguments.size() == 1)
        return runHandOver(arguments.first());
    for (const auto& [command, run] : kCommands)
        if (name == QLatin1StringView(command))
            return run(arguments);
    printError(QStringLiteral("'%1' is not a command of this module").arg(name));
    return Usage;
}
