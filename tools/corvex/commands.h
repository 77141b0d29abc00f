#pragma once

#include <QStringList>

namespace corvex::cli {

// Each subcommand receives its own name followed by its arguments and returns
// the process's exit status.
int runAnalyse(const QStringList& arguments);
int runInspect(const QStringList& arguments);
int runMakeFrames(const QStringList& arguments);
int runMatch(const QStringList& arguments);
int runRecord(const QStringList& arguments);

} // namespace corvex::cli
