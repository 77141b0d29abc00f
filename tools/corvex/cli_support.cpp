#include "cli_support.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace corvex::cli {

void printError(const QString& message)
{
    const QByteArray line = QStringLiteral("corvex: %1\n").arg(message).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

void printOut(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
}

bool readFile(const QString& path, QByteArray& contents, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    contents = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool writeFile(const QString& path, const QByteArray& contents, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace corvex::cli

#include <QCommandLineParser>
#include <QCoreApplication>

namespace corvex::cli {

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
