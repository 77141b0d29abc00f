#include "cli_support.h"

#include "analysis/proto/video_analysis.pb.h"
#include "platform/write_all.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace corvex::cli {

Result<QByteArray> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Result<QByteArray>::failure(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Result<QByteArray>::failure(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return Result<QByteArray>::success(std::move(contents));
}

namespace {

/// The file a path names, or nothing when it names none (yet).
std::optional<struct stat> fileAt(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info;
}

/// Whether the file is something other than a regular file or a folder (a
/// terminal, a pipe, /dev/null): that is written in place, since replacing it
/// with a new file, as an atomic write does, would destroy it.
bool writtenInPlace(const std::optional<struct stat>& info)
{
    return info && !S_ISREG(info->st_mode) && !S_ISDIR(info->st_mode);
}

} // namespace

Result<void> writeFile(const QString& path, const QByteArray& contents)
{
    // Unbuffered, so that a full disk fails the write itself rather than a
    // flush whose failure would not stop the commit.
    if (writtenInPlace(fileAt(path))) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !writeAll(file, contents))
            return Result<void>::failure(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return Result<void>::success();
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !writeAll(file, contents) || !file.commit())
        return Result<void>::failure(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return Result<void>::success();
}

Result<void> checkWritable(const QString& path, const QString& notDone, const QStringList& inputs)
{
    if (const auto output = fileAt(path)) {
        for (const QString& input : inputs) {
            const auto read = fileAt(input);
            if (read && read->st_dev == output->st_dev && read->st_ino == output->st_ino)
                return Result<void>::failure(QStringLiteral("%1 is the file being read (%2); %3: give -o another file")
                                                 .arg(path, input, notDone));
        }
        if (writtenInPlace(output)) {
            if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
                return Result<void>::failure(QStringLiteral("cannot write %1: %2; %3")
                                                 .arg(path, QString::fromLocal8Bit(std::strerror(errno)), notDone));
            return Result<void>::success();
        }
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Result<void>::failure(QStringLiteral("cannot write %1: %2; %3: give -o a file in a folder you can write")
                                         .arg(path, file.errorString(), notDone));
    file.cancelWriting();
    return Result<void>::success();
}

void warnEmptySignature(const QString& path)
{
    printError(QStringLiteral("%1 has an empty signature: a signature takes a few seconds of sound, and the sound "
                              "recorded was shorter, so receivers cannot find their place in it by listening")
                   .arg(path));
}

QString keepRefusedAdvice(const QString& id)
{
    return QStringLiteral("keep it with 'corvex outbox --save %1 FILE', then 'corvex outbox --remove %1'").arg(id);
}

std::optional<int> parseArguments(QCommandLineParser& parser, const QStringList& arguments)
{
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(commandHelp(parser, arguments.first()));
        return Success;
    }
    return std::nullopt;
}

Result<VideoAnalysis> readRecord(const QString& path)
{
    const Result<QByteArray> bytes = readFile(path);
    if (!bytes)
        return Result<VideoAnalysis>::failure(bytes.error);
    if (bytes.value->size() > std::numeric_limits<int>::max()) {
        return Result<VideoAnalysis>::failure(
            QStringLiteral("%1 is too large to be a light-show record (%2 bytes)").arg(path).arg(bytes.value->size()));
    }
    VideoAnalysis record;
    if (!record.ParseFromArray(bytes.value->constData(), static_cast<int>(bytes.value->size()))) {
        return Result<VideoAnalysis>::failure(
            QStringLiteral("%1 is not a light-show record: it does not decode as a VideoAnalysis message").arg(path));
    }
    return Result<VideoAnalysis>::success(std::move(record));
}

Result<media::Rect> parseCrop(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    double values[4] = {};
    bool ok = parts.size() == 4;
    for (int i = 0; ok && i < 4; ++i) {
        values[i] = parts.at(i).trimmed().toDouble(&ok);
        ok = ok && std::isfinite(values[i]);
    }
    const media::Rect crop { values[0], values[1], values[2], values[3] };
    if (!ok || crop.x < 0 || crop.y < 0 || crop.width <= 0 || crop.height <= 0 || crop.x + crop.width > 1
        || crop.y + crop.height > 1) {
        return Result<media::Rect>::failure(
            QStringLiteral("--crop takes X,Y,W,H as fractions of the frame (0 to 1, origin top left) with "
                           "W and H above 0, X+W at most 1 and Y+H at most 1; got '%1'")
                .arg(text));
    }
    return Result<media::Rect>::success(crop);
}

std::optional<int> parseCommand(QCommandLineParser& parser, const QStringList& arguments, const QString& description,
    int minimumArguments, int maximumArguments)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    const qsizetype count = parser.positionalArguments().size();
    if (count < minimumArguments || (maximumArguments >= 0 && count > maximumArguments)) {
        printError(QStringLiteral("wrong number of arguments; run '%1 --help'").arg(arguments.first()));
        return Usage;
    }
    return std::nullopt;
}

std::optional<qint64> parseInteger(const QString& text, const QString& what)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok) {
        printError(QStringLiteral("%1 '%2' is not a whole number").arg(what, text));
        return std::nullopt;
    }
    return value;
}

QString commandHelp(const QCommandLineParser& parser, const QString& command)
{
    QString text = parser.helpText();
    const QString program = QCoreApplication::arguments().value(0);
    const QString usage = QStringLiteral("Usage: ");
    if (text.startsWith(usage + program))
        text.replace(usage.size(), program.size(), command);
    return text.trimmed();
}

} // namespace corvex::cli
