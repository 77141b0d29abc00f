#pragma once

#include "platform/media/rect.h"
#include "platform/result.h"

#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineParser;
class VideoAnalysis;

namespace corvex::service {
class Session;
class UploadDelivery;
} // namespace corvex::service

namespace corvex::cli {

/// Exit statuses of every subcommand.
enum ExitCode : int {
    Success = 0,
    Failure = 1, // the input was read but is not acceptable, or an output could not be written
    Usage = 2, // the command line itself is wrong
};

/// The text without control characters (line breaks stay): what came from
/// the network (a service's account, a title, an error) cannot send a
/// terminal commands.
QString printable(const QString& text);
/// Writes "corvex: <message>" on standard error, printable().
void printError(const QString& message);
/// Writes a line on standard output, printable().
void printOut(const QString& line);

/// Reads a whole file; a failure's message names the file.
Result<QByteArray> readFile(const QString& path);
/// Writes a whole file atomically: it is there complete, or not changed at all.
/// A device or a pipe (/dev/stdout, /dev/null) is written in place.
Result<void> writeFile(const QString& path, const QByteArray& contents);
/// Checks, before long work whose result goes to `path`, that writeFile()
/// could write it there: its folder exists and takes files, it is no folder
/// itself, and it is none of `inputs` (by any name), which writing would
/// destroy. The message says what was kept from happening.
Result<void> checkWritable(const QString& path, const QString& notDone, const QStringList& inputs = {});

/// Warns that the record at `path` has an empty signature: its sound was too
/// short for one, so receivers cannot find their place in it by listening.
void warnEmptySignature(const QString& path);
/// How to keep a recording in the outbox that the service will never take:
/// "keep it with 'corvex outbox --save ID FILE', then …".
QString keepRefusedAdvice(const QString& id);

/// Parses a subcommand's arguments. Returns the exit status when the command
/// is already done: the arguments are wrong (the error is printed), or --help
/// was asked for (the help is printed).
std::optional<int> parseArguments(QCommandLineParser& parser, const QStringList& arguments);

/// A --crop value "X,Y,W,H": fractions of the frame, origin top left, lying
/// inside it. Otherwise a failure whose message says what is accepted.
Result<media::Rect> parseCrop(const QString& text);

/// Reads and decodes a light-show record file; a failure's message names the
/// file and the problem.
Result<VideoAnalysis> readRecord(const QString& path);

/// parseArguments() for a subcommand with a description and from
/// minimumArguments to maximumArguments positional arguments (-1: any number
/// above the minimum); a wrong count is printed and gives Usage.
std::optional<int> parseCommand(QCommandLineParser& parser, const QStringList& arguments, const QString& description,
    int minimumArguments, int maximumArguments);

/// A whole number given on the command line as `what` ("show id"); none, with
/// the problem printed, when the text is not one.
std::optional<qint64> parseInteger(const QString& text, const QString& what);

/// The studio's session with the service, on the studio's settings (its token
/// and addresses); none, with the problem printed, when the configuration is unusable.
service::Session* serviceManager();
/// The studio's uploads on that session and outbox; none, with the problem
/// printed, when the configuration is unusable.
service::UploadDelivery* serviceUploads();

/// Whether a token is stored; prints how to sign in when none is.
bool requireToken(const service::Session& manager);

/// The parser's help text with the usage line naming the subcommand
/// ("Usage: corvex analyse [options] ...") instead of the program's path.
QString commandHelp(const QCommandLineParser& parser, const QString& command);

} // namespace corvex::cli
