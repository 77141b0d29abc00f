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

} // namespace corvex::cli
