// The local hand-over between a later launch and the running program: real
// sockets in a folder of the test's own.

#include "platform/handover/local_handover.h"

#include "support/full_disk.h"
#include "support/xdg_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using corvex::handover::Delivery;
using corvex::handover::Failure;
using corvex::handover::Listener;

Q_DECLARE_METATYPE(corvex::handover::Failure)

namespace {

constexpr const char* kChildVariable = "CORVEX_HANDOVER_CHILD";

/// Sends from another thread while this one runs the event loop, as a second
/// launch does from its own process.
Delivery sendFromElsewhere(const QString& name, const QByteArray& message,
    corvex::handover::Wait wait = corvex::handover::Wait::No, std::chrono::milliseconds timeout = 5s)
{
    auto future = std::async(std::launch::async, [=] { return corvex::handover::send(name, message, timeout, wait); });
    // The send itself gives up after `timeout`, so this ends.
    while (future.wait_for(0s) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return future.get();
}

/// A socket file with nobody behind it, as a crash leaves one.
bool leaveDeadSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

} // namespace

class TestHandover : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    static constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

    // The socket path for `name` with the runtime folder at `runtime` (in the test's folder, owner-only).
    corvex::Result<QString> socketPathWithRuntime(const QString& runtime, const QString& name)
    {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        const QString runtimePath = m_dir.filePath(runtime);
        QDir().mkpath(runtimePath);
        QFile::setPermissions(runtimePath, kOwnerOnly);
        qputenv("XDG_RUNTIME_DIR", runtimePath.toUtf8());
        auto found = corvex::handover::socketPath(name);
        qputenv("XDG_RUNTIME_DIR", saved);
        return found;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        corvex::testing::useXdgFoldersIn(m_dir);
    }

    void deliveries_data()
    {
        QTest::addColumn<QString>("leftBehind"); // what is at the socket's place before anyone listens
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("reason");

        const QByteArray url = "corvexapp://callback?token=abc";
        QTest::newRow("taken") << "" << true << url << Failure::None << "";
        QTest::newRow("UTF-8 text") << "" << true << QByteArray("signin-failed naïve café") << Failure::None << "";
        QTest::newRow("refused by its judge")
            << "" << true << QByteArray("https://x/") << Failure::Refused << "not ours";
        QTest::newRow("nobody listening") << "" << false << url << Failure::NobodyListening << "nobody is listening";
        QTest::newRow("a plain file left behind")
            << "file" << false << url << Failure::NobodyListening << "nobody is listening";
        QTest::newRow("a dead socket left behind")
            << "socket" << false << url << Failure::NobodyListening << "nobody is listening";
        QTest::newRow("empty") << "" << true << QByteArray() << Failure::InvalidMessage << "empty";
        QTest::newRow("the longest allowed")
            << "" << true << QByteArray(corvex::handover::kMaxMessage, 'a') << Failure::None << "";
        QTest::newRow("too long") << "" << true << QByteArray(corvex::handover::kMaxMessage + 1, 'a')
                                  << Failure::InvalidMessage << "longer than";
        QTest::newRow("a second line") << "" << true << QByteArray("activate\nactivate") << Failure::InvalidMessage
                                       << "control characters";
        QTest::newRow("not UTF-8") << "" << true << QByteArray("\xff\xfe") << Failure::InvalidMessage << "UTF-8";
    }

