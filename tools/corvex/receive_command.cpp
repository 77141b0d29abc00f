// corvex receive: a light receiver for authors without hardware. Listens for
// live colour messages on UDP, announces itself by DNS-SD as the studio's
// receivers do, and shows each message as a 3 x 3 grid of colours.

#include "cli_support.h"
#include "commands.h"
#include "event_wait.h"

#include "analysis/live_colour_message.h"
#include "platform/net/socket_error.h"
#include "preview_link/udp_manager.h"
#include "preview_link/udp_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSysInfo>

#include <cstdio>
#include <optional>
#include <string>

namespace corvex::cli {

namespace {

constexpr int kGrid = 3;
constexpr int kCellWidth = 8; // characters
constexpr int kCellHeight = 2; // lines
constexpr int kDrawnLines = kGrid * kCellHeight + 1; // the grid and the status line

std::string memberName(int x, int y)
{
    return std::to_string(x) + std::to_string(y);
}

/// The colours of a valid live colour message: exactly the nine grid cells,
/// each component within 0..255. Otherwise none, with the reason.
std::optional<analysis::PreviewColors> validMessage(const QByteArray& datagram, QString& reason)
{
    std::optional<analysis::PreviewColors> colors
        = analysis::decodeLiveColourMessage(std::string_view(datagram.constData(), std::size_t(datagram.size())));
    if (!colors) {
        reason = QStringLiteral("not a JSON object of {\"r\",\"g\",\"b\"} colours");
        return std::nullopt;
    }
    for (int x = 0; x < kGrid; ++x) {
        for (int y = 0; y < kGrid; ++y) {
            if (!colors->contains(memberName(x, y))) {
                reason = QStringLiteral("cell \"%1\" is missing").arg(QString::fromStdString(memberName(x, y)));
                return std::nullopt;
            }
        }
    }
    if (colors->size() != kGrid * kGrid) {
        reason = QStringLiteral("%1 members instead of the nine grid cells").arg(colors->size());
        return std::nullopt;
    }
    for (const auto& [name, colour] : *colors) {
        for (const std::int64_t component : { colour.r, colour.g, colour.b }) {
            if (component < 0 || component > 255) {
                reason = QStringLiteral("cell \"%1\" has a component outside 0..255").arg(QString::fromStdString(name));
                return std::nullopt;
            }
        }
    }
    return colors;
}

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

class Display {
public:
    Display(bool json, QString name, std::uint16_t port)
        : m_json(json)
        , m_name(std::move(name))
        , m_port(port)
    {
    }

    void message(const analysis::PreviewColors& colors)
    {
        ++m_valid;
        if (m_json) {
            writeOut(QByteArray::fromStdString(analysis::encodeLiveColourMessage(colors) + '\n'));
            return;
        }
        m_colors = colors;
        draw();
    }

    void invalid(const QString& reason)
    {
        ++m_invalid;
        m_lastReason = reason;
        if (m_json)
            printError(QStringLiteral("ignored a datagram that is not a live colour message (%1); %2 so far")
                           .arg(reason)
                           .arg(m_invalid));
        else
            draw();
    }

    void finish()
    {
        if (!m_json && m_drawn)
            writeOut("\x1b[0m\n");
    }

    int validCount() const { return m_valid; }

private:
    void draw()
    {
        QByteArray out;
        if (m_drawn)
            out += "\x1b[" + QByteArray::number(kDrawnLines) + "A";
        for (int y = 0; y < kGrid; ++y) {
            for (int line = 0; line < kCellHeight; ++line) {
                out += '\r';
                for (int x = 0; x < kGrid; ++x) {
                    const auto it = m_colors.find(memberName(x, y));
                    if (it == m_colors.end()) {
                        out += QByteArray(kCellWidth, ' ');
                        continue;
                    }
                    out += "\x1b[48;2;" + QByteArray::number(it->second.r) + ';' + QByteArray::number(it->second.g)
                        + ';' + QByteArray::number(it->second.b) + 'm' + QByteArray(kCellWidth, ' ') + "\x1b[0m";
                }
                out += "\x1b[K\n";
            }
        }
        QString status = QStringLiteral("%1 on UDP port %2: %3 messages").arg(m_name).arg(m_port).arg(m_valid);
        if (m_invalid > 0)
            status += QStringLiteral(", %1 not live colour messages (last: %2)").arg(m_invalid).arg(m_lastReason);
        out += '\r' + status.toUtf8() + "\x1b[K\n";
        writeOut(out);
        m_drawn = true;
    }

