// The road once on a Wayland desktop: the studio as a native Wayland client on
// the headless sway of scripts/test-services, recording the screen that the
// desktop's screen-cast portal shares while a Wayland client paints known
// colours over it and a soundtrack plays into PipeWire's Pulse server, then
// saving, which uploads the record to the reference service, whose stored copy
// is read back and checked. Pictures of the recording window go to
// CORVEX_E2E_ARTIFACTS.

#include "app/studio_fixture.h"

#include "support/stored_shows.h"
#include "support/tones.h"
#include "support/wayland_test_desktop.h"

#include "analysis/proto/video_analysis.pb.h"
#include "app/colour_swatch_view.h"
#include "app/configuration_view.h"
#include "app/desktop_choice_view.h"
#include "app/main_window.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/video_section.h"
#include "capture/screen_recorder.h"
#include "platform/screencapture/portal/portal_backend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

using namespace corvex;
using namespace corvex::app;

namespace {

constexpr int kSampleRate = 44100;
constexpr double kSoundtrackSeconds = 14;
constexpr double kClipStart = 4; // where the clip given to 'corvex match' is cut from the soundtrack
constexpr double kClipSeconds = 8;
constexpr int kSamplesPerColour = 12; // frames of each colour recorded before the next is painted
// What the painter shows, in this order, each over the whole screen.
const QByteArray kColours[] = { "c81e1e", "1ec81e", "1e1ec8" };
constexpr std::uint32_t kRgb[] = { 0xc81e1e, 0x1ec81e, 0x1e1ec8 };

bool inCi()
{
    return !qEnvironmentVariableIsEmpty("CI");
}

using corvex::test::writeWav;

} // namespace

