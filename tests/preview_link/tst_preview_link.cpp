// The preview link end to end: a published UDPServer found and fed by UDPClient
// through a real loopback-only avahi-daemon, and the client's bookkeeping
// (address choice, waiting messages, failed connections) over real sockets.

#include "platform/dnssd/publisher.h"
#include "platform/net/udp_listener.h"
#include "preview_link/udp_client.h"
#include "preview_link/udp_manager.h"
#include "preview_link/udp_server.h"
#include "support/avahi_daemon.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <netinet/in.h>
#include <optional>
#include <thread>

using corvex::dnssd::Address;
using corvex::net::UdpListener;
using corvex::preview_link::DiscoveredService;
using corvex::preview_link::UDPClient;
using corvex::preview_link::UDPManager;
using corvex::preview_link::UDPServer;

namespace {

const QString kType = QString::fromLatin1(corvex::preview_link::kLightReceiverServiceType);

QString uniqueName(const char* what)
{
    return QStringLiteral("corvex-link-%1-%2").arg(QCoreApplication::applicationPid()).arg(QLatin1StringView(what));
}

// The client's entry for the receiver called `name`, once it lists one.
std::optional<DiscoveredService> listedService(const UDPClient& client, const QString& name)
{
    for (const DiscoveredService& service : client.discoveredServices())
        if (service.name == name)
            return service;
    return std::nullopt;
}

// Collects the preview link's log lines and those of DNS-SD (from any thread).
class LogCapture {
public:
    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString& line) const { return static_cast<int>(lines().count(line)); }
    bool containsMatch(const QString& pattern) const { return !lines().filter(QRegularExpression(pattern)).isEmpty(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        LogCapture* self = s_current;
        const QLatin1StringView category(context.category ? context.category : "");
        if (self && (category == "app.corvex.Studio.UDPClient" || category == "corvex.dnssd")) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(message);
        }
        if (self && self->m_previous)
            self->m_previous(type, context, message);
    }

    static inline LogCapture* s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

struct Receiver {
    UdpListener listener;
    QList<QByteArray> datagrams;

    Receiver()
    {
        QObject::connect(&listener, &UdpListener::datagramReceived,
            [this](const QByteArray& datagram) { datagrams.append(datagram); });
    }
};

Address ipv4(std::uint16_t port)
{
    return { Address::Family::IPv4, QByteArray("\x7f\x00\x00\x01", 4), port };
}
Address ipv6Loopback(std::uint16_t port)
{
    QByteArray bytes(16, '\0');
    bytes[15] = 1;
    return { Address::Family::IPv6, bytes, port };
}

DiscoveredService unpublishedService(const char* what)
{
    return { uniqueName(what), QStringLiteral("_corvexfeed._udp"), QStringLiteral("local"), -1, -1 };
}

} // namespace

class TestPreviewLink final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void discoveryAndDeliveryEndToEnd();
    void restartEmptiesTheListAndKeepsConnections();
    void failedConnectionIsResolvedAgain();
    void addressSelection_data();
    void addressSelection();
    void laterAnswersReplaceOrKeepTheConnection();
    void anAnswerReplacesAConnectionThatJustFailed();
    void duplicateNamesAreListedOnce();
    void sendersOnOtherThreadsNeverSeeOlderMessagesLast();
    void withoutDaemon();
};

void TestPreviewLink::discoveryAndDeliveryEndToEnd()
{
    REQUIRE_DAEMON();
    LogCapture log;
    const QString name = uniqueName("e2e");
    UDPServer server(kType, name);
    QList<QByteArray> received;
    server.dataHandler = [&](const QByteArray& data) { received.append(data); };
    QSignalSpy published(&server, &UDPServer::published);
    QCOMPARE(server.start(), std::nullopt);
    QVERIFY(server.port().has_value());
    QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);
    QCOMPARE(log.count(QStringLiteral("✅ Bonjour service published: %1 (%2)").arg(name, kType)), 1);

    UDPClient client(kType);
    client.startDiscovery();
    QCOMPARE(log.count(QStringLiteral("🔍 Starting new discovery: _corvexfeed._udp.")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
    const DiscoveredService receiver = *listedService(client, name);
    QCOMPARE(log.count(QStringLiteral("Discovered service: %1").arg(name)), 1);

    // Nothing goes out before resolution; then only the newest message.
    const QByteArray first = R"({"11":{"r":1,"g":2,"b":3}})";
    const QByteArray second = R"({"11":{"r":4,"g":5,"b":6}})";
    client.send(first, receiver);
    client.send(second, receiver);
    QCOMPARE(received.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 6000);
    QCOMPARE(received.first(), second);

    // From now on every message goes straight out on the connection.
    const QByteArray third = R"({"11":{"r":255,"g":0,"b":128}})";
    client.send(third, receiver);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(1), third);
    // Datagrams on loopback arrive in order: once a last one is in, any
    // duplicate of the third would have arrived before it.
    const QByteArray last = R"({"11":{"r":7,"g":7,"b":7}})";
    client.send(last, receiver);
    QTRY_COMPARE(received.size(), 3);
    QCOMPARE(received, (QList<QByteArray> { second, third, last }));
    QVERIFY(!log.containsMatch(QStringLiteral("^❌")));
}

