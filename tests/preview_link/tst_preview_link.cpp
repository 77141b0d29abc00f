// The preview link through a loopback-only avahi-daemon, and the client's address choice,
// waiting messages and failed connections over real sockets.

#include "platform/dnssd/publisher.h"
#include "platform/dnssd/resolver.h"
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

using namespace Qt::StringLiterals;

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
    return u"corvex-link-%1-%2"_s.arg(QCoreApplication::applicationPid()).arg(QLatin1StringView(what));
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
        : m_previous(qInstallMessageHandler(&LogCapture::handle))
    {
        s_current = this;
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
    int count(const QString& line) const { return int(lines().count(line)); }
    bool containsMatch(const QString& pattern) const { return !lines().filter(QRegularExpression(pattern)).isEmpty(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        const QLatin1StringView category(context.category ? context.category : "");
        LogCapture* self = s_current;
        if (self && (category == "corvex.preview_link" || category == "corvex.platform.dnssd")) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(message);
        }
        if (self && self->m_previous)
            self->m_previous(type, context, message);
    }

    static inline LogCapture* s_current = nullptr;
    QtMessageHandler m_previous;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

// A UDP socket on loopback (on `port`, or any free one) that keeps what it receives.
struct Receiver {
    UdpListener listener;
    QList<QByteArray> datagrams;
    bool listening = false;

    explicit Receiver(std::uint16_t port = 0)
    {
        QObject::connect(&listener, &UdpListener::datagramReceived,
            [this](const QByteArray& datagram) { datagrams.append(datagram); });
        listening = !listener.listen(port, true);
    }
    std::uint16_t port() const { return listener.port(); }
};

// A loopback port where nobody listens.
std::uint16_t closedPort()
{
    return Receiver().port();
}

Address ipv4(std::uint16_t port)
{
    return { Address::Family::IPv4, QByteArray("\x7f\x00\x00\x01", 4), port };
}
Address ipv6Loopback(std::uint16_t port)
{
    return { Address::Family::IPv6, QByteArray(15, '\0') + '\x01', port };
}

DiscoveredService unpublishedService(const char* what)
{
    return { uniqueName(what), u"_corvexfeed._udp"_s, u"local"_s, -1, -1 };
}

} // namespace

