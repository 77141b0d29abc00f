// What one live colour message costs the capture thread that sends it: a send
// on an existing connection (lock, name lookup, one non-blocking datagram).
// Goal: well under 5 µs, with and without a receiver listening.

#include "platform/net/udp_listener.h"
#include "preview_link/udp_client.h"
#include "preview_link/udp_manager.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

using corvex::dnssd::Address;
using corvex::preview_link::DiscoveredService;
using corvex::preview_link::UDPClient;

namespace {

// A typical message: nine cells of three-digit colours (about 280 bytes).
const QByteArray kMessage = R"({"00":{"r":120,"g":160,"b":116},"01":{"r":185,"g":151,"b":116},)"
                            R"("02":{"r":116,"g":151,"b":185},"10":{"r":120,"g":185,"b":116},)"
                            R"("11":{"r":116,"g":120,"b":185},"12":{"r":185,"g":116,"b":120},)"
                            R"("20":{"r":185,"g":120,"b":116},"21":{"r":162,"g":108,"b":151},)"
                            R"("22":{"r":120,"g":116,"b":185}})";

Address loopback(std::uint16_t port)
{
    return { Address::Family::IPv4, QByteArray("\x7f\x00\x00\x01", 4), port };
}

void sendOnExistingConnection(benchmark::State& state, bool receiverListening)
{
    corvex::net::UdpListener listener;
    if (listener.listen(0, true)) {
        state.SkipWithError("cannot bind a loopback UDP port");
        return;
    }
    const std::uint16_t port = listener.port();
    if (!receiverListening)
        listener.close(); // the port is refused from now on (ICMP port unreachable)

    UDPClient client(QString::fromLatin1(corvex::preview_link::kLightReceiverServiceType));
    const DiscoveredService receiver { QStringLiteral("Bench"), QStringLiteral("_corvexfeed._udp"),
        QStringLiteral("local"), -1, -1 };
    client.serviceDidResolveAddress(receiver, { loopback(port) });

    for (auto _ : state)
        client.send(kMessage, receiver);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessage.size());
    QCoreApplication::processEvents();
}

void BM_SendToListeningReceiver(benchmark::State& state)
{
    sendOnExistingConnection(state, true);
}
void BM_SendWithoutReceiver(benchmark::State& state)
{
    sendOnExistingConnection(state, false);
}

} // namespace

BENCHMARK(BM_SendToListeningReceiver);
BENCHMARK(BM_SendWithoutReceiver);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Without a receiver most sends report ECONNREFUSED; the log line is not
    // what is measured here.
    QLoggingCategory::setFilterRules(QStringLiteral("app.corvex.Studio.UDPClient.critical=false\n"
                                                    "corvex.dnssd.warning=false"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
