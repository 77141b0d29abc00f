#pragma once

#include <QStringList>

namespace corvex::cli {

// Each subcommand receives its own name followed by its arguments and returns
// the process's exit status.
int runAnalyse(const QStringList& arguments);
int runInspect(const QStringList& arguments);
int runMakeFrames(const QStringList& arguments);
int runMatch(const QStringList& arguments);
int runReceive(const QStringList& arguments);
int runDiscover(const QStringList& arguments);
int runLogin(const QStringList& arguments);
int runWhoami(const QStringList& arguments);
int runLogout(const QStringList& arguments);
int runSearch(const QStringList& arguments);
int runUpload(const QStringList& arguments);
int runShows(const QStringList& arguments);
int runDelete(const QStringList& arguments);
int runOutbox(const QStringList& arguments);
int runRecord(const QStringList& arguments);
int runAuthor(const QStringList& arguments);

/// A second launch with a corvexapp: URL: hands it to the waiting sign-in.
int runHandOver(const QString& url);

/// What a command module exports under the name kModuleEntry: runs the named
/// command (its arguments begin with "corvex NAME") and returns the exit status.
using ModuleEntry = int (*)(const QString& name, const QStringList& arguments);
inline constexpr const char* kModuleEntry = "corvex_run_command";
/// The name under which the program asks the module to hand over a sign-in's
/// answer (the arguments are then the URL alone).
inline constexpr const char* kHandOver = "hand-over";

} // namespace corvex::cli
