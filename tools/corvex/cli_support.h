#pragma once

#include <QString>
#include <QStringList>

namespace corvex::cli {

/// Exit statuses of every subcommand.
enum ExitCode : int {
    Success = 0,
    Failure = 1, // the input was read but is not acceptable, or an output could not be written
    Usage = 2, // the command line itself is wrong
};

/// Writes "corvex: <message>" on standard error.
void printError(const QString& message);
/// Writes a line on standard output.
void printOut(const QString& line);

/// Reads a whole file; on failure returns false with a message naming the file.
bool readFile(const QString& path, QByteArray& contents, QString& error);
/// Writes a whole file atomically; on failure returns false with a message.
bool writeFile(const QString& path, const QByteArray& contents, QString& error);

} // namespace corvex::cli

class QCommandLineParser;

namespace corvex::cli {

/// The parser's help text with the usage line naming the subcommand
/// ("Usage: corvex analyse [options] ...") instead of the program's path.
QString commandHelp(const QCommandLineParser& parser, const QString& command);

} // namespace corvex::cli