    const bool m_json;
    const QString m_name;
    const std::uint16_t m_port;
    analysis::PreviewColors m_colors;
    int m_valid = 0;
    int m_invalid = 0;
    QString m_lastReason;
    bool m_drawn = false;
};

} // namespace

int runReceive(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A light receiver on this machine: listens for live colour messages on UDP and announces itself on the "
        "local network (DNS-SD type _corvexfeed._udp.) so that the studio and 'corvex analyse --preview' can "
        "choose it. Each message is drawn as a 3 x 3 grid of colours, redrawn in place; datagrams that are not "
        "live colour messages are counted in the status line. Stop it with Ctrl+C."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("name"), QStringLiteral("Name to announce (default: this machine's host name)."),
        QStringLiteral("NAME") });
    parser.addOption({ QStringLiteral("port"), QStringLiteral("UDP port to listen on (default 0: any free port)."),
        QStringLiteral("N"), QStringLiteral("0") });
    parser.addOption({ QStringLiteral("json"),
        QStringLiteral("Print each message as one compact JSON line instead of drawing it.") });
    parser.addOption(
        { QStringLiteral("count"), QStringLiteral("Exit after N valid messages (default 0: run until interrupted)."),
            QStringLiteral("N"), QStringLiteral("0") });

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument '%1'; run 'corvex receive --help'")
                       .arg(parser.positionalArguments().first()));
        return Usage;
    }
    bool ok = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&ok);
    if (!ok || port > 65535) {
        printError(QStringLiteral("--port takes a UDP port number from 0 to 65535; got '%1'")
                       .arg(parser.value(QStringLiteral("port"))));
        return Usage;
    }
    const int count = parser.value(QStringLiteral("count")).toInt(&ok);
    if (!ok || count < 0) {
        printError(QStringLiteral("--count takes a number of messages, 0 or more; got '%1'")
                       .arg(parser.value(QStringLiteral("count"))));
        return Usage;
    }
    QString name = parser.isSet(QStringLiteral("name")) ? parser.value(QStringLiteral("name"))
                                                        : QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0);
    if (name.isEmpty() || name.toUtf8().size() > 63) {
        printError(QStringLiteral("--name takes a name of 1 to 63 bytes; got '%1'").arg(name));
        return Usage;
    }
    const bool json = parser.isSet(QStringLiteral("json"));
    // Failures are told below, with what to do; the announcement itself is logged.
    QLoggingCategory::setFilterRules(QStringLiteral("corvex.dnssd.warning=false\n"
                                                    "app.corvex.Studio.UDPClient.critical=false"));

    preview_link::UDPServer server(QString::fromLatin1(preview_link::kLightReceiverServiceType), name);
    if (const std::optional<net::SocketError> error = server.start(static_cast<std::uint16_t>(port))) {
        printError(QStringLiteral("cannot listen on UDP port %1: %2; choose another with --port")
                       .arg(port)
                       .arg(error->description()));
        return Failure;
    }
    printError(QStringLiteral("listening on UDP port %1 as \"%2\"").arg(*server.port()).arg(name));

    Display display(json, name, *server.port());
    int status = Success;
    QObject::connect(&server, &preview_link::UDPServer::publishFailed, &server, [&](const QString& reason) {
        printError(QStringLiteral("cannot announce \"%1\" on the local network: %2. If the name is taken, choose "
                                  "another with --name; otherwise check that avahi-daemon runs.")
                       .arg(name, reason));
        status = Failure;
        QCoreApplication::exit(Failure);
    });
    server.dataHandler = [&](const QByteArray& datagram) {
        QString reason;
        if (const std::optional<analysis::PreviewColors> colors = validMessage(datagram, reason))
            display.message(*colors);
        else
            display.invalid(reason);
        if (count > 0 && display.validCount() >= count)
            QCoreApplication::exit(Success);
    };

    quitOnInterrupt();
    QCoreApplication::exec();
    server.stop();
    display.finish();
    return status;
}

} // namespace corvex::cli
