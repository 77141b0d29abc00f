// corvex receive, discover and analyse --preview, run as the author runs them.

#include "analysis/live_colour_message.h"
#include "platform/net/udp_connection.h"
#include "support/avahi_daemon.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <netinet/in.h>

namespace {

const QString kCli = QStringLiteral(CORVEX_CLI);

QString uniqueName(const char* what)
{
    return u"corvex-cli-%1-%2"_s.arg(QCoreApplication::applicationPid()).arg(QLatin1StringView(what));
}

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

Result run(const QStringList& arguments, int timeoutMs = 20000)
{
    QProcess process;
    process.start(kCli, arguments);
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = u"timed out"_s;
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// A running `corvex receive`, stopped like Ctrl+C when the test is done with it.
class ReceiveProcess {
public:
    explicit ReceiveProcess(QStringList arguments)
    {
        m_process.setReadChannel(QProcess::StandardError); // what waitForReadyRead waits for
        m_process.start(kCli, QStringList { u"receive"_s } + arguments);
    }
    ~ReceiveProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished();
        }
    }

    /// The port from the "listening on UDP port N" line, 0 when it never came.
    std::uint16_t waitForPort()
    {
        static const QRegularExpression pattern(u"listening on UDP port (\\d+)"_s);
        for (int i = 0; i < 100; ++i) {
            m_err += QString::fromUtf8(m_process.readAllStandardError());
            const QRegularExpressionMatch match = pattern.match(m_err);
            if (match.hasMatch())
                return static_cast<std::uint16_t>(match.captured(1).toUInt());
            m_process.waitForReadyRead(100);
        }
        return 0;
    }
    /// Waits until the announcement is logged.
    bool waitForAnnouncement()
    {
        for (int i = 0; i < 100; ++i) {
            m_err += QString::fromUtf8(m_process.readAllStandardError());
            if (m_err.contains(u"✅ Bonjour service published: "_s))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
        return false;
    }
    /// What it printed on standard output so far (the event loop reads it).
    QString output()
    {
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_out;
    }
    /// Stops the receiver as Ctrl+C would and collects what it printed.
    Result stop()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
        return collect();
    }
    Result finish(int timeoutMs = 10000)
    {
        m_process.waitForFinished(timeoutMs);
        return collect();
    }

private:
    Result collect()
    {
        Result result;
        result.exitCode = m_process.state() == QProcess::NotRunning && m_process.exitStatus() == QProcess::NormalExit
            ? m_process.exitCode()
            : -1;
        result.out = output();
        result.err = m_err + QString::fromUtf8(m_process.readAllStandardError());
        return result;
    }

    QProcess m_process;
    QString m_out;
    QString m_err;
};

QByteArray message(int base)
{
    corvex::analysis::PreviewColors colors;
    for (int x = 0; x < 3; ++x) {
        for (int y = 0; y < 3; ++y)
            colors[std::to_string(x) + std::to_string(y)] = { base + x, base + y, base + x + y };
    }
    return QByteArray::fromStdString(corvex::analysis::encodeLiveColourMessage(colors));
}

} // namespace

class TestCorvexPreview final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void helpAndBadArguments_data();
    void helpAndBadArguments();
    void receiveValidatesEachDatagram();
    void receiveDrawsTheGrid();
    void discoverAndAnalyseReachTheReceiver();
    void analyseFailsForAnUnknownReceiver();
};

void TestCorvexPreview::helpAndBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in standard output for 0, standard error otherwise
    QTest::newRow("receive --help") << QStringList { "receive", "--help" } << 0 << "Usage: corvex receive";
    QTest::newRow("discover --help") << QStringList { "discover", "--help" } << 0 << "Usage: corvex discover";
    QTest::newRow("analyse --help names --preview") << QStringList { "analyse", "--help" } << 0 << "--preview <NAME>";
    QTest::newRow("port too large") << QStringList { "receive", "--port", "70000" } << 2 << "--port takes";
    QTest::newRow("negative count") << QStringList { "receive", "--count", "-1" } << 2 << "--count takes";
    QTest::newRow("name too long") << QStringList { "receive", "--name", QString(64, u'n') } << 2 << "--name takes";
    QTest::newRow("receive takes no arguments") << QStringList { "receive", "extra" } << 2 << "unexpected argument";
    QTest::newRow("zero seconds") << QStringList { "discover", "--seconds", "0" } << 2 << "--seconds takes";
    QTest::newRow("empty preview name") << QStringList { "analyse", "--preview", "", "frame.png" } << 2
                                        << "--preview takes";
}

void TestCorvexPreview::helpAndBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    const Result result = run(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? result.out : result.err).contains(expected), qPrintable(result.out + result.err));
}

