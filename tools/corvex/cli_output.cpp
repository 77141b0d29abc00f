#include "cli_support.h"

#include <cstdio>

namespace corvex::cli {

QString printable(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        // C0 and C1 controls and DEL: a terminal takes them as commands.
        const char16_t code = c.unicode();
        if (code == u'\n' || (code >= 0x20 && code != 0x7f && (code < 0x80 || code > 0x9f)))
            result.append(c);
    }
    return result;
}

void printError(const QString& message)
{
    const QByteArray line = QStringLiteral("corvex: %1\n").arg(printable(message)).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

void printOut(const QString& line)
{
    const QByteArray bytes = (printable(line) + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    // Whole lines as they come: a reader sees them at once, and none is lost
    // if the process ends without unwinding.
    std::fflush(stdout);
}

} // namespace corvex::cli
