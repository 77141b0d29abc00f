#include "cli_support.h"

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
    // Whole lines as they come: a reader sees them at once, and none is lost
    // if the process ends without unwinding.
    std::fflush(stdout);
}

} // namespace corvex::cli