void TestPreviewLink::restartEmptiesTheListAndKeepsConnections()
{
    REQUIRE_DAEMON();
    const QString name = uniqueName("restart");
    UDPServer server(kType, name);
    QList<QByteArray> received;
    server.dataHandler = [&](const QByteArray& data) { received.append(data); };
    QSignalSpy published(&server, &UDPServer::published);
    QCOMPARE(server.start(), std::nullopt);
    QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);

    UDPClient client(kType);
    client.startDiscovery();
    QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
    const DiscoveredService receiver = *listedService(client, name);
    client.send(QByteArrayLiteral("before"), receiver);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 6000);

    QSignalSpy changed(&client, &UDPClient::discoveredServicesChanged);
    client.startDiscovery();
    QCOMPARE(client.discoveredServices().size(), 0);
    QCOMPARE(changed.size(), 1);
    // The open connection still carries messages while the list refills.
    client.send(QByteArrayLiteral("during"), receiver);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(1), QByteArrayLiteral("during"));
    QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
}

void TestPreviewLink::failedConnectionIsResolvedAgain()
{
    REQUIRE_DAEMON();
    LogCapture log;
    const QString name = uniqueName("refused");
    std::uint16_t closedPort = 0;
    {
        UdpListener probe;
        QVERIFY(!probe.listen(0, true));
        closedPort = probe.port();
    }
    // First announced at a port where nobody listens.
    corvex::dnssd::Publisher publisher;
    QSignalSpy published(&publisher, &corvex::dnssd::Publisher::published);
    publisher.publish(name, kType, closedPort);
    QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);

    UDPClient client(kType);
    client.startDiscovery();
    QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
    const DiscoveredService receiver = *listedService(client, name);

    client.send(QByteArrayLiteral("refused"), receiver);
    const QString failure = QStringLiteral("❌ Connection to %1 failed: Connection refused (ECONNREFUSED)").arg(name);
    QTRY_COMPARE_WITH_TIMEOUT(log.count(failure), 1, 6000);

    // The receiver comes back elsewhere: the next send resolves it again.
    Receiver moved;
    QVERIFY(!moved.listener.listen(0, true));
    publisher.publish(name, kType, moved.listener.port());
    QTRY_COMPARE_WITH_TIMEOUT(published.size(), 2, 10000);
    // The daemon may still answer from its cache for a moment and the send
    // fails once more; a streaming sender simply goes on with its next frame.
    QDeadlineTimer deadline(10000);
    while (moved.datagrams.isEmpty() && !deadline.hasExpired()) {
        client.send(QByteArrayLiteral("found again"), receiver);
        QTest::qWait(100);
    }
    QVERIFY(!moved.datagrams.isEmpty());
    QCOMPARE(moved.datagrams.first(), QByteArrayLiteral("found again"));
}

void TestPreviewLink::addressSelection_data()
{
    // Each address: family ("4" or "6") and which receiver's port it carries ("A" or "B").
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("reached");
    QTest::newRow("IPv4 only") << QStringList { "4A" } << "A";
    QTest::newRow("IPv6 first, then IPv4 with its own port") << QStringList { "6A", "4B" } << "B";
    QTest::newRow("first of two IPv4") << QStringList { "4B", "4A" } << "B";
    QTest::newRow("IPv6 only") << QStringList { "6A", "6B" } << "";
    QTest::newRow("no address") << QStringList {} << "";
}

