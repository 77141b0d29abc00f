// UDP connection and listener over loopback.

#include "platform/net/udp_connection.h"
#include "platform/net/udp_listener.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <netinet/in.h>
#include <thread>

using corvex::net::SocketError;
using corvex::net::UdpConnection;
using corvex::net::UdpListener;

namespace {

constexpr std::uint32_t kLoopback = INADDR_LOOPBACK;

// A port that nothing listens on: bound once, then released.
std::uint16_t closedPort()
{
    UdpListener probe;
    if (probe.listen(0, true))
        return 0;
    return probe.port();
}

// The local address of the UDP socket bound to `port`, as the kernel lists it
// (hexadecimal, in network order: 0100007F is 127.0.0.1), or empty.
QByteArray boundAddress(std::uint16_t port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && fields.at(1).endsWith(suffix))
            return fields.at(1).chopped(suffix.size());
    }
    return {};
}

} // namespace

class TestNet final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void deliversEachDatagramByteForByte_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("\0", 1);
        QTest::newRow("colour message") << QByteArray(
            R"({"11":{"r":30,"g":20,"b":10},"02":{"r":0,"g":0,"b":0},"01":{"r":255,"g":255,"b":255}})");
        QByteArray binary(4096, Qt::Uninitialized);
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = static_cast<char>(i * 7);
        QTest::newRow("binary 4 KiB") << binary;
        QTest::newRow("largest IPv4 datagram") << QByteArray(65507, 'x');
    }

    void deliversEachDatagramByteForByte()
    {
        QFETCH(QByteArray, datagram);
        UdpListener listener;
        QVERIFY(!listener.listen(0, true));
        QVERIFY(listener.port() != 0);
        QSignalSpy received(&listener, &UdpListener::datagramReceived);

        UdpConnection connection(kLoopback, listener.port());
        connection.start();
        QCOMPARE(connection.state(), UdpConnection::State::Ready);
        QCOMPARE(connection.endpointText(), QStringLiteral("127.0.0.1:%1").arg(listener.port()));
        QCOMPARE(connection.send(datagram), std::nullopt);
        QCOMPARE(connection.send(QByteArrayLiteral("second")), std::nullopt);

        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(received.at(0).at(0).toByteArray(), datagram);
        QCOMPARE(received.at(1).at(0).toByteArray(), QByteArrayLiteral("second"));
    }

    void oversizeDatagramIsASendErrorOnly()
    {
        UdpListener listener;
        QVERIFY(!listener.listen(0, true));
        UdpConnection connection(kLoopback, listener.port());
        QSignalSpy failed(&connection, &UdpConnection::failed);
        QSignalSpy received(&listener, &UdpListener::datagramReceived);
        connection.start();

        const std::optional<SocketError> error = connection.send(QByteArray(70000, 'x'));
        QVERIFY(error);
        QCOMPARE(error->code, EMSGSIZE);
        QVERIFY(error->description().contains(QLatin1StringView("EMSGSIZE")));
        // The connection itself is fine.
        QCOMPARE(connection.send(QByteArrayLiteral("ok")), std::nullopt);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(0).toByteArray(), QByteArrayLiteral("ok"));
        QCOMPARE(failed.size(), 0);
        QCOMPARE(connection.state(), UdpConnection::State::Ready);
    }

    void refusedPortFailsTheConnectionOnce()
    {
        const std::uint16_t port = closedPort();
        QVERIFY(port != 0);
        UdpConnection connection(kLoopback, port);
        QSignalSpy failed(&connection, &UdpConnection::failed);
        connection.start();
        // The refusal comes back as ICMP; it is seen by the watcher or by a later send.
        for (int i = 0; i < 5 && connection.state() == UdpConnection::State::Ready; ++i) {
            connection.send(QByteArrayLiteral("anyone?"));
            QTest::qWait(20);
        }
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).value<SocketError>().code, ECONNREFUSED);
        QCOMPARE(connection.state(), UdpConnection::State::Failed);

        const std::optional<SocketError> error = connection.send(QByteArrayLiteral("after"));
        QVERIFY(error);
        QTest::qWait(50);
        QCOMPARE(failed.size(), 1);
    }

    void listenerReportsAPortInUse()
    {
        UdpListener first;
        QVERIFY(!first.listen(0, true));
        UdpListener second;
        const std::optional<SocketError> error = second.listen(first.port(), true);
        QVERIFY(error);
        QCOMPARE(error->code, EADDRINUSE);
        QVERIFY(!second.isListening());
        QCOMPARE(second.port(), std::uint16_t { 0 });
        // Closed, the first gives its port up.
        const std::uint16_t port = first.port();
        first.close();
        QCOMPARE(first.port(), std::uint16_t { 0 });
        QVERIFY(!second.listen(port, true));
    }

    void listenerBindsWhereItIsAsked_data()
    {
        QTest::addColumn<bool>("loopbackOnly");
        QTest::addColumn<QByteArray>("address");
        QTest::newRow("loopback only") << true << QByteArray("0100007F");
        QTest::newRow("every interface") << false << QByteArray("00000000");
    }

    // Checked on the bound socket itself: no datagram leaves loopback for it.
    void listenerBindsWhereItIsAsked()
    {
        QFETCH(bool, loopbackOnly);
        QFETCH(QByteArray, address);
        UdpListener listener;
        QVERIFY(!listener.listen(0, loopbackOnly));
        QCOMPARE(boundAddress(listener.port()), address);
    }

    void sendsFromAnotherThreadAndReleasesThere()
    {
        UdpListener listener;
        QVERIFY(!listener.listen(0, true));
        QSignalSpy received(&listener, &UdpListener::datagramReceived);

        std::shared_ptr<UdpConnection> connection = UdpConnection::makeShared(kLoopback, listener.port());
        connection->start();
        QPointer<UdpConnection> watch(connection.get());
        constexpr int kCount = 100;
        int errors = 0;
        std::thread sender([shared = std::move(connection), &errors]() mutable {
            for (int i = 0; i < kCount; ++i) {
                if (shared->send(QByteArray::number(i)))
                    ++errors;
            }
            shared.reset(); // the last owner lets go on this thread
        });
        sender.join();
        QCOMPARE(errors, 0);
        QTRY_COMPARE(received.size(), kCount);
        QCOMPARE(received.last().at(0).toByteArray(), QByteArray::number(kCount - 1));
        QTRY_VERIFY(watch.isNull()); // destroyed on its own thread
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
