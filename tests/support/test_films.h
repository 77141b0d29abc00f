#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

#include <vector>

namespace corvex::test {

/// Test films are made by the tests themselves with the ffmpeg command.
inline bool haveFfmpeg()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
}

/// Runs `ffmpeg -y -v error ARGUMENTS`; the error text when it fails, empty otherwise.
inline QString runFfmpeg(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ffmpeg"),
        QStringList { QStringLiteral("-y"), QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error") }
            + arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("ffmpeg %1 failed: %2")
            .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
    return {};
}

/// A lavfi source of `seconds` of solid colours that change every second
/// (red, green, blue, white, ...): easy to check cell by cell.
inline QString colourCycle(double seconds, int width, int height, int rate = 30)
{
    static const char* colours[] = { "red", "lime", "blue", "white", "yellow", "magenta", "cyan", "orange" };
    QStringList parts;
    const int count = static_cast<int>(seconds + 0.999);
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("color=c=%1:s=%2x%3:r=%4:d=1[c%5]")
                     .arg(QLatin1StringView(colours[i % 8]))
                     .arg(width)
                     .arg(height)
                     .arg(rate)
                     .arg(i);
    QString inputs;
    for (int i = 0; i < count; ++i)
        inputs += QStringLiteral("[c%1]").arg(i);
    return parts.join(QLatin1Char(';')) + QLatin1Char(';') + inputs
        + QStringLiteral("concat=n=%1:v=1:a=0,trim=duration=%2").arg(count).arg(seconds);
}

/// What ffprobe says of a file: the start of the file and the presentation
/// times of the frames of one stream ("v:0", "a:0"), in seconds.
struct Probe {
    double start = 0;
    std::vector<double> frameTimes;
    QString error;
};

inline Probe probe(const QString& path, const QString& stream)
{
    Probe result;
    QProcess process;
    process.start(QStringLiteral("ffprobe"),
        { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), stream,
            QStringLiteral("-show_entries"), QStringLiteral("format=start_time:frame=best_effort_timestamp_time"),
            QStringLiteral("-of"), QStringLiteral("csv=p=0"), path });
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        result.error = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }
    // Frame lines come first, the format's start time last.
    QStringList lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return result;
    result.start = lines.takeLast().trimmed().toDouble();
    for (const QString& line : lines)
        result.frameTimes.push_back(line.trimmed().remove(',').toDouble());
    return result;
}

/// Writes 12,000 bytes of noise over the middle of a file.
inline bool damageMiddle(const QString& path)
{
    QByteArray garbage(12000, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) ^ (i >> 3));
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(file.size() / 2))
        return false;
    return file.write(garbage) == garbage.size();
}

/// Replaces every `from` in a file with `to` (of the same length); false when there is none.
inline bool replaceAll(const QString& path, const QByteArray& from, const QByteArray& to)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    if (!bytes.contains(from) || !file.seek(0))
        return false;
    return file.write(bytes.replace(from, to)) == bytes.size();
}

/// Keeps only the first `size` bytes of a file.
inline bool truncateFile(const QString& path, qint64 size)
{
    return QFile::resize(path, size);
}

} // namespace corvex::test

/// Skips a test that needs test films where ffmpeg is missing.
#define REQUIRE_FFMPEG()                                                                                               \
    if (!corvex::test::haveFfmpeg())                                                                                   \
    QSKIP("the ffmpeg command is not installed; it makes the test films")

/// Makes a test film with ffmpeg, failing the test with its error when it cannot.
#define MAKE_FILM(...)                                                                                                 \
    do {                                                                                                               \
        const QString failure = corvex::test::runFfmpeg(__VA_ARGS__);                                                  \
        QVERIFY2(failure.isEmpty(), qPrintable(failure));                                                              \
    } while (false)
