// Recording from the test X server and sound server through the screen recorder,
// the capture engine and the analysis recorder.

#include "analysis/analysis_recorder.h"
#include "capture/screen_recorder.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/x11/x11_backend.h"
#include "support/cli_run.h"
#include "support/recorded.h"
#include "support/sound_server.h"
#include "support/tones.h"
#include "support/x_test_display.h"

#include <QCoroTask>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <pulse/error.h>
#include <pulse/simple.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace corvex;
using namespace corvex::screencapture;
using capture::ScreenRecorder;

namespace {

// Which pixel of the 5 × 5 raster each channel of the record reads, by channel index.
constexpr int kSamplePixel[9][2]
    = { { 2, 2 }, { 0, 3 }, { 0, 1 }, { 0, 0 }, { 2, 0 }, { 4, 0 }, { 2, 4 }, { 4, 4 }, { 4, 1 } };

std::uint32_t blockColour(int column, int row, int seed)
{
    const std::uint32_t r = 20 + 50 * column, g = 20 + 50 * row, b = (220 - 20 * (column + row) + seed * 30) & 0xff;
    return r << 16 | g << 8 | b;
}

// Every channel's first sample is the colour of its block, within ±2.
void compareColours(const VideoAnalysis& record, int seed)
{
    QVERIFY(record.timestamps_size() >= 1);
    for (int i = 0; i < record.channels_size(); ++i) {
        const VideoAnalysis::Channel& channel = record.channels(i);
        const std::uint32_t expected = blockColour(kSamplePixel[i][0], kSamplePixel[i][1], seed);
        const std::uint32_t got = channel.r(0) << 16 | channel.g(0) << 8 | channel.b(0);
        for (int shift = 0; shift < 24; shift += 8)
            QVERIFY2(std::abs(int((got >> shift) & 0xff) - int((expected >> shift) & 0xff)) <= 2,
                qPrintable(u"channel (%1, %2): %3, expected %4"_s.arg(channel.x())
                               .arg(channel.y())
                               .arg(got, 6, 16, QLatin1Char('0'))
                               .arg(expected, 6, 16, QLatin1Char('0'))));
    }
}

bool run(const QString& program, const QStringList& arguments)
{
    return test::runCli(arguments, 20000, program).exitCode == 0;
}

// An 800 × 600 monitor at the screen's top left, for as long as the guard lives.
auto testMonitor()
{
    const bool added = run(u"xrandr"_s, { "--setmonitor", "CorvexTest", "800/203x600/152+0+0", "none" });
    return std::pair(added, qScopeGuard([] { run(u"xrandr"_s, { "--delmonitor", "CorvexTest" }); }));
}

} // namespace

class TestRecorderX11 final : public QObject {
    Q_OBJECT

    std::unique_ptr<test::XTestDisplay> m_x;

    std::unique_ptr<ScreenRecorder> recorderFor(analysis::AnalysisRecorder& recorder, bool audio)
    {
        auto screen = std::make_unique<ScreenRecorder>(createCaptureBackend("x11"), recorder);
        screen->setIsAudioCaptureEnabled(audio);
        return screen;
    }

    // Selects the test monitor of testMonitor().
    static bool selectTestMonitor(ScreenRecorder& screen)
    {
        QCoro::waitFor(screen.refreshAvailableContent());
        const auto displays = screen.availableDisplays();
        const auto found
            = std::find_if(displays.begin(), displays.end(), [](const Display& d) { return d.name == "CorvexTest"; });
        if (found == displays.end())
            return false;
        screen.setSelectedDisplay(*found);
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        test::selectSoundServer();
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X server (scripts/test-services starts one)");
        m_x = std::make_unique<test::XTestDisplay>();
        QVERIFY(m_x->isOpen());
    }