class TestEndToEndWayland final : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_database;
    corvex::testing::ReferenceServiceProcess m_service;
    std::optional<test::WaylandTestDesktop> m_desktop;
    int m_step = 0;

    void picture(QWidget* window, const QString& name)
    {
        // A Wayland client cannot read the screen itself: the window draws itself.
        const QString path = QStringLiteral(CORVEX_E2E_ARTIFACTS "/wayland-%1-%2.png")
                                 .arg(++m_step, 2, 10, QLatin1Char('0'))
                                 .arg(name);
        if (!window->grab().save(path))
            qWarning("could not save the picture %s", qPrintable(path));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_desktop = test::WaylandTestDesktop::fromEnvironment();
        if (!m_desktop || QGuiApplication::platformName() != QLatin1String("wayland")) {
            if (inCi())
                QFAIL("the headless Wayland desktop of scripts/test-services is missing");
            QSKIP("needs the headless Wayland desktop that scripts/test-services starts");
        }
        QVERIFY(m_desktop->ensurePortalRunning());
        m_desktop->resetChooser();
        QVERIFY(QDir().mkpath(QStringLiteral(CORVEX_E2E_ARTIFACTS)));
        m_database = m_work.filePath(QStringLiteral("service.db"));
        QVERIFY(m_service.start({ QStringLiteral("--demo-catalogue"), QStringLiteral("--db"), m_database }));
    }

    void recordsAWaylandScreenWithItsSound()
    {
        auto manager = corvex::testing::makeManager(m_service.origin(), m_work.path());
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("wayland@example.org"))));
        screencapture::portal::PortalBackend::Options portal;
        portal.address.busAddress = m_desktop->bus.toStdString();
        portal.store
            = screencapture::portal::settingsChoiceStore(m_work.filePath(QStringLiteral("portal.ini")).toStdString());
        StudioApp studio(manager->uploads, RecordingModels::process(),
            [&portal] { return screencapture::portal::PortalBackend::create(portal); });
        MainWindow* main = studio.newMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(main, 20000));

        RecordingWindow* recording = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::episodeItem(91002, QStringLiteral("Cisco"), 1, 3));
        QVERIFY(recording);
        QVERIFY(QTest::qWaitForWindowExposed(recording, 20000));
        RecordingView* view = recording->view();
        ConfigurationView* panel = view->configurationView();
        // The portal asks which screen (the test desktop's chooser answers), then the stream runs.
        QTRY_VERIFY_WITH_TIMEOUT(view->screenRecorder().isRunning(), 30000);
        DesktopChoiceView* choice = panel->videoSection()->desktopChoice();
        QVERIFY(choice);
        QTRY_COMPARE_WITH_TIMEOUT(choice->choiceLabel()->text(), QStringLiteral("Display: 1920 x 1080"), 30000);
        QVERIFY(choice->ownWindowsHint()->isVisibleTo(panel));

        // A player over the whole screen, in front of the studio's windows.
        test::WaylandPainter painter(*m_desktop);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                painter.paint(kColours[0]);
                const auto shown = panel->swatch()->colours();
                return shown && (shown->at(4).r << 16 | shown->at(4).g << 8 | shown->at(4).b) == kRgb[0];
            }(),
            30000);
        picture(recording, QStringLiteral("ready-to-record"));

        const QString soundtrack = m_work.filePath(QStringLiteral("soundtrack.wav"));
        const std::vector<float> tune = corvex::test::melody(kSoundtrackSeconds, kSampleRate, 1207);
        QVERIFY(writeWav(soundtrack.toStdString(), tune));
        const QString clip = QStringLiteral(CORVEX_E2E_ARTIFACTS "/wayland-clip.wav");
        QVERIFY(writeWav(clip.toStdString(),
            std::vector<float>(tune.begin() + qsizetype(kClipStart * kSampleRate),
                tune.begin() + qsizetype((kClipStart + kClipSeconds) * kSampleRate))));
        QCOMPARE(panel->recordingButton()->text(), QStringLiteral("Start recording"));
        QVERIFY(panel->recordingButton()->isEnabled());
        QElapsedTimer clock;
        panel->recordingButton()->click();
        clock.start();
        QVERIFY(testing::sharedRecorder().started());
        QProcess player;
        double playStarted = -1;
        connect(&player, &QProcess::started, this, [&] { playStarted = double(clock.nsecsElapsed()) / 1e9; });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PULSE_SERVER"), m_desktop->pulseServer);
        player.setProcessEnvironment(environment);
        player.start(QStringLiteral("paplay"), { QStringLiteral("--latency-msec=50"), soundtrack });
        QVERIFY(player.waitForStarted(10000));
        // Frames come when the screen changes: each colour is painted until the
        // recorder took enough frames of it (a playing video changes all the time).
        for (const QByteArray& colour : kColours) {
            const int before = testing::sharedRecorder().frameCount();
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    painter.paint(colour);
                    return testing::sharedRecorder().frameCount() - before >= kSamplesPerColour;
                }(),
                30000);
        }
        picture(recording, QStringLiteral("recording"));
        QTRY_VERIFY_WITH_TIMEOUT(player.state() == QProcess::NotRunning, 60000);
        QCOMPARE(player.exitCode(), 0);
        QCOMPARE(panel->recordingButton()->text(), QStringLiteral("Save recording"));
        const QByteArray logBefore = m_service.log();
        panel->recordingButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."), 30000);
        picture(recording, QStringLiteral("saved"));
        // The service logs a request once it has answered it.
        QTRY_VERIFY(m_service.log().mid(logBefore.size()).contains("POST /tvapi/lightshow/tv/91002/1/3 200"));

        // The stored record: each sample is one painted colour on all nine channels, exactly, in the painted order.
        const QList<QByteArray> shows = test::storedShows(m_database);
        const QByteArray stored = shows.value(shows.size() - 1); // the newest
        QVERIFY(!stored.isEmpty());
        VideoAnalysis record;
        QVERIFY(record.ParseFromArray(stored.constData(), int(stored.size())));
        QCOMPARE(record.channels_size(), 9);
        QVERIFY2(
            record.timestamps_size() >= 3 * kSamplesPerColour, qPrintable(QString::number(record.timestamps_size())));
        QList<int> sequence;
        for (int i = 0; i < record.timestamps_size(); ++i) {
            const VideoAnalysis::Channel& first = record.channels(0);
            const std::uint32_t rgb = first.r(i) << 16 | first.g(i) << 8 | first.b(i);
            for (const VideoAnalysis::Channel& channel : record.channels())
                QCOMPARE(channel.r(i) << 16 | channel.g(i) << 8 | channel.b(i), rgb);
            const int index = int(std::find(std::begin(kRgb), std::end(kRgb), rgb) - std::begin(kRgb));
            QVERIFY2(index < 3, qPrintable(QStringLiteral("sample %1 is %2").arg(i).arg(rgb, 6, 16, QLatin1Char('0'))));
            if (sequence.isEmpty() || sequence.last() != index)
                sequence.append(index);
            QVERIFY(i == 0 || record.timestamps(i) >= record.timestamps(i - 1));
        }
        QCOMPARE(sequence, (QList<int> { 0, 1, 2 }));
        // The soundtrack came through PipeWire's Pulse server into the signature.
        QVERIFY2(record.signature().size() > 16, qPrintable(QString::number(record.signature().size())));
        qInfo("stored %d samples and a signature of %zu bytes", record.timestamps_size(), record.signature().size());
        // ... a signature of what played, which places a clip of the soundtrack where it played.
        const QString recordPath = QStringLiteral(CORVEX_E2E_ARTIFACTS "/wayland-stored-record.pb");
        {
            QFile out(recordPath);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(stored);
        }
        QProcess match;
        match.start(QStringLiteral(CORVEX_CLI), { QStringLiteral("match"), recordPath, clip });
        QVERIFY(match.waitForFinished(60000));
        const QByteArray matched = match.readAllStandardOutput() + match.readAllStandardError();
        QVERIFY2(match.exitStatus() == QProcess::NormalExit && match.exitCode() == 0, matched.constData());
        const QRegularExpressionMatch offset
            = QRegularExpression(QStringLiteral("offset (-?[0-9.]+) s")).match(QString::fromUtf8(matched));
        QVERIFY2(offset.hasMatch(), matched.constData());
        const double expected = playStarted + kClipStart;
        qInfo("corvex match: %s(the clip started playing %.2f s after \"Start recording\")", matched.constData(),
            expected);
        QVERIFY2(std::abs(offset.captured(1).toDouble() - expected) < 0.75,
            qPrintable(QStringLiteral("matched at %1 s, played at %2 s").arg(offset.captured(1)).arg(expected)));
        recording->close();
    }
};

int main(int argc, char* argv[])
{
    corvex::testing::privateHome();
    // The studio as a native client of the test desktop, its sound from that desktop's PipeWire.
    const QByteArray display = qgetenv("CORVEX_WAYLAND_DISPLAY");
    if (!display.isEmpty() && QFile::exists(QString::fromLocal8Bit(display))) {
        qputenv("QT_QPA_PLATFORM", "wayland");
        qputenv("WAYLAND_DISPLAY", display);
        qputenv("PULSE_SERVER", qgetenv("CORVEX_WAYLAND_PULSE_SERVER"));
        qunsetenv("DISPLAY");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    TestEndToEndWayland test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_wayland.moc"
