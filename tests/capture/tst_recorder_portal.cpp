// Recording on the headless Wayland desktop of scripts/wayland-test-services through
// the screen recorder, the capture engine and the analysis recorder; a Wayland client paints.

#include "analysis/analysis_recorder.h"
#include "capture/screen_recorder.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "support/cli_run.h"
#include "support/recorded.h"
#include "support/wayland_test_desktop.h"

#include <QCoroTask>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace corvex;
using namespace corvex::screencapture;
using capture::ScreenRecorder;
using test::Run;
using test::WaylandPainter;
using test::WaylandTestDesktop;

namespace {

struct Channel {
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t rgb;
};

/// The newest sample of the channel at grid position (x, y), as 0xRRGGBB.
std::optional<std::uint32_t> newest(const VideoAnalysis& record, std::uint32_t x, std::uint32_t y)
{
    for (const VideoAnalysis::Channel& channel : record.channels())
        if (channel.x() == x && channel.y() == y && channel.r_size() > 0) {
            const int last = channel.r_size() - 1;
            return std::uint32_t(channel.r(last)) << 16 | std::uint32_t(channel.g(last)) << 8
                | std::uint32_t(channel.b(last));
        }
    return std::nullopt;
}

} // namespace

class TestRecorderPortal final : public QObject {
    Q_OBJECT

    std::optional<WaylandTestDesktop> m_desktop;
    QTemporaryDir m_settings;

    std::unique_ptr<ScreenRecorder> recorderFor(analysis::AnalysisRecorder& recorder, bool audio)
    {
        portal::PortalBackend::Options options;
        options.address.busAddress = m_desktop->bus.toStdString();
        options.store = portal::settingsChoiceStore(m_settings.filePath(u"corvex.ini"_s).toStdString());
        auto screen = std::make_unique<ScreenRecorder>(portal::PortalBackend::create(options), recorder);
        screen->setIsAudioCaptureEnabled(audio);
        return screen;
    }

    /// The preview's pixel at fractions (fx, fy) of its surface, as 0xRRGGBB.
    static std::optional<std::uint32_t> shown(ScreenRecorder& screen, double fx, double fy)
    {
        const std::shared_ptr<const Surface>& surface = screen.capturePreview()->contents();
        if (!surface)
            return std::nullopt;
        const std::uint8_t* p = surface->pixels.get() + std::size_t(fy * surface->height) * surface->bytesPerRow
            + std::size_t(fx * surface->width) * 4;
        return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    }

    /// Paints until the preview (which has a frame after the recorder) shows `rgb` at (fx, fy).
    static bool paintUntilShown(WaylandPainter& painter, ScreenRecorder& screen, const QByteArray& what, double fx,
        double fy, std::uint32_t rgb)
    {
        for (int attempt = 0; attempt < 40; ++attempt) {
            painter.paint(what);
            for (int i = 0; i < 10; ++i) {
                if (shown(screen, fx, fy) == rgb)
                    return true;
                QTest::qWait(50);
            }
        }
        return false;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_desktop = WaylandTestDesktop::fromEnvironment();
        if (!m_desktop && WaylandTestDesktop::mustRun())
            QFAIL(qPrintable(WaylandTestDesktop::missing()));
        if (!m_desktop)
            QSKIP(qPrintable(WaylandTestDesktop::missing()));
    }

    void init() { QVERIFY(m_desktop->ensurePortalRunning()); }

    void recordsTheChosenScreenAndItsCrop()
    {
        WaylandPainter painter(*m_desktop);
        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, false);
        QVERIFY(QCoro::waitFor(screen->canRecord()));
        QCoro::waitFor(screen->refreshAvailableContent());
        QCOMPARE(screen->availableDisplays().size(), std::size_t(1));
        QCOMPARE(ScreenRecorder::displayName(screen->availableDisplays().front()), u"Display: 1920 x 1080"_s);
        QVERIFY(screen->availableWindows().empty());
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
        QVERIFY(paintUntilShown(painter, *screen, "000000", 0.5, 0.5, 0x000000));
        recorder.start();
        QVERIFY(paintUntilShown(painter, *screen, "grid", 0.5, 0.5, 0x00ffff));
        QTRY_COMPARE(screen->contentSize(), QSizeF(100, 56));
        // The grid's corners and middle, which the 5 × 5 raster's sampled pixels see whole.
        VideoAnalysis record = test::parseRecord(recorder.stop());
        const std::vector<Channel> whole { { 0, 0, 0xff0000 }, { 2, 0, 0x0000ff }, { 1, 1, 0x00ffff },
            { 1, 2, 0x000000 }, { 2, 2, 0x808080 } };
        for (const Channel& c : whole)
            QCOMPARE(newest(record, c.x, c.y), std::optional(c.rgb));

