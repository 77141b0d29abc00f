// The commands that only read records and sound files: they load Qt Core,
// Protocol Buffers and the fingerprinting and sound-file libraries, nothing else.

#include "cli_support.h"
#include "commands.h"

using namespace corvex::cli;

extern "C" Q_DECL_EXPORT int corvex_run_command(const QString& name, const QStringList& arguments)
{
    if (name == QLatin1StringView("inspect"))
        return runInspect(arguments);
    if (name == QLatin1StringView("match"))
        return runMatch(arguments);
    printError(QStringLiteral("'%1' is not a command of this module").arg(name));
    return Usage;
}