void TestPreviewLink::addressSelection()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, reached);
    Receiver a;
    Receiver b;
    QVERIFY(!a.listener.listen(0, true));
    QVERIFY(!b.listener.listen(0, true));
    QList<Address> resolved;
    for (const QString& entry : addresses) {
        const std::uint16_t port = entry.at(1) == QLatin1Char('A') ? a.listener.port() : b.listener.port();
        resolved.append(entry.at(0) == QLatin1Char('4') ? ipv4(port) : ipv6Loopback(port));
    }

    UDPClient client(kType);
    const DiscoveredService service = unpublishedService("select");
    client.send(QByteArrayLiteral("waiting"), service);
    client.serviceDidResolveAddress(service, resolved);
    const QList<QByteArray> expected { QByteArrayLiteral("waiting") };
    if (reached.isEmpty())
        QVERIFY(client.hasPendingData(service.name)); // it was not sent anywhere
    else
        QTRY_COMPARE((reached == QLatin1StringView("A") ? a : b).datagrams, expected);
    QCOMPARE(a.datagrams, reached == QLatin1StringView("A") ? expected : QList<QByteArray> {});
    QCOMPARE(b.datagrams, reached == QLatin1StringView("B") ? expected : QList<QByteArray> {});

    if (reached.isEmpty()) {
        // No connection was made and the message still waits for a usable answer.
        client.serviceDidResolveAddress(service, { ipv6Loopback(b.listener.port()), ipv4(a.listener.port()) });
        QTRY_COMPARE(a.datagrams, expected);
        QCOMPARE(b.datagrams.size(), 0);
    }
}

void TestPreviewLink::laterAnswersReplaceOrKeepTheConnection()
{
    Receiver a;
    Receiver b;
    QVERIFY(!a.listener.listen(0, true));
    QVERIFY(!b.listener.listen(0, true));
    UDPClient client(kType);
    const DiscoveredService service = unpublishedService("moving");

    client.serviceDidResolveAddress(service, { ipv4(a.listener.port()) });
    client.send(QByteArrayLiteral("1"), service);
    // A second answer for the same endpoint (the other family's) changes nothing.
    client.serviceDidResolveAddress(service, { ipv4(a.listener.port()), ipv6Loopback(b.listener.port()) });
    client.send(QByteArrayLiteral("2"), service);
    // The receiver moved: the new endpoint takes over.
    client.serviceDidResolveAddress(service, { ipv4(b.listener.port()) });
    client.send(QByteArrayLiteral("3"), service);

    QTRY_COMPARE(b.datagrams.size(), 1);
    QCOMPARE(a.datagrams, (QList<QByteArray> { "1", "2" }));
    QCOMPARE(b.datagrams.first(), QByteArrayLiteral("3"));
    QVERIFY(!client.hasPendingData(service.name));
}

// The receiver restarts on the same port while the studio's connection to it
// has just failed (before the failure has reached the client's own thread):
// the next answer must bring a fresh connection, not the failed one.
void TestPreviewLink::anAnswerReplacesAConnectionThatJustFailed()
{
    LogCapture log;
    std::uint16_t port = 0;
    {
        UdpListener probe;
        QVERIFY(!probe.listen(0, true));
        port = probe.port();
    }
    UDPClient client(kType);
    const DiscoveredService service = unpublishedService("comeback");
    client.serviceDidResolveAddress(service, { ipv4(port) });
    // Nobody listens: the refusal comes back and fails the connection on a
    // later send, without the event loop running.
    for (int i = 0; i < 200 && !log.containsMatch(QStringLiteral("Send error.*ECONNREFUSED")); ++i)
        client.send(QByteArrayLiteral("anyone?"), service);
    QVERIFY(log.containsMatch(QStringLiteral("Send error.*ECONNREFUSED")));

    Receiver back;
    QVERIFY(!back.listener.listen(port, true));
    client.serviceDidResolveAddress(service, { ipv4(port) });
    client.send(QByteArrayLiteral("after"), service);
    QTRY_COMPARE(back.datagrams, QList<QByteArray> { QByteArrayLiteral("after") });
    // The old connection's failure, heard now, must not take the new one with it.
    QTRY_VERIFY(log.containsMatch(QStringLiteral("Connection to .*comeback.* failed")));
    client.send(QByteArrayLiteral("later"), service);
    QTRY_COMPARE(back.datagrams, (QList<QByteArray> { QByteArrayLiteral("after"), QByteArrayLiteral("later") }));
}