    void deliveries()
    {
        QFETCH(QString, leftBehind);
        QFETCH(bool, listening);
        QFETCH(QByteArray, message);
        QFETCH(Failure, failure);
        QFETCH(QString, reason);

        const QString name = QStringLiteral("deliveries-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        const QString path = corvex::handover::socketPath(name).value.value_or(QString());
        QVERIFY(!path.isEmpty());
        if (leftBehind == QLatin1StringView("file")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (leftBehind == QLatin1StringView("socket")) {
            QVERIFY(leaveDeadSocket(path));
        }
        Listener listener(name);
        listener.setJudge(
            [](const QByteArray& m) { return m.startsWith("https:") ? QStringLiteral("not ours") : QString(); });
        QSignalSpy received(&listener, &Listener::messageReceived);
        if (listening)
            QCOMPARE(listener.listen(), Listener::Result::Listening);

        const Delivery delivery = sendFromElsewhere(name, message);
        QCOMPARE(delivery.failure, failure);
        QVERIFY2(delivery.reason.contains(reason), qPrintable(delivery.reason));
        if (failure == Failure::None) {
            QCOMPARE(received.count(), 1);
            QCOMPARE(received.first().first().toByteArray(), message);
        } else {
            QCOMPARE(received.count(), 0);
        }
        // Never the message itself in what a person is shown.
        QVERIFY(message.isEmpty() || !delivery.reason.contains(QString::fromUtf8(message)));
    }

    // A sender that does not speak our way gets a refusal and is not heard;
    // the longest message is heard however late its line end comes.
    void garbageIsRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("oversized, no line end")
            << QByteArray(corvex::handover::kMaxMessage + 10, 'x') << QByteArray("refused the message is too long");
        QTest::newRow("oversized line") << QByteArray(corvex::handover::kMaxMessage + 1, 'x') + '\n'
                                        << QByteArray("refused the message is too long");
        QTest::newRow("NUL byte") << QByteArray("activ\0te\n", 9)
                                  << QByteArray("refused the message holds control characters");
        QTest::newRow("escape sequence") << QByteArray("\x1b[2Jactivate\n")
                                         << QByteArray("refused the message holds control characters");
        QTest::newRow("DEL byte") << QByteArray("activ\x7f" "te\n")
                                  << QByteArray("refused the message holds control characters");
        QTest::newRow("not UTF-8") << QByteArray("\xc3\x28\n") << QByteArray("refused the message is not UTF-8 text");
        QTest::newRow("empty line") << QByteArray("\n") << QByteArray("refused the message is empty");
        QTest::newRow("the longest, its line end late") << QByteArray(corvex::handover::kMaxMessage, 'x') + '\n'
                                                        << QByteArray("ok");
    }

    void garbageIsRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, answer);
        Listener listener(QStringLiteral("garbage"));
        QCOMPARE(listener.listen(), Listener::Result::Listening);
        QSignalSpy received(&listener, &Listener::messageReceived);

        QLocalSocket raw;
        raw.connectToServer(listener.path());
        QVERIFY(raw.waitForConnected(5000));
        // Up to the longest message first, for the listener to look at before the rest comes.
        raw.write(bytes.left(corvex::handover::kMaxMessage));
        QTest::qWait(100);
        raw.write(bytes.mid(corvex::handover::kMaxMessage));
        QTRY_VERIFY_WITH_TIMEOUT(raw.canReadLine(), 10000);
        QCOMPARE(raw.readLine().trimmed(), answer);
        QTRY_COMPARE(raw.state(), QLocalSocket::UnconnectedState);
        const int heard = answer == "ok" ? 1 : 0;
        QCOMPARE(received.count(), heard);

