// Browse, resolve and publish against a real avahi-daemon restricted to loopback.

#include "platform/dnssd/avahi_session.h"
#include "platform/dnssd/browser.h"
#include "platform/dnssd/publisher.h"
#include "platform/dnssd/resolver.h"
#include "support/avahi_daemon.h"

#include <QDataStream>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <avahi-common/error.h>

#include <chrono>

using namespace std::chrono_literals;
using corvex::dnssd::Address;
using corvex::dnssd::Browser;
using corvex::dnssd::Publisher;
using corvex::dnssd::Resolver;
using corvex::dnssd::ServiceRecord;

namespace {

// A type of our own so that nothing else on the daemon answers.
const QString kType = QStringLiteral("_corvextest._udp.");

QString uniqueName(const char* what)
{
    return QStringLiteral("corvex-dnssd-%1-%2").arg(QCoreApplication::applicationPid()).arg(QString::fromUtf8(what));
}

/// Publishes `name` on `port` and waits for the daemon's word: nothing once that
/// name was published, else what went wrong (the failure's code and message).
QMap<QString, QString> publishing(Publisher& publisher, const QString& name, std::uint16_t port)
{
    QSignalSpy published(&publisher, &Publisher::published);
    QSignalSpy failed(&publisher, &Publisher::failed);
    publisher.publish(name, kType, port);
    if (!QTest::qWaitFor([&] { return !published.isEmpty() || !failed.isEmpty(); }, 10000))
        return { { QStringLiteral("message"), QStringLiteral("no word within 10 s") } };
    if (!failed.isEmpty())
        return failed.at(0).at(0).value<QMap<QString, QString>>();
    if (published.at(0).at(0).toString() != name)
        return { { QStringLiteral("message"), QStringLiteral("published as ") + published.at(0).at(0).toString() } };
    return {};
}

} // namespace