class TestPreviewLink final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void discoveryAndDeliveryEndToEnd()
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
        QCOMPARE(log.count(u"✅ Bonjour service published: %1 (%2)"_s.arg(name, kType)), 1);

        UDPClient client(kType);
        client.startDiscovery();
        QCOMPARE(log.count(u"🔍 Starting new discovery: _corvexfeed._udp."_s), 1);
        QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
        const DiscoveredService receiver = *listedService(client, name);
        QCOMPARE(log.count(u"Discovered service: %1"_s.arg(name)), 1);

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
        // In order on loopback: a duplicate of the third would have come before the last.
        const QByteArray last = R"({"11":{"r":7,"g":7,"b":7}})";
        client.send(last, receiver);
        QTRY_COMPARE(received.size(), 3);
        QCOMPARE(received, (QList<QByteArray> { second, third, last }));
        QVERIFY(!log.containsMatch(u"^❌"_s));

        // A new discovery empties the list; the open connection still carries messages while it refills.
        QSignalSpy changed(&client, &UDPClient::discoveredServicesChanged);
        client.startDiscovery();
        QCOMPARE(client.discoveredServices().size(), 0);
        QCOMPARE(changed.size(), 1);
        client.send("during"_ba, receiver);
        QTRY_COMPARE(received.size(), 4);
        QCOMPARE(received.at(3), "during"_ba);
        QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);

        QSignalSpy portChanged(&server, &UDPServer::portChanged);
        server.stop();
        QCOMPARE(server.port(), std::nullopt);
        QCOMPARE(portChanged.size(), 1);
    }

    void failedConnectionIsResolvedAgain()
    {
        REQUIRE_DAEMON();
        LogCapture log;
        const QString name = uniqueName("refused");
        // First announced at a port where nobody listens.
        corvex::dnssd::Publisher publisher;
        QSignalSpy published(&publisher, &corvex::dnssd::Publisher::published);
        publisher.publish(name, kType, closedPort());
        QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);

        UDPClient client(kType);
        client.startDiscovery();
        QTRY_VERIFY_WITH_TIMEOUT(listedService(client, name).has_value(), 10000);
        const DiscoveredService receiver = *listedService(client, name);

        QSignalSpy back(&client, &UDPClient::receiverBack);
        client.send("refused"_ba, receiver);
        const QString failure = u"❌ Connection to %1 failed: Connection refused (ECONNREFUSED)"_s.arg(name);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(failure), 1, 6000);
        // Its announcement still stands: found there again, it is the same receiver, still gone.
        client.send("still gone"_ba, receiver);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(failure), 2, 6000);
        QCOMPARE(back.size(), 0);

        // The receiver comes back elsewhere: the next send resolves it again.
        Receiver moved;
        QVERIFY(moved.listening);
        publisher.publish(name, kType, moved.port());
        QTRY_COMPARE_WITH_TIMEOUT(published.size(), 2, 10000);
        // The daemon's cache may fail a send once more; a streaming sender goes on.
        QDeadlineTimer deadline(10000);
        while (moved.datagrams.isEmpty() && !deadline.hasExpired()) {
            client.send("found again"_ba, receiver);
            QTest::qWait(100);
        }
        QVERIFY(!moved.datagrams.isEmpty());
        QCOMPARE(moved.datagrams.first(), "found again"_ba);
        QVERIFY(!back.isEmpty());
    }

    // Frames that come faster than a lookup of the receiver's address ends do
    // not start it again: one that finds nothing ends, and says so.
    void aLookupOutlastsTheFramesThatWaitForIt()
    {
        REQUIRE_DAEMON();
        UDPClient client(kType);
        QSignalSpy failed(&client, &UDPClient::receiverFailed);
        const DiscoveredService gone = unpublishedService("steady");
        QDeadlineTimer deadline(corvex::dnssd::Resolver::kDefaultTimeout.count() + 3000);
        while (failed.isEmpty() && !deadline.hasExpired()) {
            client.send("frame"_ba, gone);
            QTest::qWait(20);
        }
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), gone.name);
    }

    void addressSelection_data()
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

    void addressSelection()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QString, reached);
        Receiver a;
        Receiver b;
        QVERIFY(a.listening && b.listening);
        QList<Address> resolved;
        for (const QString& entry : addresses) {
            const std::uint16_t port = entry.at(1) == u'A' ? a.port() : b.port();
            resolved.append(entry.at(0) == u'4' ? ipv4(port) : ipv6Loopback(port));
        }

        UDPClient client(kType);
        const DiscoveredService service = unpublishedService("select");
        client.send("waiting"_ba, service);
        client.serviceDidResolveAddress(service, resolved);
        const QList<QByteArray> waiting { "waiting"_ba };
        if (reached.isEmpty())
            QVERIFY(client.hasPendingData(service.name)); // it was not sent anywhere
        else
            QTRY_COMPARE((reached == u"A"_s ? a : b).datagrams, waiting);
        QCOMPARE(a.datagrams, reached == u"A"_s ? waiting : QList<QByteArray> {});
        QCOMPARE(b.datagrams, reached == u"B"_s ? waiting : QList<QByteArray> {});

        // Later answers: one for the endpoint in use changes nothing; a moved receiver takes over.
        client.serviceDidResolveAddress(service, { ipv6Loopback(b.port()), ipv4(a.port()) });
        client.send("1"_ba, service);
        client.serviceDidResolveAddress(service, { ipv4(a.port()), ipv6Loopback(b.port()) });
        client.send("2"_ba, service);
        client.serviceDidResolveAddress(service, { ipv4(b.port()) });
        client.send("3"_ba, service);
        QTRY_VERIFY(b.datagrams.endsWith("3"_ba));
        const QList<QByteArray> none;
        QCOMPARE(a.datagrams, (reached == u"B"_s ? none : waiting) + QList<QByteArray>({ "1", "2" }));
        QCOMPARE(b.datagrams, (reached == u"B"_s ? waiting : none) + QList<QByteArray>({ "3" }));
        QVERIFY(!client.hasPendingData(service.name));
    }

    // The receiver restarts on the same port just after the connection failed (before the
    // failure reached the client's thread): the next answer brings a fresh connection.
    void anAnswerReplacesAConnectionThatJustFailed()
    {
        LogCapture log;
        const std::uint16_t port = closedPort();
        UDPClient client(kType);
        const DiscoveredService service = unpublishedService("comeback");
        client.serviceDidResolveAddress(service, { ipv4(port) });
        // The refusal fails the connection on a later send, without the event loop running.
        for (int i = 0; i < 200 && !log.containsMatch(u"Send error.*ECONNREFUSED"_s); ++i)
            client.send("anyone?"_ba, service);
        QVERIFY(log.containsMatch(u"Send error.*ECONNREFUSED"_s));

        Receiver back(port);
        QVERIFY(back.listening);
        QSignalSpy failed(&client, &UDPClient::receiverFailed);
        client.serviceDidResolveAddress(service, { ipv4(port) });
        client.send("after"_ba, service);
        QTRY_COMPARE(back.datagrams, QList<QByteArray> { "after"_ba });
        // The old connection's failure, heard now, must neither take the new one with it
        // nor mark the receiver, which answers.
        QTRY_VERIFY(log.containsMatch(u"Connection to .*comeback.* failed"_s));
        QCOMPARE(failed.count(), 0);
        client.send("later"_ba, service);
        QTRY_COMPARE(back.datagrams, (QList<QByteArray> { "after"_ba, "later"_ba }));
    }

    void duplicateNamesAreListedOnce()
    {
        LogCapture log;
        UDPClient client(kType);
        QSignalSpy changed(&client, &UDPClient::discoveredServicesChanged);
        const DiscoveredService onLoopback { u"Lamp"_s, u"_corvexfeed._udp"_s, u"local"_s, 1, 0 };
        DiscoveredService onEthernet = onLoopback;
        onEthernet.interfaceIndex = 2;
        DiscoveredService other = onLoopback;
        other.name = u"Lamp (2)"_s;
        DiscoveredService caseVariant = onLoopback;
        caseVariant.name = u"lamp"_s;

        client.serviceFound(onLoopback);
        client.serviceFound(onEthernet);
        client.serviceFound(other);
        client.serviceFound(onLoopback);
        client.serviceFound(caseVariant);
        const QList<DiscoveredService> expected { onLoopback, other, caseVariant };
        QCOMPARE(client.discoveredServices(), expected);
        QCOMPARE(changed.size(), 3);
        QCOMPARE(log.count(u"Discovered service: Lamp"_s), 1);
    }

    void sendersOnOtherThreadsNeverSeeOlderMessagesLast()
    {
        Receiver receiver;
        QVERIFY(receiver.listening);
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
        client.serviceDidResolveAddress(service, { ipv4(receiver.port()) });
        // Keep reading while the sender finishes, so that the socket buffer never overflows.
        QTRY_COMPARE(sent.load(), kCount);
        sender.join();

        // Datagrams may be dropped on a busy machine but never reordered: one more arrives last.
        QTRY_VERIFY(!receiver.datagrams.isEmpty());
        QTest::qWait(200);
        client.send(QByteArray::number(kCount), service);
        QTRY_COMPARE(receiver.datagrams.last(), QByteArray::number(kCount));
        // The waiting message goes first; every later one is newer than the one before.
        int previous = -1;
        for (const QByteArray& datagram : std::as_const(receiver.datagrams)) {
            const int value = datagram.toInt();
            QVERIFY2(value > previous, qPrintable(u"%1 after %2"_s.arg(value).arg(previous)));
            previous = value;
        }
    }

    void withoutDaemon()
    {
        if (!corvex::test::withoutDaemon()) {
            QVERIFY(corvex::test::runWithoutDaemon("withoutDaemon"));
            return;
        }
        LogCapture log;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^DNS-SD discovery is unavailable: .+avahi-daemon"_s));
        UDPManager& manager = UDPManager::shared();
        QCOMPARE(&UDPManager::shared(), &manager);
        UDPClient& client = manager.udpClient();
        QCOMPARE(client.serviceType(), u"_corvexfeed._udp."_s);
        QCOMPARE(log.count(u"🔍 Starting new discovery: _corvexfeed._udp."_s), 1);
        // Refreshing tries the daemon again without saying the same thing twice.
        client.startDiscovery();
        QTest::qWait(100);
        QCOMPARE(client.discoveredServices().size(), 0);
        QCOMPARE(log.lines().filter(u"DNS-SD discovery is unavailable"_s).size(), 1);

        // A receiver resolved earlier keeps receiving.
        Receiver receiver;
        QVERIFY(receiver.listening);
        const DiscoveredService known = unpublishedService("known");
        client.serviceDidResolveAddress(known, { ipv4(receiver.port()) });
        manager.setSelectedService(known);
        QCOMPARE(manager.selectedService(), known);
        client.send("still here"_ba, *manager.selectedService());
        QTRY_COMPARE(receiver.datagrams, QList<QByteArray> { "still here"_ba });

        // One that was never resolved just waits; nothing breaks.
        const DiscoveredService unknown = unpublishedService("unknown");
        for (int frame = 0; frame < 5; ++frame) {
            client.send("lost"_ba, unknown);
            QTest::qWait(20);
        }
        QVERIFY(client.hasPendingData(unknown.name));
        // Said once, not for every frame.
        QCOMPARE(
            log.lines().filter(QRegularExpression(u"^Could not resolve .*unknown: DNS-SD is unavailable"_s)).size(), 1);
        manager.setSelectedService(std::nullopt);
        QCOMPARE(manager.selectedService(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestPreviewLink)
#include "tst_preview_link.moc"
