// The entry of a module that holds one command (CORVEX_COMMAND, set by the
// build), so that the command loads only the libraries its own code calls.

#include "commands.h"

extern "C" Q_DECL_EXPORT int corvex_run_command(const QString&, const QStringList& arguments)
{
    return corvex::cli::CORVEX_COMMAND(arguments);
}