void TestPreviewLink::duplicateNamesAreListedOnce()
{
    LogCapture log;
    UDPClient client(kType);
    QSignalSpy changed(&client, &UDPClient::discoveredServicesChanged);
    const DiscoveredService onLoopback { QStringLiteral("Lamp"), QStringLiteral("_corvexfeed._udp"),
        QStringLiteral("local"), 1, 0 };
    DiscoveredService onEthernet = onLoopback;
    onEthernet.interfaceIndex = 2;
    DiscoveredService other = onLoopback;
    other.name = QStringLiteral("Lamp (2)");
    DiscoveredService caseVariant = onLoopback;
    caseVariant.name = QStringLiteral("lamp");

    client.serviceFound(onLoopback);
    client.serviceFound(onEthernet);
    client.serviceFound(other);
    client.serviceFound(onLoopback);
    client.serviceFound(caseVariant);
    const QList<DiscoveredService> expected { onLoopback, other, caseVariant };
    QCOMPARE(client.discoveredServices(), expected);
    QCOMPARE(changed.size(), 3);
    QCOMPARE(log.count(QStringLiteral("Discovered service: Lamp")), 1);
}

void TestPreviewLink::sendersOnOtherThreadsNeverSeeOlderMessagesLast()
{
    Receiver receiver;
    QVERIFY(!receiver.listener.listen(0, true));
    UDPClient client(kType);
    const DiscoveredService service = unpublishedService("threads");

    constexpr int kCount = 400;
    std::atomic<int> sent { 0 };
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i) {
            client.send(QByteArray::number(i), service);
            sent.store(i + 1);
            // Paced (faster than frames still) so that the receiving socket's buffer keeps up.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Resolve while the other thread is sending.
    while (sent.load() < kCount / 4)
        std::this_thread::yield();
    client.serviceDidResolveAddress(service, { ipv4(receiver.listener.port()) });
    // Keep reading while the sender finishes, so that the socket buffer never overflows.
    QTRY_COMPARE(sent.load(), kCount);
    sender.join();

    // A busy machine may drop datagrams when the receiving buffer overflows,
    // but never reorders them: once the receiver has drained, one more
    // message arrives last.
    QTRY_VERIFY(!receiver.datagrams.isEmpty());
    QTest::qWait(200);
    client.send(QByteArray::number(kCount), service);
    QTRY_COMPARE(receiver.datagrams.last(), QByteArray::number(kCount));
    // The waiting message goes first; every later one is newer than the one before.
    int previous = -1;
    for (const QByteArray& datagram : std::as_const(receiver.datagrams)) {
        const int value = datagram.toInt();
        QVERIFY2(value > previous, qPrintable(QStringLiteral("%1 after %2").arg(value).arg(previous)));
        previous = value;
    }
}

void TestPreviewLink::withoutDaemon()
{
    if (!qEnvironmentVariableIsSet("CORVEX_TEST_NO_DAEMON"))
        QSKIP("runs as tst_preview_link_without_daemon, with the system bus pointed nowhere");
    LogCapture log;
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("^DNS-SD discovery is unavailable: .+avahi-daemon")));
    UDPManager& manager = UDPManager::shared();
    QCOMPARE(&UDPManager::shared(), &manager);
    UDPClient& client = manager.udpClient();
    QCOMPARE(client.serviceType(), QStringLiteral("_corvexfeed._udp."));
    QCOMPARE(log.count(QStringLiteral("🔍 Starting new discovery: _corvexfeed._udp.")), 1);
    // Refreshing tries the daemon again without saying the same thing twice.
    client.startDiscovery();
    QTest::qWait(100);
    QCOMPARE(client.discoveredServices().size(), 0);
    QCOMPARE(log.lines().filter(QStringLiteral("DNS-SD discovery is unavailable")).size(), 1);

    // A receiver resolved earlier keeps receiving.
    Receiver receiver;
    QVERIFY(!receiver.listener.listen(0, true));
    const DiscoveredService known = unpublishedService("known");
    client.serviceDidResolveAddress(known, { ipv4(receiver.listener.port()) });
    manager.setSelectedService(known);
    QCOMPARE(manager.selectedService(), known);
    client.send(QByteArrayLiteral("still here"), *manager.selectedService());
    QTRY_COMPARE(receiver.datagrams, QList<QByteArray> { QByteArrayLiteral("still here") });

    // One that was never resolved just waits; nothing breaks.
    const DiscoveredService unknown = unpublishedService("unknown");
    for (int frame = 0; frame < 5; ++frame) {
        client.send(QByteArrayLiteral("lost"), unknown);
        QTest::qWait(20);
    }
    QVERIFY(client.hasPendingData(unknown.name));
    // Said once, not for every frame.
    QCOMPARE(log.lines()
                 .filter(QRegularExpression(QStringLiteral("^Could not resolve .*unknown: DNS-SD is unavailable")))
                 .size(),
        1);
    manager.setSelectedService(std::nullopt);
    QCOMPARE(manager.selectedService(), std::nullopt);
}

QTEST_GUILESS_MAIN(TestPreviewLink)
#include "tst_preview_link.moc"