        // The listener still takes the next good message.
        QVERIFY(sendFromElsewhere(listener.path().section('/', -1), "activate").ok());
        QCOMPARE(received.count(), heard + 1);
    }

    // Something at the socket that does not answer as a listener does: nothing
    // counts as delivered, and the sender says what it got instead.
    void oddAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer"); // written back once the message is read; "-" hangs up instead
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("reason");
        QTest::newRow("silence") << QByteArray() << Failure::NoAnswer << "no answer in time";
        QTest::newRow("hangs up") << QByteArray("-") << Failure::NoAnswer << "the listener hung up without an answer";
        QTest::newRow("an answer of another kind")
            << QByteArray("okay\n") << Failure::NoAnswer << "the listener gave an answer we do not understand";
        QTest::newRow("a refusal without a reason") << QByteArray("refused\n") << Failure::Refused << "refused";
    }

    void oddAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(Failure, failure);
        QFETCH(QString, reason);
        const QString name = QStringLiteral("odd-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        QLocalServer odd;
        QVERIFY(odd.listen(corvex::handover::socketPath(name).value.value_or(QString())));
        connect(&odd, &QLocalServer::newConnection, &odd, [&odd, answer] {
            QLocalSocket* socket = odd.nextPendingConnection();
            connect(socket, &QLocalSocket::readyRead, socket, [socket, answer] {
                if (!socket->canReadLine())
                    return;
                if (answer == "-")
                    socket->disconnectFromServer();
                else
                    socket->write(answer);
            });
        });
        const Delivery delivery = sendFromElsewhere(name, "activate", corvex::handover::Wait::No, 1s);
        QCOMPARE(delivery.failure, failure);
        QCOMPARE(delivery.reason, reason);
    }

    void twoSendersAtOnce()
    {
        Listener listener(QStringLiteral("two-senders"));
        QCOMPARE(listener.listen(), Listener::Result::Listening);
        QSignalSpy received(&listener, &Listener::messageReceived);
        const QString name = QStringLiteral("two-senders");
        auto first = std::async(std::launch::async, [&] { return corvex::handover::send(name, "first", 5s); });
        auto second = std::async(std::launch::async, [&] { return corvex::handover::send(name, "second", 5s); });
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 10000);
        QVERIFY(first.get().ok());
        QVERIFY(second.get().ok());
        QStringList messages { received.at(0).first().toString(), received.at(1).first().toString() };
        messages.sort();
        QCOMPARE(messages, QStringList({ "first", "second" }));
    }

    // One sender that connects and says nothing holds neither the listener
    // nor the next sender, and is dropped.
    void aSilentSenderIsDropped()
    {
        Listener listener(QStringLiteral("silent"));
        listener.setReadTimeout(200ms);
        QCOMPARE(listener.listen(), Listener::Result::Listening);
        QLocalSocket silent;
        silent.connectToServer(listener.path());
        QVERIFY(silent.waitForConnected(5000));
        QVERIFY(sendFromElsewhere(QStringLiteral("silent"), "activate").ok());
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QLocalSocket::UnconnectedState, 10000);
    }

    void oneListenerPerName()
    {
        Listener first(QStringLiteral("one-per-name"));
        QCOMPARE(first.listen(), Listener::Result::Listening);
        QCOMPARE(first.listen(), Listener::Result::Listening); // asked again, it goes on
        Listener second(QStringLiteral("one-per-name"));
        QCOMPARE(second.listen(), Listener::Result::Busy);
        first.close();
        QCOMPARE(second.listen(), Listener::Result::Listening);
        QVERIFY(sendFromElsewhere(QStringLiteral("one-per-name"), "activate").ok());

        // A program that serves the socket without taking the lock is not pushed aside.
        const QString path = corvex::handover::socketPath(QStringLiteral("served-elsewhere")).value.value_or(QString());
        QLocalServer other;
        QVERIFY(other.listen(path));
        Listener third(QStringLiteral("served-elsewhere"));
        QCOMPARE(third.listen(), Listener::Result::Busy);
        QVERIFY(other.isListening());
        QVERIFY(QFileInfo::exists(path));

        // Nor is a folder in the socket's place; the listener says why it cannot listen.
        QVERIFY(QDir().mkpath(corvex::handover::socketPath(QStringLiteral("a-folder")).value.value_or(QString())));
        Listener fourth(QStringLiteral("a-folder"));
        QCOMPARE(fourth.listen(), Listener::Result::CannotListen);
        QVERIFY2(fourth.error().contains(QLatin1StringView("cannot listen on")), qPrintable(fourth.error()));
    }

    // A listener killed outright leaves its socket and lock behind; the next
    // one takes over and the first sender after the crash is told nobody listens.
    void aCrashedListenerIsReplaced()
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kChildVariable), QStringLiteral("crashed"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted(10000));
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT(
            (said += child.readAllStandardOutput()).contains("listening") || child.state() == QProcess::NotRunning,
            child.readAllStandardError().constData(), 20000);
        QVERIFY2(said.contains("listening"), child.readAllStandardError().constData());
        Listener meanwhile(QStringLiteral("crashed"));
        QCOMPARE(meanwhile.listen(), Listener::Result::Busy);

        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        const QString path = corvex::handover::socketPath(QStringLiteral("crashed")).value.value_or(QString());
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(QFileInfo::exists(path + QStringLiteral(".lock")));
        QCOMPARE(sendFromElsewhere(QStringLiteral("crashed"), "activate").failure, Failure::NobodyListening);

        Listener next(QStringLiteral("crashed"));
        QCOMPARE(next.listen(), Listener::Result::Listening);
        QSignalSpy received(&next, &Listener::messageReceived);
        QVERIFY(sendFromElsewhere(QStringLiteral("crashed"), "activate").ok());
        QCOMPARE(received.count(), 1);
    }

    void aSenderMayComeBeforeTheListener()
    {
        auto sending = std::async(std::launch::async, [] {
            return corvex::handover::send(QStringLiteral("late"), "activate", 10s, corvex::handover::Wait::ForListener);
        });
        Listener late(QStringLiteral("late"));
        QCOMPARE(late.listen(), Listener::Result::Listening);
        QSignalSpy received(&late, &Listener::messageReceived);
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 15000);
        QVERIFY(sending.get().ok());
    }

    void socketsAreOwnerOnly()
    {
        Listener listener(QStringLiteral("owner-only"));
        QCOMPARE(listener.listen(), Listener::Result::Listening);
        struct stat info { };
        QCOMPARE(::stat(QFile::encodeName(listener.path()).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_mode & 077, 0u);
    }

    // A runtime folder on a full disk: the lock cannot be written, which is no permission problem.
    void aFullRuntimeFolder()
    {
        corvex::testing::FullDisk disk;
        CORVEX_REQUIRE_FULL_DISK(disk);
        QVERIFY(QFile::setPermissions(disk.path(), kOwnerOnly));
        disk.fill();
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(disk.path()));
        Listener listener(QStringLiteral("full"));
        const Listener::Result result = listener.listen();
        qputenv("XDG_RUNTIME_DIR", saved);
        QCOMPARE(result, Listener::Result::CannotListen);
        const QString error = listener.error();
        QVERIFY2(error.contains(QLatin1StringView("cannot lock")) && !error.contains(QLatin1StringView("permission")),
            qPrintable(error));
    }

    // The fallback folder is not used while others may enter it.
    void aFallbackFolderOpenToOthersIsNotUsed()
    {
        const QString fallback = QStringLiteral("/tmp/corvex-%1").arg(::getuid());
        QVERIFY(QDir().mkpath(fallback));
        QVERIFY(QFile::setPermissions(fallback, kOwnerOnly | QFileDevice::ReadOther | QFileDevice::ExeOther));
        const auto found = socketPathWithRuntime(QStringLiteral("runtime/") + QString(90, 'd'), "corvex-studio");
        QFile::setPermissions(fallback, kOwnerOnly);
        QVERIFY(!found);
        QVERIFY2(found.error.contains(QLatin1StringView("only you can use")), qPrintable(found.error));
    }

    void socketPaths_data()
    {
        QTest::addColumn<QString>("runtime"); // relative to the test's folder; "-" for unset
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("folder"); // expected folder of the socket, or empty for none
        const QString fallback = QStringLiteral("/tmp/corvex-%1").arg(::getuid());
        const struct {
            const char* name;
            QString runtime, socket, folder;
        } rows[] = {
            { "runtime folder", "runtime", "corvex-studio", "runtime" },
            { "runtime folder too deep for a socket", "runtime/" + QString(90, 'd'), "corvex-studio", fallback },
            { "empty name", "runtime", "", "" },
            { "a path, not a name", "runtime", "../corvex-studio", "" },
            { "a folder in the name", "runtime", "a/b", "" },
            { "the longest name", "runtime", "n" + QString(63, 'a'), "runtime" },
            { "a name too long", "runtime", "n" + QString(64, 'a'), "" },
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << row.runtime << row.socket << row.folder;
        // The socket's path at the longest a socket address holds (107 bytes and the end), and one byte over.
        const int room
            = 107 - int(m_dir.filePath(QStringLiteral("runtime/")).size()) - int(sizeof "/corvex-studio") + 1;
        const QString longest = QStringLiteral("runtime/") + QString(room, 'e');
        QTest::newRow("socket path at the limit") << longest << "corvex-studio" << longest;
        QTest::newRow("socket path a byte over") << longest + 'e' << "corvex-studio" << fallback;
    }

    void socketPaths()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, name);
        QFETCH(QString, folder);
        const auto found = socketPathWithRuntime(runtime, name);
        if (folder.isEmpty()) {
            QVERIFY(!found);
            const Delivery sent = corvex::handover::send(name, "activate", 1s); // nor send, and says why
            QVERIFY2(sent.failure == Failure::NobodyListening && sent.reason.contains(QLatin1StringView("not a plain")),
                qPrintable(sent.reason));
            Listener listener(name); // cannot listen either, and says why
            QCOMPARE(listener.listen(), Listener::Result::CannotListen);
            QVERIFY2(
                listener.error().contains(QLatin1StringView("not a plain socket name")), qPrintable(listener.error()));
            return;
        }
        QVERIFY2(found, qPrintable(found.error));
        const QString& path = *found.value;
        QCOMPARE(path, (folder.startsWith('/') ? folder : m_dir.filePath(folder)) + '/' + name);
        QVERIFY(QFile::encodeName(path).size() < qsizetype(sizeof(sockaddr_un::sun_path)));
        struct stat info { };
        QCOMPARE(::stat(QFile::encodeName(path.section('/', 0, -2)).constData(), &info), 0);
        QCOMPARE(info.st_uid, ::getuid());
        QCOMPARE(info.st_mode & 077, 0u);
    }
};

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        // The listener that the crash test kills.
        QCoreApplication application(argc, argv);
        Listener listener(qEnvironmentVariable(kChildVariable));
        if (listener.listen() != Listener::Result::Listening)
            return 1;
        std::fputs("listening\n", stdout);
        std::fflush(stdout);
        return application.exec();
    }
    QCoreApplication application(argc, argv);
    TestHandover test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_handover.moc"
