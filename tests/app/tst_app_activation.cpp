// A later launch brings the running studio to the front: the hand-over line it
// sends, and, on the headless Wayland desktop, the launcher's activation token
// giving the studio's window the focus that another program's window holds.

#include "studio_fixture.h"

#include "app/main_window.h"
#include "app/single_instance.h"
#include "platform/handover/local_handover.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <future>
#include <optional>

using namespace corvex;
using namespace corvex::testing;
using namespace Qt::StringLiterals;
using namespace corvex::app;

Q_DECLARE_METATYPE(corvex::app::LaunchRequest)

namespace {

LaunchRequest request(std::optional<QString> problem, QByteArray token, QByteArray startupId)
{
    return { std::move(problem), std::move(token), std::move(startupId) };
}

// The environment of a second launch: no display of its own needed, and the
// launcher's tokens only as the row gives them.
QProcessEnvironment secondLaunchEnvironment(const QByteArray& token, const QByteArray& startupId)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"ASAN_OPTIONS"_s, u"detect_leaks=0"_s);
    environment.remove(u"XDG_ACTIVATION_TOKEN"_s);
    environment.remove(u"DESKTOP_STARTUP_ID"_s);
    if (!token.isEmpty())
        environment.insert(u"XDG_ACTIVATION_TOKEN"_s, QString::fromLatin1(token));
    if (!startupId.isEmpty())
        environment.insert(u"DESKTOP_STARTUP_ID"_s, QString::fromLatin1(startupId));
    return environment;
}

std::optional<QJsonObject> focusedIn(const QJsonObject& node)
{
    if (node.value(u"focused"_s).toBool())
        return node;
    for (const char* children : { "nodes", "floating_nodes" }) {
        for (const QJsonValue child : node.value(QLatin1StringView(children)).toArray()) {
            if (std::optional<QJsonObject> found = focusedIn(child.toObject()))
                return found;
        }
    }
    return std::nullopt;
}

// The window that has the focus, as the compositor itself says.
std::optional<QJsonObject> swayFocus()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"SWAYSOCK"_s, qEnvironmentVariable("CORVEX_WAYLAND_SWAYSOCK"));
    QProcess swaymsg;
    swaymsg.setProcessEnvironment(environment);
    swaymsg.start(u"swaymsg"_s, { u"-r"_s, u"-t"_s, u"get_tree"_s });
    if (!swaymsg.waitForFinished(10000) || swaymsg.exitCode() != 0)
        return std::nullopt;
    return focusedIn(QJsonDocument::fromJson(swaymsg.readAllStandardOutput()).object());
}

bool swayFocusIsOurs()
{
    const std::optional<QJsonObject> focus = swayFocus();
    return focus && focus->value(u"pid"_s).toInteger() == QCoreApplication::applicationPid();
}

bool swayFocusIs(const QString& appId)
{
    const std::optional<QJsonObject> focus = swayFocus();
    return focus && focus->value(u"app_id"_s).toString() == appId;
}

// Another program's window on the test's Wayland desktop, which also hands
// out activation tokens the way a launcher does.
class OtherWindow {
public:
    OtherWindow()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(CORVEX_TEST_TOOLS_DIR "/wayland_other_window"), {});
    }
    ~OtherWindow()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool mapped() { return readLine().startsWith("mapped"); }
    QByteArray token()
    {
        m_process.write("token\n");
        const QByteArray line = readLine();
        return line.startsWith("token ") ? line.mid(6) : QByteArray();
    }

private:
    QByteArray readLine()
    {
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine()) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(int(deadline.remainingTime()));
        }
        return m_process.readLine().trimmed();
    }

    QProcess m_process;
};

} // namespace