    void recordsAWindowsColours()
    {
        const xcb_window_t window = m_x->createWindow(0, 0, 800, 600, false, "Known colours", getppid());
        m_x->paint(window, 800, 600, 160, 120, [](int x, int y) { return blockColour(x / 160, y / 120, 0); });
        QVERIFY(m_x->show(window));

        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, false);
        QCoro::waitFor(screen->refreshAvailableContent());
        const auto windows = screen->availableWindows();
        const auto found
            = std::find_if(windows.begin(), windows.end(), [&](const Window& w) { return w.windowID == window; });
        QVERIFY(found != windows.end());
        QVERIFY(ScreenRecorder::displayName(*found).endsWith(u": Known colours"_s));
        screen->setCaptureType(ScreenRecorder::CaptureType::window);
        screen->setSelectedWindow(*found);
        QCOMPARE(screen->streamConfiguration().height, 75);
        recorder.start();
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
        QTRY_COMPARE(screen->contentSize(), QSizeF(100, 75));
        compareColours(test::parseRecord(recorder.stop()), 0);
        m_x->destroy(window);
        QTest::ignoreMessage(QtCriticalMsg,
            "The window being captured was closed, so screen capture stopped. Choose another window and restart "
            "screen capture.");
        QTRY_VERIFY(!screen->isRunning());
        // Started again with nothing chosen, it waits for a choice; the display, once chosen, starts.
        screen->setSelectedWindow(std::nullopt);
        QTest::ignoreMessage(QtCriticalMsg, "No window selected.");
        QCoro::waitFor(screen->start());
        QVERIFY(!screen->isRunning());
        screen->setCaptureType(ScreenRecorder::CaptureType::display);
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
    }

    // A screen that stays still while 'corvex record' runs leaves no frames to
    // analyse: the command says so and fails rather than report success.
    void recordCommandOnAStillScreen()
    {
        const xcb_window_t window = m_x->createWindow(0, 0, 800, 600, false, "Still picture", getppid());
        m_x->paint(window, 800, 600, 160, 120, [](int x, int y) { return blockColour(x / 160, y / 120, 0); });
        QVERIFY(m_x->show(window));
        QTemporaryDir home;
        const test::Run corvex = test::runCli(
            { "record", "--source", "x11", "--no-audio", "--seconds", u"1"_s, "-o", home.filePath(u"show.pb"_s) });
        const QByteArray& said = corvex.err;
        m_x->destroy(window);
        QVERIFY2(corvex.exitCode == 1, said.constData());
        QVERIFY2(said.contains("no frames were recorded: nothing on the recorded screen changed"), said.constData());
        QVERIFY2(said.contains("play the film"), said.constData());
    }

    void recordsADisplayAndItsCrop()
    {
        const auto monitor = testMonitor();
        QVERIFY(monitor.first);
        const xcb_window_t window = m_x->createWindow(0, 0, 800, 600, true, "Display colours", getppid());
        m_x->paint(window, 800, 600, 160, 120, [](int x, int y) { return blockColour(x / 160, y / 120, 1); });
        QVERIFY(m_x->show(window));
        m_x->raise(window);

        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, false);
        QVERIFY(selectTestMonitor(*screen));
        QCOMPARE(ScreenRecorder::displayName(*screen->selectedDisplay()), u"Display: 800 x 600"_s);
        recorder.start();
        QCoro::waitFor(screen->start());
        QTRY_COMPARE(screen->contentSize(), QSizeF(100, 75));
        compareColours(test::parseRecord(recorder.stop()), 1);

        // The middle 60 % of the display, painted with its own 5 × 5 blocks.
        const media::Rect crop { 0.2, 0.2, 0.6, 0.6 };
        screen->setCrop(crop);
        QTRY_COMPARE(screen->captureEngine().streamOutput()->crop(), std::optional(crop));
        QVERIFY(screen->startRecording(crop));
        m_x->paint(window, 800, 600, 16, 24, [](int x, int y) {
            const bool inside = x >= 160 && x < 640 && y >= 120 && y < 480;
            return inside ? blockColour((x - 160) / 96, (y - 120) / 72, 2) : 0xff00ffu;
        });
        // Frames come when the screen changes: the first one sampled is the repainted screen.
        QTRY_VERIFY_WITH_TIMEOUT(recorder.frameCount() >= 1, 10000);
        QVERIFY(!screen->startRecording(crop)); // a second start would throw the frames away
        compareColours(test::parseRecord(recorder.stop()), 2);
        m_x->destroy(window);
    }

    // A letterboxed display with a window of the studio's own (left out of the
    // capture) over the bottom bar and the picture: what is guessed there is no evidence.
    void findsBarsUnderTheStudiosOwnWindow()
    {
        const auto monitor = testMonitor();
        QVERIFY(monitor.first);
        // 72 rows of black above and below: 9 of the frame's 75 rows each.
        const xcb_window_t film = m_x->createWindow(0, 0, 800, 600, true, "Letterboxed film", getppid());
        const auto paintScene = [&](int scene) {
            m_x->paint(film, 800, 600, 80, 8, [scene](int x, int y) {
                return y < 72 || y >= 528 ? 0u : blockColour((x / 80 + 2 * scene) % 5, y / 8 % 5, 0);
            });
        };
        paintScene(0);
        QVERIFY(m_x->show(film));
        m_x->raise(film);
        const xcb_window_t own = m_x->createWindow(100, 440, 300, 150, false, "Corvex Studio", getpid());
        m_x->paint(own, 300, 150, 300, 150, [](int, int) { return 0xd0d0d0u; });
        QVERIFY(m_x->show(own));
        m_x->move(own, 100, 440);
        QTRY_VERIFY(m_x->position(own).second > 400 && m_x->position(own).second < 528);

        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, false);
        QVERIFY(selectTestMonitor(*screen));
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
        // A new scene a quarter of a second: the detector wants a dozen frames from three scenes.
        for (int scene = 1; scene < 40 && !screen->proposedCrop(); ++scene) {
            paintScene(scene);
            QTest::qWait(250);
        }
        QCOMPARE(screen->proposedCrop(), std::optional(media::Rect { 0, 0.12, 1, 0.76 }));

        // Another picture (here the display again after a look at the windows) is judged on its
        // own evidence: one still scene, bars or not, is too little.
        bool proposed = false;
        connect(screen.get(), &ScreenRecorder::proposedCropChanged, this,
            [&] { proposed = proposed || screen->proposedCrop(); });
        screen->setCaptureType(ScreenRecorder::CaptureType::window);
        QVERIFY(!screen->proposedCrop());
        screen->setCaptureType(ScreenRecorder::CaptureType::display);
        for (int frame = 0; frame < 8; ++frame) {
            paintScene(0);
            QTest::qWait(250);
        }
        m_x->destroy(own);
        m_x->destroy(film);
        QVERIFY(!proposed);
    }

    void toneReachesTheMeterAndTheSignature()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no sound server (scripts/test-services starts one)");
        QTemporaryDir directory;
        const QString tone = directory.filePath(u"tone.wav"_s);
        QVERIFY(run(u"sox"_s, { "-n", "-r", "48000", "-c", "2", tone, "synth", "4", "sine", "1000" }));

        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, true);
        recorder.start();
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
        // Recording before anything plays (pipewire-pulse may wake an idle sink slowly).
        QTRY_VERIFY_WITH_TIMEOUT(!screen->captureEngine().powerMeter().values().empty(), 15000);
        QProcess player;
        player.start(u"paplay"_s, { "--latency-msec=50", tone });
        // A full-scale sine: about -3 dB average, 0 dB peak.
        QTRY_VERIFY_WITH_TIMEOUT(
            std::abs(screen->captureEngine().powerMeter().values()[0].average - -3.01f) < 0.3f, 3000);
        QTRY_VERIFY(std::abs(screen->audioLevelsProvider()->level() - 0.870f) < 0.01f);
        QVERIFY(player.waitForFinished(15000));
        QCOMPARE(player.exitCode(), 0);
        QTest::qWait(200);
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QVERIFY(!record.signature().empty());
    }

    // A recording started with capture holds the sound from its first moment on: the
    // second or so the monitor hears nothing after it joins is silence in the signature,
    // not missing from it (which would place every clip too early).
    void soundIsOnTheTimeLineFromTheFirstMoment()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no sound server (scripts/test-services starts one)");
        const auto tune = test::melody(6, 16000, 31);
        const auto played = fingerprint::clipFingerprints(tune.data(), tune.size());

        analysis::AnalysisRecorder recorder(nullptr);
        auto screen = recorderFor(recorder, true);
        const double startedAt = hostTimeNow().seconds();
        recorder.start();
        QCoro::waitFor(screen->start());
        QVERIFY(screen->isRunning());
        // The tune plays once the monitor hears (the null sink's idle block would delay it).
        QTRY_VERIFY_WITH_TIMEOUT(!screen->captureEngine().powerMeter().values().empty(), 10000);
        pa_sample_spec sampleSpec { PA_SAMPLE_FLOAT32LE, 16000, 1 };
        pa_buffer_attr attributes { std::uint32_t(-1), 16000 * 4 / 10, std::uint32_t(-1), std::uint32_t(-1),
            std::uint32_t(-1) };
        int status = 0;
        const std::unique_ptr<pa_simple, void (*)(pa_simple*)> stream(
            pa_simple_new(nullptr, "corvex-test", PA_STREAM_PLAYBACK, nullptr, "tune", &sampleSpec, nullptr,
                &attributes, &status),
            &pa_simple_free);
        QVERIFY2(stream, pa_strerror(status));
        // Half a second of silence first, so that the stream runs steadily.
        const std::vector<float> silence(8000, 0.0f);
        QVERIFY2(pa_simple_write(stream.get(), silence.data(), silence.size() * 4, &status) == 0, pa_strerror(status));
        const pa_usec_t queued = pa_simple_get_latency(stream.get(), &status);
        QVERIFY2(queued != pa_usec_t(-1), pa_strerror(status));
        const double playedAt = hostTimeNow().seconds() + double(queued) / 1e6;
        QVERIFY2(pa_simple_write(stream.get(), tune.data(), tune.size() * 4, &status) == 0, pa_strerror(status));
        QVERIFY2(pa_simple_drain(stream.get(), &status) == 0, pa_strerror(status));
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        const double stoppedAt = hostTimeNow().seconds();

        const auto items = fingerprint::decodeSignature(record.signature());
        QVERIFY2(items, "no signature");
        // As many items as start to stop gives (the first comes after 2.6 s).
        const double expectedItems = (stoppedAt - startedAt - 2.6) / fingerprint::signatureItemSeconds();
        QVERIFY2(std::abs(double(items->size()) - expectedItems) <= 4,
            qPrintable(u"%1 items for %2 s"_s.arg(items->size()).arg(stoppedAt - startedAt)));
        const auto match = fingerprint::locateClip(*items, played);
        QVERIFY(match);
        const double expected = playedAt - startedAt;
        QVERIFY2(std::abs(match->offsetSeconds - expected) < 0.3,
            qPrintable(u"found at %1 s, played at %2 s"_s.arg(match->offsetSeconds).arg(expected)));
    }
};

QTEST_GUILESS_MAIN(TestRecorderX11)
#include "tst_recorder_x11.moc"
