// corvex discover: lists the light receivers that DNS-SD finds on the local
// network, with the IPv4 address and port the studio would send to.

#include "cli_support.h"
#include "commands.h"
#include "event_wait.h"

#include "platform/dnssd/browser.h"
#include "platform/dnssd/resolver.h"
#include "preview_link/host_port.h"
#include "preview_link/udp_manager.h"

#include <QCommandLineParser>
#include <QLoggingCategory>

#include <map>
#include <memory>
#include <optional>

namespace corvex::cli {

namespace {

struct Receiver {
    dnssd::ServiceRecord service;
    std::unique_ptr<dnssd::Resolver> resolver;
    std::optional<preview_link::HostPort> hostPort;
    QString problem;
};

} // namespace

int runDiscover(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Looks for light receivers (DNS-SD type _corvexfeed._udp. in local.) for a few seconds and lists each "
        "one found: its name, and the IPv4 address and port that live colour messages would be sent to."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("seconds"), QStringLiteral("How long to look (default 3)."), QStringLiteral("N"),
        QStringLiteral("3") });
    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument '%1'; run 'corvex discover --help'")
                       .arg(parser.positionalArguments().first()));
        return Usage;
    }
    bool ok = false;
    const double seconds = parser.value(QStringLiteral("seconds")).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 3600) {
        printError(QStringLiteral("--seconds takes a time above 0 and at most 3600; got '%1'")
                       .arg(parser.value(QStringLiteral("seconds"))));
        return Usage;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("corvex.dnssd.warning=false"));

    const QString type = QString::fromLatin1(preview_link::kLightReceiverServiceType);
    dnssd::Browser browser;
    QList<QString> order;
    std::map<QString, Receiver> receivers;
    QObject::connect(&browser, &dnssd::Browser::serviceFound, &browser, [&](const dnssd::ServiceRecord& service) {
        if (receivers.contains(service.name))
            return;
        order.append(service.name);
        Receiver& receiver = receivers[service.name];
        receiver.service = service;
        receiver.resolver = std::make_unique<dnssd::Resolver>();
        QObject::connect(receiver.resolver.get(), &dnssd::Resolver::resolved, &browser,
            [&receiver](const dnssd::ServiceRecord&, const QList<dnssd::Address>& addresses) {
                receiver.hostPort = preview_link::firstIPv4HostPort(addresses);
                if (!receiver.hostPort)
                    receiver.problem = QStringLiteral("no IPv4 address");
            });
        QObject::connect(receiver.resolver.get(), &dnssd::Resolver::failed, &browser,
            [&receiver](const dnssd::ServiceRecord&, const QString& reason) { receiver.problem = reason; });
        receiver.resolver->resolve(service);
    });
    if (const Result<void> started = browser.start(type, QStringLiteral("local.")); !started) {
        printError(QStringLiteral("cannot look for light receivers: %1. Start avahi-daemon (and the system D-Bus), "
                                  "for example with 'systemctl start avahi-daemon'.")
                       .arg(started.error));
        return Failure;
    }
    runEventsFor(std::chrono::milliseconds(static_cast<qint64>(seconds * 1000)));
    browser.stop();
    // Let resolutions that started late finish (each has its own time-out).
    waitUntil(
        [&] {
            for (const auto& [name, receiver] : receivers) {
                if (receiver.resolver->isResolving())
                    return false;
            }
            return true;
        },
        dnssd::Resolver::kDefaultTimeout + std::chrono::milliseconds(500));

    if (order.isEmpty()) {
        printError(QStringLiteral("no light receivers (%1) found in %2 s").arg(type).arg(seconds));
        return Success;
    }
    int width = 4;
    for (const QString& name : order)
        width = std::max(width, static_cast<int>(name.size()));
    printOut(QStringLiteral("%1  %2  %3")
                 .arg(QStringLiteral("NAME"), -width)
                 .arg(QStringLiteral("ADDRESS"), -15)
                 .arg(QStringLiteral("PORT")));
    for (const QString& name : order) {
        const Receiver& receiver = receivers.at(name);
        if (receiver.hostPort) {
            printOut(QStringLiteral("%1  %2  %3")
                         .arg(name, -width)
                         .arg(receiver.hostPort->host, -15)
                         .arg(receiver.hostPort->port));
        } else {
            printOut(QStringLiteral("%1  %2  %3  (%4)")
                         .arg(name, -width)
                         .arg(QStringLiteral("-"), -15)
                         .arg(QStringLiteral("-"))
                         .arg(receiver.problem.isEmpty() ? QStringLiteral("not resolved") : receiver.problem));
        }
    }
    return Success;
}

} // namespace corvex::cli