class TestDnssd final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void publishedServiceIsFoundAndResolved()
    {
        REQUIRE_DAEMON();
        // A name as authors give them: spaces, a percent sign, non-ASCII letters.
        const QString name = uniqueName("Wohnzimmer 100% Lüfter");
        Publisher publisher;
        QVERIFY(publishing(publisher, name, 45123).isEmpty());

        Browser browser;
        QList<ServiceRecord> found;
        connect(&browser, &Browser::serviceFound, this, [&](const ServiceRecord& record) {
            if (record.name == name)
                found.append(record);
        });
        QVERIFY(browser.start(kType, QStringLiteral("local.")));
        QTRY_VERIFY_WITH_TIMEOUT(!found.isEmpty(), 10000);
        QCOMPARE(found.first().type, QStringLiteral("_corvextest._udp"));
        QCOMPARE(found.first().domain, QStringLiteral("local"));

        Resolver resolver;
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        QSignalSpy failed(&resolver, &Resolver::failed);
        resolver.resolve(found.first());
        QVERIFY(resolver.isResolving());
        QTRY_VERIFY_WITH_TIMEOUT(!resolver.isResolving(), 6000);
        QCOMPARE(failed.size(), 0);
        QVERIFY(!resolved.isEmpty());
        // Every answer adds one address to what was known before.
        QList<Address> known;
        for (const QList<QVariant>& arguments : std::as_const(resolved)) {
            QCOMPARE(arguments.at(0).value<ServiceRecord>().name, name);
            const auto addresses = arguments.at(1).value<QList<Address>>();
            QCOMPARE(addresses.size(), known.size() + 1);
            QCOMPARE(addresses.mid(0, known.size()), known);
            known = addresses;
        }
        const auto ipv4 = std::find_if(
            known.cbegin(), known.cend(), [](const Address& a) { return a.family == Address::Family::IPv4; });
        QVERIFY(ipv4 != known.cend());
        QCOMPARE(ipv4->hostText(), QStringLiteral("127.0.0.1"));
        for (const Address& address : std::as_const(known))
            QCOMPARE(address.port, std::uint16_t { 45123 });

        // Asked next for a service nobody offers, it fails once after its time-out: nothing is
        // left over from the service before.
        const qsizetype answers = resolved.size();
        const ServiceRecord nobody { uniqueName("nobody"), kType, QStringLiteral("local"), -1, -1 };
        resolver.resolve(nobody, 300ms);
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 3000);
        QCOMPARE(failed.at(0).at(0).value<ServiceRecord>(), nobody);
        QVERIFY(!failed.at(0).at(1).toString().isEmpty());
        QTest::qWait(200);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(resolved.size(), answers);

        // A cancelled resolution reports nothing.
        resolver.resolve(nobody, 100ms);
        resolver.cancel();
        QVERIFY(!resolver.isResolving());
        QTest::qWait(300);
        QCOMPARE(failed.size(), 1);
    }

    void hostWithOnlyAnIPv4AddressResolves_data()
    {
        QTest::addColumn<int>("timeoutMs");
        // Our time-out ends the search before avahi gives up on the IPv6 address, or after.
        QTest::newRow("time-out after the IPv4 answer") << 1500;
        QTest::newRow("IPv6 lookup fails after the IPv4 answer") << 15000;
    }

    void hostWithOnlyAnIPv4AddressResolves()
    {
        REQUIRE_DAEMON();
        QFETCH(int, timeoutMs);
        // A receiver on another host of the network: its own host name with one IPv4 address,
        // octets above 127 (published on loopback, never contacted).
        const QString host = uniqueName("host") + QStringLiteral(".local");
        const QString name = uniqueName(QTest::currentDataTag());
        QProcess address;
        QProcess service;
        const auto withdraw = qScopeGuard([&] {
            for (QProcess* process : { &address, &service }) {
                process->kill();
                process->waitForFinished();
            }
        });
        const auto established = [](QProcess& process, const QStringList& arguments) {
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(QStringLiteral("avahi-publish"), arguments);
            QByteArray said;
            return QTest::qWaitFor([&] { return said.append(process.readAll()).contains("Established"); }, 10000);
        };
        QVERIFY(established(address, { QStringLiteral("-a"), QStringLiteral("-R"), host, QStringLiteral("198.51.100.200") }));
        QVERIFY(established(service, { QStringLiteral("-s"), QStringLiteral("-H"), host, name, kType, QStringLiteral("45127") }));

        Resolver resolver;
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        QSignalSpy failed(&resolver, &Resolver::failed);
        resolver.resolve({ name, kType, QStringLiteral("local"), -1, -1 }, std::chrono::milliseconds(timeoutMs));
        QTRY_VERIFY_WITH_TIMEOUT(!resolver.isResolving(), timeoutMs + 3000);
        QTest::qWait(200);
        QCOMPARE(failed.size(), 0);
        QCOMPARE(resolved.size(), 1);
        const auto addresses = resolved.at(0).at(1).value<QList<Address>>();
        QCOMPARE(addresses.size(), 1);
        QCOMPARE(addresses.first().hostText(), QStringLiteral("198.51.100.200"));
        QCOMPARE(addresses.first().port, std::uint16_t { 45127 });
    }

    void restartedBrowserFindsServicesAgain()
    {
        REQUIRE_DAEMON();
        const QString name = uniqueName("restart");
        Publisher publisher;
        QVERIFY(publishing(publisher, name, 45124).isEmpty());

        Browser browser;
        int found = 0;
        connect(&browser, &Browser::serviceFound, this, [&](const ServiceRecord& record) {
            if (record.name == name)
                ++found;
        });
        QVERIFY(browser.start(kType, QStringLiteral("local")));
        QTRY_VERIFY_WITH_TIMEOUT(found == 1, 10000);
        QVERIFY(browser.start(kType, QStringLiteral("local")));
        QTRY_VERIFY_WITH_TIMEOUT(found == 2, 10000);
        // Stopped with the daemon's answers waiting in the queue, it reports none of them.
        QVERIFY(browser.start(kType, QStringLiteral("local")));
        QThread::msleep(1000);
        browser.stop();
        QTest::qWait(300);
        QCOMPARE(found, 2);
    }

    void takenOrWithdrawnNamesAreNotPublished()
    {
        REQUIRE_DAEMON();
        const QString name = uniqueName("taken");
        Publisher first;
        QVERIFY(publishing(first, name, 45125).isEmpty());

        Publisher second;
        const QMap<QString, QString> error = publishing(second, name, 45126);
        QVERIFY(error.contains(QStringLiteral("code")));
        QVERIFY(!error.value(QStringLiteral("message")).isEmpty());

        // Withdrawn with the daemon's answer waiting in the queue, an announcement reports nothing.
        QSignalSpy published(&first, &Publisher::published);
        first.publish(uniqueName("withdrawn"), kType, 45128);
        QThread::msleep(1000);
        first.unpublish();
        QTest::qWait(300);
        QCOMPARE(published.size(), 0);
    }

    // Another host on the link already answers for the name: the
    // announcement fails as a collision, never stays pending.
    void aNameAnotherHostHoldsCollides()
    {
        ON_A_PRIVATE_LINK();
        const QString name = uniqueName("held");
        // The other host's answer: NAME.TYPE.local is at port 9 of another.local (SRV, cache flush).
        const auto labels = [](const QString& domain) {
            QByteArray wire;
            for (const QString& label : domain.split(u'.', Qt::SkipEmptyParts))
                wire += char(label.toUtf8().size()) + label.toUtf8();
            return wire + '\0';
        };
        const QByteArray owner = labels(name + u'.' + kType + QStringLiteral("local"));
        const QByteArray target = labels(QStringLiteral("another.local"));
        QByteArray answer;
        QDataStream out(&answer, QIODevice::WriteOnly); // in network order
        out << quint16(0) << quint16(0x8400) << quint16(0) << quint16(1) << quint16(0) << quint16(0); // one answer
        out.writeRawData(owner.constData(), int(owner.size()));
        out << quint16(33) << quint16(0x8001) << quint32(120) << quint16(6 + target.size()); // SRV, IN, 2 min
        out << quint16(0) << quint16(0) << quint16(9);
        out.writeRawData(target.constData(), int(target.size()));
        QUdpSocket otherHost;
        QVERIFY(otherHost.bind(QHostAddress::AnyIPv4, 5353, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        otherHost.setSocketOption(QAbstractSocket::MulticastTtlOption, 255);
        otherHost.setMulticastInterface(QNetworkInterface::interfaceFromName(QStringLiteral("lo")));
        QTimer answering;
        connect(&answering, &QTimer::timeout, &otherHost,
            [&] { otherHost.writeDatagram(answer, QHostAddress(QStringLiteral("224.0.0.251")), 5353); });
        answering.start(50);

        Publisher publisher;
        QCOMPARE(
            publishing(publisher, name, 45130).value(QStringLiteral("code")), QString::number(AVAHI_ERR_COLLISION));
    }

    // The daemon restarts (an update, a crash): a new search and a new announcement
    // reach the new daemon, not the connection to the one that went.
    void aRestartedDaemonIsReachedAgain()
    {
        ON_A_PRIVATE_LINK();
        const auto daemon
            = [](const QStringList& arguments) { return QProcess::execute(QStringLiteral("avahi-daemon"), arguments); };
        Browser browser;
        QStringList found;
        connect(
            &browser, &Browser::serviceFound, this, [&](const ServiceRecord& record) { found.append(record.name); });
        QVERIFY(browser.start(kType, QStringLiteral("local.")));
        Publisher before;
        QVERIFY(publishing(before, uniqueName("before"), 45131).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(found.contains(uniqueName("before")), 10000);

        QCOMPARE(daemon({ QStringLiteral("-k") }), 0);
        QTRY_VERIFY(daemon({ QStringLiteral("--check") }) != 0);
        QTRY_VERIFY(!corvex::dnssd::AvahiSession::acquire()->isUsable()); // heard before the next one comes
        QCOMPARE(
            daemon({ QStringLiteral("-D"), QStringLiteral("-f"), qEnvironmentVariable("CORVEX_TEST_AVAHI_CONF") }), 0);
        QTRY_COMPARE(daemon({ QStringLiteral("--check") }), 0);

        QVERIFY(browser.start(kType, QStringLiteral("local.")));
        Publisher after;
        QVERIFY(publishing(after, uniqueName("after"), 45132).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(found.contains(uniqueName("after")), 10000);
    }

    void withoutDaemon()
    {
        if (!corvex::test::withoutDaemon()) {
            QVERIFY(corvex::test::runWithoutDaemon("withoutDaemon"));
            return;
        }
        // One clear line, once, however many objects ask.
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^DNS-SD discovery is unavailable: .+\\. .*avahi-daemon")));
        Browser browser;
        Resolver resolver;
        Publisher publisher;

        const corvex::Result<void> started = browser.start(kType, QStringLiteral("local."));
        QVERIFY(!started);
        QVERIFY(started.error.startsWith(QLatin1StringView("DNS-SD is unavailable: ")));

        QSignalSpy failed(&resolver, &Resolver::failed);
        resolver.resolve({ QStringLiteral("anyone"), kType, QStringLiteral("local"), -1, -1 });
        QTRY_COMPARE(failed.size(), 1);

        QSignalSpy publishFailed(&publisher, &Publisher::failed);
        publisher.publish(QStringLiteral("anyone"), kType, 1);
        QTRY_COMPARE(publishFailed.size(), 1);

        // The daemon comes back (here the bus appears where it was looked for): a new search
        // connects again, though the objects above still hold the session that failed.
        if (!corvex::test::avahiDaemonAvailable())
            return;
        const QString bus = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS").section(u'=', 1);
        QVERIFY(QFile::link(QStringLiteral("/run/dbus/system_bus_socket"), bus));
        QVERIFY(browser.start(kType, QStringLiteral("local.")));
    }
};

QTEST_GUILESS_MAIN(TestDnssd)
#include "tst_dnssd.moc"
