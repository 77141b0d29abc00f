// What one live colour message costs the capture thread that sends it: a send
// on an existing connection (lock, name lookup, one non-blocking datagram).
// Goal: well under 5 µs, with and without a receiver listening.

#include "platform/net/udp_listener.h"
#include "preview_link/udp_client.h"
#include "preview_link/udp_manager.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

// A receiver on its own thread that reads every datagram as it comes, like a
// light on the network would.
class DrainingReceiver {
public:
    DrainingReceiver()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            return;
        m_port = ntohs(local.sin_port);
        timeval timeout { 0, 100000 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        m_thread = std::thread([this] {
            char buffer[2048];
            while (!m_stop.load())
                ::recv(m_fd, buffer, sizeof buffer, 0);
        });
    }
    ~DrainingReceiver()
    {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

enum class Receiver { Listening, Draining, None };

void sendOnExistingConnection(benchmark::State& state, Receiver kind)
{
    corvex::net::UdpListener listener; // bound but never read: its buffer fills and the kernel drops
    DrainingReceiver draining;
    if (listener.listen(0, true) || draining.port() == 0) {
        state.SkipWithError("cannot bind a loopback UDP port");
        return;
    }
    const std::uint16_t port = kind == Receiver::Draining ? draining.port() : listener.port();
    // Nobody at the port: the first datagrams are refused (ICMP port
    // unreachable), the connection fails and later sends return at once with
    // the error, until the GUI thread drops the connection (not during the loop).
    if (kind == Receiver::None)
        listener.close();

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
    sendOnExistingConnection(state, Receiver::Listening);
}
void BM_SendToDrainingReceiver(benchmark::State& state)
{
    sendOnExistingConnection(state, Receiver::Draining);
}
void BM_SendWithoutReceiver(benchmark::State& state)
{
    sendOnExistingConnection(state, Receiver::None);
}

} // namespace

BENCHMARK(BM_SendToListeningReceiver);
BENCHMARK(BM_SendToDrainingReceiver);
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
