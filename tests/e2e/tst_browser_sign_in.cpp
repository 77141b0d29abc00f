// Signing in the way a person does: the studio's "Sign In" asks the desktop
// to open the service's page, the desktop's default browser (a real Chromium
// on the test X server, in a profile of the test's own) shows it, the form is
// filled in and sent in that browser, the service sends the browser to
// corvexapp://callback?token=…, the browser hands that to the desktop, which
// starts a second corvex-studio from our desktop entry, and that one hands it
// to the studio that waits. Only 127.0.0.1 is ever reached: the browser
// resolves no host names and runs none of its background services.

#include "app/studio_fixture.h"

#include "support/xdg_sandbox.h"

#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/single_instance.h"
#include "app/studio_app.h"
#include "service/light_show_list_model.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <unistd.h>

using namespace corvex;
using namespace corvex::app;

namespace {

const QString kEmail = QStringLiteral("browser-author@example.org");
const QString kPassword = QStringLiteral("correct horse battery");

/// Everything that keeps the browser on this machine and quiet.
QStringList browserSwitches(const QString& profile)
{
    QStringList switches { QStringLiteral("--user-data-dir=") + profile, QStringLiteral("--no-first-run"),
        QStringLiteral("--no-default-browser-check"), QStringLiteral("--password-store=basic"),
        // DevTools on 127.0.0.1 at a port of the browser's choosing, written to DevToolsActivePort.
        QStringLiteral("--remote-debugging-port=0"),
        // No host name resolves: only the IP literal 127.0.0.1 can be reached.
        QStringLiteral("--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"),
        QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"), QStringLiteral("--disable-default-apps"),
        QStringLiteral("--disable-extensions"), QStringLiteral("--disable-client-side-phishing-detection"),
        QStringLiteral("--safebrowsing-disable-auto-update"), QStringLiteral("--disable-domain-reliability"),
        QStringLiteral("--disable-breakpad"), QStringLiteral("--no-pings"), QStringLiteral("--metrics-recording-only"),
        QStringLiteral("--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication,"
                       "CertificateTransparencyComponentUpdater"),
        QStringLiteral("--disable-gpu") };
    // The browser's own sandbox refuses to start as root (CI runs so).
    if (::geteuid() == 0)
        switches << QStringLiteral("--no-sandbox");
    return switches;
}

QString shellQuoted(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

bool writeFile(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return permissions == QFileDevice::Permissions {} || file.setPermissions(permissions);
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

/// The WebDriver HTTP API of chromedriver, on 127.0.0.1.
class WebDriver final {
public:
    explicit WebDriver(quint16 port)
        : m_base(QStringLiteral("http://127.0.0.1:%1").arg(port))
    {
    }

    /// The command's "value", or nothing with `error` set.
    std::optional<QJsonValue> call(const QByteArray& method, const QString& path, const QJsonObject& body = {})
    {
        QNetworkRequest request(QUrl(m_base + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setTransferTimeout(30000);
        const QByteArray payload = method == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
        std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, method, payload));
        if (!QTest::qWaitFor([&reply] { return reply->isFinished(); }, 40000)) {
            error = QStringLiteral("%1 %2: no answer").arg(QString::fromLatin1(method), path);
            return std::nullopt;
        }
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        const QJsonValue value = answer.value(QStringLiteral("value"));
        if (reply->error() != QNetworkReply::NoError || value.toObject().contains(QStringLiteral("error"))) {
            error = QStringLiteral("%1 %2: %3 %4")
                        .arg(QString::fromLatin1(method), path, reply->errorString(),
                            value.toObject().value(QStringLiteral("message")).toString().left(300));
            return std::nullopt;
        }
        return value;
    }

    QString session(const QString& path) const { return QStringLiteral("/session/") + sessionId + path; }

    /// The element that `css` finds, or empty.
    QString element(const QString& css)
    {
        const auto found = call("POST", session(QStringLiteral("/element")),
            { { QStringLiteral("using"), QStringLiteral("css selector") }, { QStringLiteral("value"), css } });
        if (!found)
            return {};
        const QJsonObject reference = found->toObject();
        return reference.isEmpty() ? QString() : reference.begin().value().toString();
    }

    QString sessionId;
    QString error;

private:
    QString m_base;
    QNetworkAccessManager m_network;
};

/// The test's own home: XDG folders, the browser's profile, the PATH it adds.
QTemporaryDir& home()
{
    static QTemporaryDir folder;
    return folder;
}

bool isRunning(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // A zombie has ended; it waits only for its parent to notice.
    const QByteArray fields = stat.readAll();
    const qsizetype close = fields.lastIndexOf(')');
    return close > 0 && fields.mid(close + 2, 1) != "Z";
}

} // namespace

class TestBrowserSignIn : public QObject {
    Q_OBJECT

    QTemporaryDir& m_home = home();
    corvex::testing::ReferenceServiceProcess m_service;
    QProcess m_driver;
    std::unique_ptr<WebDriver> m_webDriver;
    pid_t m_browser = 0;

    QString path(const QString& relative) const { return m_home.filePath(relative); }

    void screenshot(QWidget* window, const QString& name)
    {
        QDir().mkpath(QStringLiteral(CORVEX_E2E_ARTIFACTS));
        window->grab().save(QStringLiteral(CORVEX_E2E_ARTIFACTS "/browser-%1.png").arg(name));
    }

    void browserScreenshot(const QString& name)
    {
        if (!m_webDriver || m_webDriver->sessionId.isEmpty())
            return;
        if (const auto png = m_webDriver->call("GET", m_webDriver->session(QStringLiteral("/screenshot")))) {
            QDir().mkpath(QStringLiteral(CORVEX_E2E_ARTIFACTS));
            writeFile(QStringLiteral(CORVEX_E2E_ARTIFACTS "/browser-%1.png").arg(name),
                QByteArray::fromBase64(png->toString().toLatin1()));
        }
    }

    /// The desktop of the test: our desktop entry handles corvexapp:, a
    /// browser entry of the test's own is the default web browser.
    bool prepareDesktop()
    {
        const QString bin = path(QStringLiteral("bin"));
        const QString applications = path(QStringLiteral("data/applications"));
        if (!QDir().mkpath(bin) || !QDir().mkpath(applications) || !QDir().mkpath(path(QStringLiteral("config"))))
            return false;
        // As installed: the entry's Exec finds corvex-studio on the PATH.
        if (!QFile::link(QStringLiteral(CORVEX_STUDIO_BINARY), bin + QStringLiteral("/corvex-studio")))
            return false;
        if (!QFile::copy(
                QStringLiteral(CORVEX_DESKTOP_ENTRY), applications + QStringLiteral("/app.corvex.Studio.desktop")))
            return false;
        // The browser notes its process id (exec keeps it) so that the test can end it.
        QStringList command { QStringLiteral("exec"), QStringLiteral("/usr/bin/chromium") };
        for (const QString& option : browserSwitches(path(QStringLiteral("chromium"))))
            command << shellQuoted(option);
        const QByteArray launcher = "#!/bin/sh\necho $$ > " + shellQuoted(path(QStringLiteral("browser.pid"))).toUtf8()
            + "\n" + command.join(QLatin1Char(' ')).toUtf8() + " \"$@\"\n";
        const QString browser = bin + QStringLiteral("/corvex-test-browser");
        if (!writeFile(browser, launcher, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
            return false;
        const QByteArray browserEntry = "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" + browser.toUtf8()
            + " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;text/html;\n";
        if (!writeFile(applications + QStringLiteral("/corvex-test-browser.desktop"), browserEntry))
            return false;
        const QByteArray associations = "[Default Applications]\n"
                                        "x-scheme-handler/http=corvex-test-browser.desktop\n"
                                        "x-scheme-handler/https=corvex-test-browser.desktop\n"
                                        "text/html=corvex-test-browser.desktop\n"
                                        "x-scheme-handler/corvexapp=app.corvex.Studio.desktop\n";
        if (!writeFile(path(QStringLiteral("config/mimeapps.list")), associations))
            return false;
        // What "Always allow" in the browser's prompt would remember: the service's page may hand
        // corvexapp: links to the desktop without asking. It is kept in this test's own profile,
        // so nothing of the machine's or the user's browser changes, and it goes with the profile.
        const QJsonObject allowed { { m_service.origin(), QJsonObject { { QStringLiteral("corvexapp"), true } } } };
        const QJsonObject preferences { { QStringLiteral("protocol_handler"),
            QJsonObject { { QStringLiteral("allowed_origin_protocol_pairs"), allowed } } } };
        if (!QDir().mkpath(path(QStringLiteral("chromium/Default")))
            || !writeFile(path(QStringLiteral("chromium/Default/Preferences")), QJsonDocument(preferences).toJson()))
            return false;
        qputenv("PATH", bin.toUtf8() + ':' + qgetenv("PATH"));
        // xdg-open takes the generic road, which reads mimeapps.list; nothing picks another browser.
        for (const char* variable : { "BROWSER", "DEFAULT_BROWSER", "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP",
                 "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID", "MATE_DESKTOP_SESSION_ID" })
            qunsetenv(variable);
        return true;
    }

    void stopBrowser()
    {
        if (m_webDriver && !m_webDriver->sessionId.isEmpty())
            m_webDriver->call("DELETE", m_webDriver->session(QString()));
        if (m_driver.state() != QProcess::NotRunning) {
            m_driver.terminate();
            if (!m_driver.waitForFinished(5000))
                m_driver.kill();
            m_driver.waitForFinished(5000);
        }
        if (m_browser <= 0)
            return;
        // Only the browser of this test's profile: its process id may have been reused.
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(m_browser));
        if (command.open(QIODevice::ReadOnly)
            && command.readAll().contains(("--user-data-dir=" + path(QStringLiteral("chromium"))).toUtf8())) {
            ::kill(m_browser, SIGTERM);
            if (!QTest::qWaitFor([this] { return !isRunning(m_browser); }, 10000))
                ::kill(m_browser, SIGKILL);
            (void)QTest::qWaitFor([this] { return !isRunning(m_browser); }, 10000);
        }
        m_browser = 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the X server that scripts/test-services starts");
        QStringList missing;
        for (const char* program : { "chromium", "chromedriver", "xdg-open" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                missing << QString::fromLatin1(program);
        }
        if (!missing.isEmpty()) {
            const QString message
                = QStringLiteral("the browser sign-in needs %1: run scripts/install-deps test").arg(missing.join(", "));
            // In CI scripts/install-deps test has run, so something is broken there.
            if (!qEnvironmentVariableIsEmpty("CI"))
                QFAIL(qPrintable(message));
            QSKIP(qPrintable(message));
        }
        QVERIFY(m_service.start());
        QVERIFY(prepareDesktop());
    }

    void cleanupTestCase() { stopBrowser(); }

    void signInThroughTheBrowser()
    {
        auto manager = corvex::testing::makeManager(m_service.origin(), path(QStringLiteral("studio")));
        SingleInstance instance(QStringLiteral("corvex-studio"));
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        StudioApp studio(
            manager->uploads, RecordingModels::process()); // opens the sign-in page with the desktop's default browser
        QSignalSpy launches(&instance, &SingleInstance::messageReceived);
        connect(&instance, &SingleInstance::messageReceived, &studio, &StudioApp::handleLaunchMessage);
        MainWindow* main = studio.newMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(main, 20000));
        QPushButton* signInButton = corvex::testing::shown<QPushButton>(main, QStringLiteral("Sign In"));
        QVERIFY(signInButton);

        signInButton->click();
        // xdg-open starts the browser, which says where its DevTools listen.
        const QString activePort = path(QStringLiteral("chromium/DevToolsActivePort"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(activePort) && QFileInfo(activePort).size() > 0, 60000);
        QFile pidFile(path(QStringLiteral("browser.pid")));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        m_browser = pid_t(pidFile.readAll().trimmed().toInt());
        QVERIFY(m_browser > 0);
        QFile portFile(activePort);
        QVERIFY(portFile.open(QIODevice::ReadOnly));
        const int devToolsPort = portFile.readLine().trimmed().toInt();
        QVERIFY(devToolsPort > 0);

        // chromedriver drives that browser as a person would: it types and clicks.
        const quint16 driverPort = freeLoopbackPort();
        QVERIFY(driverPort > 0);
        m_driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_driver.start(QStringLiteral("chromedriver"), { QStringLiteral("--port=%1").arg(driverPort) });
        QVERIFY(m_driver.waitForStarted(10000));
        m_webDriver = std::make_unique<WebDriver>(driverPort);
        QTRY_VERIFY_WITH_TIMEOUT(
            [this] {
                const auto status = m_webDriver->call("GET", QStringLiteral("/status"));
                return status && status->toObject().value(QStringLiteral("ready")).toBool();
            }(),
            30000);
        const QJsonObject options { { QStringLiteral("debuggerAddress"),
            QStringLiteral("127.0.0.1:%1").arg(devToolsPort) } };
        const QJsonObject capabilities { { QStringLiteral("alwaysMatch"),
            QJsonObject { { QStringLiteral("goog:chromeOptions"), options } } } };
        const auto session = m_webDriver->call(
            "POST", QStringLiteral("/session"), { { QStringLiteral("capabilities"), capabilities } });
        QVERIFY2(session, qPrintable(m_webDriver->error));
        m_webDriver->sessionId = session->toObject().value(QStringLiteral("sessionId")).toString();
        QVERIFY(!m_webDriver->sessionId.isEmpty());

        // The page the studio asked for.
        QTRY_VERIFY_WITH_TIMEOUT(
            [this] {
                const auto url = m_webDriver->call("GET", m_webDriver->session(QStringLiteral("/url")));
                return url
                    && url->toString().contains(QStringLiteral("/auth/signin?redirectUri=corvexapp://callback&state="));
            }(),
            30000);
        QString email;
        (void)QTest::qWaitFor(
            [&] { return !(email = m_webDriver->element(QStringLiteral("input[name=email]"))).isEmpty(); }, 30000);
        if (email.isEmpty())
            browserScreenshot(QStringLiteral("no-form"));
        QVERIFY2(!email.isEmpty(), qPrintable(m_webDriver->error));
        const QString password = m_webDriver->element(QStringLiteral("input[name=password]"));
        const QString create = m_webDriver->element(QStringLiteral("button[value=create]"));
        QVERIFY2(!password.isEmpty() && !create.isEmpty(), qPrintable(m_webDriver->error));
        const auto type = [this](const QString& element, const QString& text) {
            return m_webDriver
                ->call("POST", m_webDriver->session(QStringLiteral("/element/%1/value").arg(element)),
                    { { QStringLiteral("text"), text } })
                .has_value();
        };
        QVERIFY2(type(email, kEmail), qPrintable(m_webDriver->error));
        QVERIFY2(type(password, kPassword), qPrintable(m_webDriver->error));
        browserScreenshot(QStringLiteral("form"));
        QVERIFY2(m_webDriver->call("POST", m_webDriver->session(QStringLiteral("/element/%1/click").arg(create))),
            qPrintable(m_webDriver->error));

        // The browser hands the answer to the desktop, which starts corvex-studio
        // with it; that launch gives it to the sign-in waiting here and raises us.
        if (!QTest::qWaitFor([&] { return manager->session.account().has_value(); }, 60000))
            browserScreenshot(QStringLiteral("no-answer"));
        QVERIFY(manager->session.account().has_value());
        QCOMPARE(manager->session.account()->email, kEmail);
        QTRY_VERIFY_WITH_TIMEOUT(launches.count() >= 1, 20000);
        QCOMPARE(launches.first().first().toByteArray(), QByteArray("activate"));
        QTRY_VERIFY_WITH_TIMEOUT(!corvex::testing::shown<QPushButton>(main, QStringLiteral("Sign In")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(corvex::testing::labelStartingWith(main, QStringLiteral("No light shows yet")), 20000);
        QVERIFY(corvex::testing::shown<QLabel>(main, QStringLiteral("Signed in as %1").arg(kEmail)));
        screenshot(main, QStringLiteral("signed-in"));
        stopBrowser();
    }
};

int main(int argc, char* argv[])
{
    corvex::testing::useXdgFoldersIn(home());
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication application(argc, argv);
    // What this process starts (the browser, the second launch) is not ours to check for leaks.
    QByteArray sanitizer = qgetenv("ASAN_OPTIONS");
    qputenv("ASAN_OPTIONS", sanitizer + (sanitizer.isEmpty() ? "" : ":") + "detect_leaks=0");
    // The second launch only hands over and ends: it needs no window on the display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestBrowserSignIn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_browser_sign_in.moc"