class TestAppActivation final : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_folder.isValid()); }

    // Plain launches send what older studios read; tokens and reasons arrive whole.
    void launchesSendOneLine_data()
    {
        QTest::addColumn<LaunchRequest>("request");
        QTest::addColumn<QByteArray>("line"); // empty: one that reads back as the request
        QTest::newRow("nothing but a launch") << request(std::nullopt, {}, {}) << QByteArray("activate");
        QTest::newRow("a sign-in answer that did not arrive")
            << request(u"nobody  waits\tfor it"_s, {}, {}) << QByteArray("signin-failed nobody waits for it");
        QTest::newRow("Wayland token") << request(std::nullopt, "b5a0c1e2-33f4", {}) << QByteArray();
        QTest::newRow("X11 startup id") << request(std::nullopt, {}, "launcher-1234-host-corvex-0_TIME42")
                                        << QByteArray();
        QTest::newRow("both, and a failed sign-in with signs in its reason")
            << request(u"no studio waits (100% sure) key=value & more"_s, "t%o=ken", "id+1") << QByteArray();
    }

    void launchesSendOneLine()
    {
        QFETCH(LaunchRequest, request);
        QFETCH(QByteArray, line);
        const QByteArray sent = request.encode();
        if (!line.isEmpty()) {
            QCOMPARE(sent, line);
            return;
        }
        QVERIFY2(sent.startsWith("activate "), sent.constData());
        // One line of plain text, as the hand-over carries it.
        QVERIFY(!sent.contains('\n'));
        QCOMPARE(LaunchRequest::decode(sent), request);
    }

    void readsWhatLaunchesSend_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("understood");
        QTest::addColumn<LaunchRequest>("expected");
        const LaunchRequest none;
        QTest::newRow("an older launch") << QByteArray("activate") << true << none;
        QTest::newRow("an older launch's failed sign-in")
            << QByteArray("signin-failed no Corvex program is waiting for a sign-in") << true
            << request(u"no Corvex program is waiting for a sign-in"_s, {}, {});
        QTest::newRow("a token") << QByteArray("activate xdg-activation-token=abc-123") << true
                                 << request(std::nullopt, "abc-123", {});
        QTest::newRow("a newer launch's field is passed over")
            << QByteArray("activate colour=red xdg-activation-token=abc") << true << request(std::nullopt, "abc", {});
        QTest::newRow("a token with a space is no token")
            << QByteArray("activate xdg-activation-token=a%20b") << true << none;
        QTest::newRow("a token with a line break is no token")
            << QByteArray("activate xdg-activation-token=a%0Ab desktop-startup-id=ok") << true
            << request(std::nullopt, {}, "ok");
        QTest::newRow("a token with a zero byte is no token")
            << QByteArray("activate xdg-activation-token=a%00b") << true << none;
        QTest::newRow("a token of the longest length")
            << QByteArray("activate xdg-activation-token=" + QByteArray(512, 'x')) << true
            << request(std::nullopt, QByteArray(512, 'x'), {});
        QTest::newRow("a token one byte too long is no token")
            << QByteArray("activate xdg-activation-token=" + QByteArray(513, 'x')) << true << none;
        QTest::newRow("a field without a value") << QByteArray("activate token") << false << none;
        QTest::newRow("a field without a name") << QByteArray("activate =abc") << false << none;
        QTest::newRow("two spaces") << QByteArray("activate  xdg-activation-token=a") << false << none;
        QTest::newRow("something else") << QByteArray("open the pod bay doors") << false << none;
        QTest::newRow("a longer word") << QByteArray("activated") << false << none;
    }

    void readsWhatLaunchesSend()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, understood);
        QFETCH(LaunchRequest, expected);
        const std::optional<LaunchRequest> read = LaunchRequest::decode(line);
        QCOMPARE(read.has_value(), understood);
        if (read)
            QCOMPARE(*read, expected);
    }

    void aSecondLaunchIsAnsweredOrToldWhy()
    {
        SingleInstance first(u"corvex-studio"_s);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);
        // Sent as a second launch does, from elsewhere: this thread's loop answers.
        const auto sent = [](QByteArray message) {
            return std::async(std::launch::async,
                [message] { return handover::send(u"corvex-studio"_s, message, std::chrono::seconds(10)); });
        };
        const auto ready = [](std::future<handover::Delivery>& delivery) {
            return delivery.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
        std::future<handover::Delivery> strange = sent("open the pod bay doors");
        QTRY_VERIFY_WITH_TIMEOUT(ready(strange), 15000);
        const handover::Delivery refused = strange.get();
        QCOMPARE(refused.failure, handover::Failure::Refused);
        QVERIFY2(refused.reason.contains(u"does not understand"_s), qPrintable(refused.reason));
        QCOMPARE(messages.count(), 0);
        std::future<handover::Delivery> plain = sent("activate");
        QTRY_VERIFY_WITH_TIMEOUT(ready(plain), 15000);
        QVERIFY(plain.get().ok());
        QCOMPARE(messages.count(), 1);

        // A second launch made while the first is still starting waits for it to listen.
        const SingleInstance second(u"corvex-late"_s);
        std::future<Result<void>> early
            = std::async(std::launch::async, [&second] { return second.send("activate", 10000); });
        QTest::qWait(300);
        SingleInstance late(u"corvex-late"_s);
        QCOMPARE(late.claim(), SingleInstance::Role::Primary);
        QTRY_VERIFY_WITH_TIMEOUT(early.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
        const Result<void> taken = early.get();
        QVERIFY2(taken, qPrintable(taken.error));

        // A studio that cannot listen at all still starts, as the only one, and knows why.
        SingleInstance deaf(u"not a plain name"_s);
        QCOMPARE(deaf.claim(), SingleInstance::Role::Primary);
        QVERIFY2(deaf.listenError().contains(u"not a plain socket name"_s), qPrintable(deaf.listenError()));
    }

    // --help and --version are answered without a display: over ssh, or for the manual page at build time.
    void helpAndVersionNeedNoDisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("start");
        QTest::newRow("--version") << u"--version"_s << QByteArray("corvex-studio ");
        QTest::newRow("--help") << u"--help"_s << QByteArray("Usage: ");
    }

    void helpAndVersionNeedNoDisplay()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, start);
        QProcessEnvironment environment = secondLaunchEnvironment({}, {});
        for (const QString& name : { u"QT_QPA_PLATFORM"_s, u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s })
            environment.remove(name);
        QProcess launch;
        launch.setProcessEnvironment(environment);
        launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), { option });
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);
        const QByteArray said = launch.readAllStandardOutput();
        QVERIFY2(said.startsWith(start), said.constData());
    }

    void aSecondLaunchHandsItsLauncherTokensOver_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("startupId");
        QTest::newRow("from a Wayland launcher") << QByteArray("4f2a-91-token") << QByteArray();
        QTest::newRow("from an X11 launcher") << QByteArray() << QByteArray("launcher-99-host-corvex-0_TIME1234");
        QTest::newRow("from a terminal") << QByteArray() << QByteArray();
    }

    void aSecondLaunchHandsItsLauncherTokensOver()
    {
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, startupId);
        SingleInstance first(u"corvex-studio"_s);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);
        QProcess launch;
        launch.setProcessEnvironment(secondLaunchEnvironment(token, startupId));
        launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), {});
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 20000);
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);
        const std::optional<LaunchRequest> received = LaunchRequest::decode(messages.first().first().toByteArray());
        QVERIFY(received);
        QCOMPARE(received->activationToken, token);
        QCOMPARE(received->startupId, startupId);
        QVERIFY(!received->signInProblem);
    }

    void aLauncherTokenGivesTheStudioTheFocusOnWayland_data()
    {
        QTest::addColumn<QByteArray>("tokenVariable");
        QTest::newRow("launched with a token") << QByteArray("XDG_ACTIVATION_TOKEN");
        // Launchers older than XDG_ACTIVATION_TOKEN hand Wayland's token over as the startup id.
        QTest::newRow("launched with the token as the startup id") << QByteArray("DESKTOP_STARTUP_ID");
        // The compositor refuses focus to a client that asks without one.
        QTest::newRow("launched without a token") << QByteArray();
    }

    void aLauncherTokenGivesTheStudioTheFocusOnWayland()
    {
        QFETCH(QByteArray, tokenVariable);
        const bool withToken = !tokenVariable.isEmpty();
        if (QGuiApplication::platformName() != QLatin1StringView("wayland")
            || qEnvironmentVariableIsEmpty("CORVEX_WAYLAND_SWAYSOCK"))
            QSKIP("needs the headless Wayland desktop of scripts/test-services (tst_app_activation_wayland)");
        auto manager = makeManager(u"http://127.0.0.1:1"_s, m_folder.path());
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        // This window itself, not one a former test left behind, has the focus.
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(swayFocusIsOurs(), 10000);

        // The author turns to another program, whose window takes the focus.
        OtherWindow other;
        QVERIFY(other.mapped());
        QTRY_VERIFY_WITH_TIMEOUT(swayFocusIs(u"corvex-other-window"_s), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isActiveWindow(), 10000);
        const QByteArray token = withToken ? other.token() : QByteArray();
        QCOMPARE(token.isEmpty(), !withToken);

        // ... and starts the studio again from a launcher.
        SingleInstance first(u"corvex-studio"_s);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);
        QObject::connect(&first, &SingleInstance::messageReceived, &studio, &StudioApp::handleLaunchMessage);
        QProcess launch;
        launch.setProcessEnvironment(tokenVariable == "DESKTOP_STARTUP_ID" ? secondLaunchEnvironment({}, token)
                                                                           : secondLaunchEnvironment(token, {}));
        launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), {});
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 20000);
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);
        // The token was for this one activation: it stays out of what the studio starts later.
        QVERIFY(qEnvironmentVariableIsEmpty("XDG_ACTIVATION_TOKEN"));

        if (withToken) {
            QTRY_VERIFY_WITH_TIMEOUT(swayFocusIsOurs(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), 10000);
        } else {
            // Whatever the studio asked of the compositor has been answered by
            // now: a token it asked for itself comes back in the first round
            // trip and is used before the second ends.
            QGuiApplication::sync();
            QGuiApplication::sync();
            const std::optional<QJsonObject> focus = swayFocus();
            QVERIFY2(focus && focus->value(u"app_id"_s).toString() == u"corvex-other-window"_s,
                focus ? QJsonDocument(*focus).toJson(QJsonDocument::Compact).left(600).constData() : "no focus");
            QVERIFY(!window->isActiveWindow());
        }
    }
};

int main(int argc, char* argv[])
{
    privateHome();
    QApplication application(argc, argv);
    TestAppActivation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app_activation.moc"