void TestCorvexPreview::receiveValidatesEachDatagram()
{
    REQUIRE_DAEMON();
    ReceiveProcess receiver({ u"--name"_s, uniqueName("json"), u"--json"_s, u"--count"_s, u"2"_s });
    const std::uint16_t port = receiver.waitForPort();
    QVERIFY(port != 0);
    QVERIFY(receiver.waitForAnnouncement());

    corvex::net::UdpConnection connection(INADDR_LOOPBACK, port);
    connection.start();
    const QList<QByteArray> invalid {
        "hello",
        R"({"00":{"r":1,"g":2,"b":3}})", // one cell of nine
        message(0).replace("\"r\":0", "\"r\":256"), // out of range
        message(0).chopped(1) + R"(,"33":{"r":0,"g":0,"b":0}})", // a tenth cell
    };
    for (const QByteArray& datagram : invalid)
        QCOMPARE(connection.send(datagram), std::nullopt);
    QCOMPARE(connection.send(message(10)), std::nullopt);
    QCOMPARE(connection.send(message(200)), std::nullopt);

    const Result result = receiver.finish();
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QString::fromUtf8(message(10) + '\n' + message(200) + '\n'));
    QVERIFY2(result.err.contains(u"not a live colour message"_s), qPrintable(result.err));
    QVERIFY2(result.err.contains(u"; 4 so far"_s), qPrintable(result.err));
}

void TestCorvexPreview::receiveDrawsTheGrid()
{
    REQUIRE_DAEMON();
    ReceiveProcess receiver({ u"--name"_s, uniqueName("grid"), u"--count"_s, u"2"_s });
    const std::uint16_t port = receiver.waitForPort();
    QVERIFY(port != 0);
    QVERIFY(receiver.waitForAnnouncement());
    corvex::net::UdpConnection connection(INADDR_LOOPBACK, port);
    connection.start();
    QCOMPARE(connection.send("not json"), std::nullopt);
    QCOMPARE(connection.send(message(100)), std::nullopt);
    QCOMPARE(connection.send(message(20)), std::nullopt);

    const Result result = receiver.finish();
    QCOMPARE(result.exitCode, 0);
    // Cell (2, 1) of the last message, in true colour, and the grid redrawn in place.
    QVERIFY(result.out.contains(u"\x1b[48;2;22;21;23m"_s));
    QVERIFY(result.out.contains(u"\x1b[7A"_s));
    QVERIFY(result.out.contains(u"2 messages, 1 not live colour messages"_s));
}

void TestCorvexPreview::discoverAndAnalyseReachTheReceiver()
{
    REQUIRE_DAEMON();
    const QString name = uniqueName("studio");
    ReceiveProcess receiver({ u"--name"_s, name, u"--json"_s });
    const std::uint16_t port = receiver.waitForPort();
    QVERIFY(port != 0);
    QVERIFY(receiver.waitForAnnouncement());

    const Result discovered = run({ u"discover"_s, u"--seconds"_s, u"1"_s });
    QCOMPARE(discovered.exitCode, 0);
    const QRegularExpression row(u"^%1\\s+127\\.0\\.0\\.1\\s+%2$"_s.arg(QRegularExpression::escape(name)).arg(port),
        QRegularExpression::MultilineOption);
    QVERIFY2(row.match(discovered.out).hasMatch(), qPrintable(discovered.out + discovered.err));

    QTemporaryDir frames;
    QVERIFY(frames.isValid());
    QCOMPARE(run({ u"make-frames"_s, u"--count"_s, u"6"_s, u"--size"_s, u"40x24"_s, frames.path() }).exitCode, 0);
    QStringList images;
    for (int i = 0; i < 6; ++i)
        images.append(frames.filePath(u"frame-%1.png"_s.arg(i, 4, 10, QLatin1Char('0'))));
    const Result analysed = run(QStringList { u"analyse"_s, u"--fps"_s, u"20"_s, u"--preview"_s, name } + images);
    QCOMPARE(analysed.exitCode, 0);
    const QStringList sent = analysed.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(sent.size(), 6);

    // The last frame is never replaced, so it arrives.
    QTRY_VERIFY_WITH_TIMEOUT(receiver.output().contains(sent.last()), 10000);
    const Result received = receiver.stop();
    QCOMPARE(received.exitCode, 0);
    const QStringList got = received.out.split(u'\n', Qt::SkipEmptyParts);
    // The first messages may be replaced while the receiver resolves; from then on every frame arrives, in order.
    QVERIFY2(!got.isEmpty() && got.size() <= sent.size(), qPrintable(received.out));
    QCOMPARE(got, sent.mid(sent.size() - got.size()));
}

void TestCorvexPreview::analyseFailsForAnUnknownReceiver()
{
    QTemporaryDir frames;
    QVERIFY(frames.isValid());
    QCOMPARE(run({ u"make-frames"_s, u"--count"_s, u"1"_s, frames.path() }).exitCode, 0);
    const Result result
        = run({ u"analyse"_s, u"--preview"_s, uniqueName("nobody"), frames.filePath(u"frame-0000.png"_s) });
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(u"was found on the local network within 5 s"_s), qPrintable(result.err));
    QCOMPARE(result.out, QString());
}

int runCorvexPreviewTests(int argc, char** argv)
{
    TestCorvexPreview test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_corvex_preview.moc"