        // A part of the middle cell alone.
        const media::Rect crop { 0.4, 0.4, 0.2, 0.2 };
        screen->setCrop(crop);
        QTRY_COMPARE(screen->captureEngine().streamOutput()->crop(), std::optional(crop));
        QVERIFY(paintUntilShown(painter, *screen, "000000", 0.5, 0.5, 0x000000));
        recorder.start();
        QVERIFY(paintUntilShown(painter, *screen, "grid", 0.5, 0.5, 0x00ffff));
        record = test::parseRecord(recorder.stop());
        for (std::uint32_t y = 0; y < 3; ++y)
            for (std::uint32_t x = 0; x < 3; ++x)
                QCOMPARE(newest(record, x, y), std::optional<std::uint32_t>(0x00ffff));
    }

    /// The environment of a program of the Wayland session, with its settings in `home`.
    QProcessEnvironment sessionEnvironment(const QString& home) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_desktop->bus);
        environment.insert(u"WAYLAND_DISPLAY"_s, m_desktop->display);
        environment.insert(u"XDG_RUNTIME_DIR"_s, m_desktop->runtimeDir);
        environment.insert(u"XDG_SESSION_TYPE"_s, u"wayland"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, home);
        environment.remove(u"DISPLAY"_s);
        return environment;
    }

    // 'corvex record' with the desktop's dialog cancelled ends at once, says why and writes nothing.
    void recordCommandAfterACancelledDialog()
    {
        m_desktop->answerChooser(std::nullopt);
        auto reset = qScopeGuard([&] { m_desktop->resetChooser(); });
        QTemporaryDir home; // nothing remembered
        const QString out = home.filePath(u"show.pb"_s);
        const Run run = corvexInSession(home.path(), record({ "-o", out }));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("cancelled in the desktop's dialog") && run.err.contains("nothing was written"),
            run.err.constData());
        QVERIFY2(!run.err.contains("Recording "), run.err.constData());
        QVERIFY(!QFile::exists(out));
    }

    /// 'corvex record' from the portal without sound, then `more`.
    static QStringList record(const QStringList& more)
    {
        return QStringList { "record", "--source", "portal", "--no-audio" } + more;
    }

    /// 'corvex ARGUMENTS' as a program of the Wayland session run with settings in `home`.
    Run corvexInSession(const QString& home, const QStringList& arguments)
    {
        return test::runCli(arguments, 60000, QStringLiteral(CORVEX_CLI), sessionEnvironment(home));
    }

    // Windows are not picked by id here and only the chosen screen is listed: each
    // answer says how to choose in the desktop's dialog instead.
    void recordCommandGuidesTheAuthor_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("the list") << QStringList { "--list" } << 0 << QByteArray("'corvex record --choose' asks again");
        QTest::newRow("a window by id") << QStringList { "--window", "0x400001" } << 2
                                        << QByteArray("windows cannot be picked by id: run 'corvex record --choose'");
        QTest::newRow("a display that is not there")
            << QStringList { "--display", "3" } << 2 << QByteArray("'corvex record --choose' asks again");
    }
    void recordCommandGuidesTheAuthor()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        m_desktop->resetChooser();
        QTemporaryDir home;
        const QString out = home.filePath(u"show.pb"_s);
        if (!arguments.contains(u"--list"_s))
            arguments << u"-o"_s << out;
        const Run run = corvexInSession(home.path(), record(arguments));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QVERIFY2((run.out + run.err).contains(said), (run.out + run.err).constData());
    }

    // The dialog asks once; the remembered choice is used until 'corvex record --choose'.
    void recordCommandChoosesAgainOnRequest()
    {
        m_desktop->resetChooser();
        WaylandPainter painter(*m_desktop, u"frame"_s);
        QTemporaryDir home;
        const QString out = home.filePath(u"show.pb"_s);
        const QStringList arguments = record({ "--seconds", "1", "-o", out });
        const int before = m_desktop->timesAsked();
        for (const auto& [choose, asked] : { std::pair { false, 1 }, { false, 1 }, { true, 2 } }) {
            QFile::remove(out);
            const Run run = corvexInSession(home.path(), choose ? arguments + QStringList { "--choose" } : arguments);
            QVERIFY2(run.exitCode == 0, run.err.constData());
            QCOMPARE(m_desktop->timesAsked(), before + asked);
            VideoAnalysis record;
            QVERIFY(test::readRecord(out, record));
            QVERIFY(record.timestamps_size() > 0);
        }
    }

    // A desktop that sends no picture of what was shared (KWin 5.27, a whole screen):
    // the command says so and what to try, not that the screen was still.
    void recordCommandSaysTheDesktopSentNoPicture()
    {
        if (m_desktop->kind != WaylandTestDesktop::Kind::kde)
            QSKIP("only KWin 5.27 is known never to send a picture of a whole screen");
        QTemporaryDir home;
        const QString token = m_desktop->rememberMonitor();
        QVERIFY(!token.isEmpty());
        portal::settingsChoiceStore(home.filePath(u"corvex/corvex.ini"_s).toStdString())
            ->save({ token.toStdString(), 0, 0, portal::kSourceMonitor });
        const Run run = corvexInSession(home.path(), record({ "--seconds", "1", "-o", home.filePath("show.pb") }));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("the desktop sent no picture") && run.err.contains("share the player's window"),
            run.err.constData());
    }

    // 'corvex record --auto-crop' finds the bars of a letterboxed picture over several
    // scenes, says so and records only the picture between them.
    void recordCommandCropsBlackBars()
    {
        m_desktop->resetChooser();
        WaylandPainter painter(*m_desktop);
        QTemporaryDir home;
        const QString out = home.filePath(u"show.pb"_s);
        QProcess corvex;
        corvex.setProcessEnvironment(sessionEnvironment(home.path()));
        corvex.start(QStringLiteral(CORVEX_CLI), record({ "--auto-crop", "-o", out }));
        auto stop = qScopeGuard([&] {
            if (corvex.state() != QProcess::NotRunning) {
                corvex.kill();
                corvex.waitForFinished();
            }
        });
        QByteArray said;
        const auto hears = [&](const char* what) {
            said += corvex.readAllStandardError();
            return said.contains(what);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(hears("Recording ") || corvex.state() == QProcess::NotRunning, said, 30000);
        const QByteArray scenes[] = { "c83c28", "28b43c", "323cc8", "b4b428", "28b4b4", "b428b4" };
        bool found = false;
        for (int paint = 0; paint < 120 && !found && corvex.state() == QProcess::Running; ++paint) {
            QVERIFY(painter.paint("bars " + scenes[paint % 6]) > 0);
            corvex.waitForReadyRead(50);
            found = hears("Black bars found");
        }
        QVERIFY2(found, said);
        QVERIFY2(said.contains("cropping to 0.0000,0.1250,1.0000,0.7500"), said);
        // The picture from now on is recorded without its bars.
        for (int paint = 0; paint < 40; ++paint) {
            QVERIFY(painter.paint(paint % 2 ? "bars 3c78c8" : "bars 3c78c9") > 0);
            corvex.waitForReadyRead(50);
        }
        ::kill(pid_t(corvex.processId()), SIGINT);
        QVERIFY(corvex.waitForFinished(30000));
        said += corvex.readAllStandardError();
        QVERIFY2(corvex.exitStatus() == QProcess::NormalExit && corvex.exitCode() == 0, said);
        VideoAnalysis record;
        QVERIFY(test::readRecord(out, record));
        const std::optional<std::uint32_t> top = newest(record, 1, 0);
        QVERIFY(top);
        // Within a unit per channel of the last colour painted, whichever of the two it was.
        QVERIFY2((*top & 0xffff00) == 0x3c7800 && (*top & 0xff) >= 0xc7 && (*top & 0xff) <= 0xca,
            qPrintable(QString::number(*top, 16)));
    }
};

QTEST_GUILESS_MAIN(TestRecorderPortal)
#include "tst_recorder_portal.moc"
