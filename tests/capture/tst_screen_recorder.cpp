#include "analysis/analysis_recorder.h"
#include "capture/screen_recorder.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace corvex;
using namespace corvex::screencapture;
using capture::ScreenRecorder;

namespace {

const RunningApplication kOwnApp { "corvex-studio", capture::kApplicationIdentifier, 1 };

// Lists chosen content; streams come from the synthetic backend.
class ListedBackend final : public CaptureBackend {
public:
    explicit ListedBackend(ShareableContent content)
        : m_content(std::move(content))
    {
    }
    std::string name() const override { return "listed"; }
    ShareableContentResult shareableContent(bool, bool) override { return { m_content, {} }; }
    SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) override
    {
        return m_synthetic.createVideoSource(filter, configuration);
    }
    SourceResult createAudioSource(const StreamConfiguration& configuration) override
    {
        return m_synthetic.createAudioSource(configuration);
    }

private:
    ShareableContent m_content;
    SyntheticBackend m_synthetic;
};

Window window(std::uint32_t id, std::optional<std::string> app, std::optional<std::string> title = "t",
    std::string bundle = "Some.App")
{
    Window w;
    w.windowID = id;
    w.frame = { 0, 0, 640, 480 };
    w.title = std::move(title);
    if (app)
        w.owningApplication = RunningApplication { *app, std::move(bundle), 10 };
    return w;
}

std::vector<std::uint32_t> ids(const std::vector<Window>& windows)
{
    std::vector<std::uint32_t> result;
    for (const Window& w : windows)
        result.push_back(w.windowID);
    return result;
}

struct Model {
    std::shared_ptr<SyntheticBackend> backend = std::make_shared<SyntheticBackend>();
    analysis::AnalysisRecorder recorder { nullptr };
    ScreenRecorder screen { backend, recorder };
};

} // namespace

class TestScreenRecorder final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void streamConfiguration_data()
    {
        QTest::addColumn<bool>("byWindow");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("height");
        QTest::addColumn<int>("expectedHeight");
        QTest::newRow("display 1512 x 982") << false << 1512.0 << 982.0 << 64;
        QTest::newRow("display 1920 x 1080") << false << 1920.0 << 1080.0 << 56;
        QTest::newRow("window 800.7 x 600.2") << true << 800.7 << 600.2 << 75;
        QTest::newRow("display of width 0") << false << 0.0 << 1080.0 << 1;
        QTest::newRow("window narrower than a pixel") << true << 0.6 << 400.0 << 1;
        QTest::newRow("very flat window") << true << 5000.0 << 10.0 << 1;
    }
    void streamConfiguration()
    {
        QFETCH(bool, byWindow);
        QFETCH(double, width);
        QFETCH(double, height);
        QFETCH(int, expectedHeight);
        Model m;
        if (byWindow) {
            Window w = window(1, "App");
            w.frame = { 0, 0, width, height };
            m.screen.setSelectedWindow(w);
            m.screen.setCaptureType(ScreenRecorder::CaptureType::window);
        } else {
            m.screen.setSelectedDisplay(Display { 1, int(width), int(height), { 0, 0, width, height }, "d" });
        }
        const StreamConfiguration c = m.screen.streamConfiguration();
        QCOMPARE(c.width, 100);
        QCOMPARE(c.height, expectedHeight);
        QCOMPARE(c.minimumFrameInterval, media::MediaTime::make(1, 30));
        QCOMPARE(c.queueDepth, 5);
        QCOMPARE(c.pixelFormat, media::PixelFormat::BGRA);
        QCOMPARE(c.showsCursor, false);
        QCOMPARE(c.capturesAudio, true);
        QCOMPARE(c.excludesCurrentProcessAudio, false);
    }

    void windowNames_data()
    {
        QTest::addColumn<bool>("hasApp");
        QTest::addColumn<bool>("hasTitle");
        QTest::addColumn<QString>("expected");
        QTest::newRow("app and title") << true << true << "Player: Movie";
        QTest::newRow("title only") << false << true << "Movie";
        QTest::newRow("app only") << true << false << "Player: 4660";
        QTest::newRow("neither") << false << false << "";
    }
    void windowNames()
    {
        QFETCH(bool, hasApp);
        QFETCH(bool, hasTitle);
        QFETCH(QString, expected);
        const Window w = window(0x1234, hasApp ? std::optional<std::string>("Player") : std::nullopt,
            hasTitle ? std::optional<std::string>("Movie") : std::nullopt);
        QCOMPARE(ScreenRecorder::displayName(w), expected);
        QCOMPARE(ScreenRecorder::displayName(Display { 1, 1512, 982, {}, "" }), QStringLiteral("Display: 1512 x 982"));
    }

    void windowFiltering()
    {
        // "Émile" written decomposed sorts as the composed form, after "Zed" by code point.
        const std::string decomposed = "E\xCC\x81mile";
        const std::vector<Window> windows { window(1, "Zed"), window(2, decomposed), window(3, std::nullopt),
            window(4, ""), window(5, "Alpha"), window(6, "Zed"),
            window(7, "Studio", "t", capture::kApplicationIdentifier), window(8, "Alpha") };
        QCOMPARE(ids(ScreenRecorder::filterWindows(windows, capture::kApplicationIdentifier)),
            (std::vector<std::uint32_t> { 5, 8, 1, 6, 2 }));
    }

    void displayFilterExcludesOnlyThisProgram()
    {
        ShareableContent content = SyntheticBackend::content();
        content.applications.push_back(kOwnApp);
        content.windows.push_back(window(9, kOwnApp.applicationName, "Recording", kOwnApp.bundleIdentifier));
        analysis::AnalysisRecorder recorder(nullptr);
        ScreenRecorder screen(std::make_shared<ListedBackend>(content), recorder);
        QCoro::waitFor(screen.refreshAvailableContent());
        QCOMPARE(ids(screen.availableWindows()), (std::vector<std::uint32_t> { 0x400001, 0x400002 }));
        QCOMPARE(screen.contentFilter()->excludedApplications, std::vector { kOwnApp });
        screen.setIsAppExcluded(false);
        QVERIFY(screen.contentFilter()->excludedApplications.empty());
        screen.setCaptureType(ScreenRecorder::CaptureType::window);
        QCOMPARE(screen.contentFilter()->window->windowID, 0x400001u);
    }

    void startCapturesTheFirstDisplayOnce()
    {
        Model m;
        QSignalSpy running(&m.screen, &ScreenRecorder::isRunningChanged);
        QCoro::waitFor(m.screen.start());
        QVERIFY(m.screen.isRunning());
        QVERIFY(m.screen.isSetup());
        QCOMPARE(m.screen.selectedDisplay()->displayID, 1u);
        QCOMPARE(m.screen.selectedWindow()->windowID, 0x400001u);
        QVERIFY(m.screen.isAudioMetering());
        QTRY_COMPARE(m.screen.contentSize(), QSizeF(100, 56));
        QTRY_VERIFY(m.screen.capturePreview()->contents());
        auto* stream = m.screen.captureEngine().stream();
        QCoro::waitFor(m.screen.start()); // running: nothing happens
        QCOMPARE(m.screen.captureEngine().stream(), stream);
        QCOMPARE(running.count(), 1);
        QTRY_VERIFY(m.screen.audioLevelsProvider()->level() > 0.5f);
    }

    void restartAfterAnErrorKeepsOneRefreshTimer()
    {
        Model m;
        QCoro::waitFor(m.screen.start());
        QTRY_VERIFY(m.screen.capturePreview()->contents());
        QVERIFY(m.screen.hasContentRefreshTimer());
        QTest::ignoreMessage(QtCriticalMsg, "The display went away.");
        m.backend->failRunningStreams({ CaptureError::ConnectionLost, "The display went away." });
        QTRY_VERIFY(!m.screen.isRunning());
        QSignalSpy refreshed(&m.screen, &ScreenRecorder::availableContentRefreshed);
        QElapsedTimer clock;
        clock.start();
        QList<qint64> refreshTimes;
        QObject listening; // goes before refreshTimes does
        connect(&m.screen, &ScreenRecorder::availableContentRefreshed, &listening,
            [&] { refreshTimes.append(clock.elapsed()); });
        QCoro::waitFor(m.screen.start());
        QVERIFY(m.screen.isRunning());
        QCOMPARE(refreshed.count(), 0); // no second first-refresh
        QTRY_VERIFY_WITH_TIMEOUT(refreshed.count() >= 3, 3 * ScreenRecorder::contentRefreshIntervalMs + 5000);
        // One timer: the refreshes are an interval apart, never in pairs. Only a
        // floor (half the interval) is checked, which a busy machine cannot break.
        for (qsizetype i = 1; i < refreshTimes.size(); ++i)
            QVERIFY2(refreshTimes[i] - refreshTimes[i - 1] >= ScreenRecorder::contentRefreshIntervalMs / 2,
                qPrintable(QStringLiteral("refreshes at %1 and %2 ms").arg(refreshTimes[i - 1]).arg(refreshTimes[i])));
    }

    void assignmentsReapplyWhileRunning()
    {
        Model m;
        const media::Rect crop { 0, 0, 0.5, 0.5 };
        m.screen.setCrop(crop); // not running: only stored
        QVERIFY(!m.screen.captureEngine().streamOutput());
        QCoro::waitFor(m.screen.start());
        QCOMPARE(m.screen.captureEngine().streamOutput()->crop(), std::optional(crop));
        // The same capture type again still re-applies (and so restores the model's crop).
        m.screen.captureEngine().streamOutput()->setCrop(std::nullopt);
        m.screen.setCaptureType(ScreenRecorder::CaptureType::display);
        QTRY_COMPARE(m.screen.captureEngine().streamOutput()->crop(), std::optional(crop));
        m.screen.setCaptureType(ScreenRecorder::CaptureType::window);
        QTRY_COMPARE(m.screen.contentSize(), QSizeF(100, 75));
    }

    void audioSwitch()
    {
        Model m;
        QVERIFY(!m.screen.isAudioMetering());
        m.screen.audioLevelsProvider()->setAudioLevels({ 0.5f, 0.7f });
        m.screen.setIsAudioCaptureEnabled(false);
        QCOMPARE(m.screen.audioLevelsProvider()->audioLevels(), (capture::AudioLevels { 0, 0 }));
        QVERIFY(!m.screen.isAudioMetering());
        m.screen.setIsAudioCaptureEnabled(true); // starts the meter without capture
        QVERIFY(m.screen.isAudioMetering());
        QVERIFY(!m.screen.isRunning());
    }

    void nothingToCapture()
    {
        ShareableContent empty;
        analysis::AnalysisRecorder recorder(nullptr);
        ScreenRecorder screen(std::make_shared<ListedBackend>(empty), recorder);
        QTest::ignoreMessage(QtCriticalMsg, "No display selected.");
        QCoro::waitFor(screen.start());
        QVERIFY(!screen.isRunning());
        screen.setCaptureType(ScreenRecorder::CaptureType::window);
        QTest::ignoreMessage(QtCriticalMsg, "No window selected.");
        QCoro::waitFor(screen.start());
        QVERIFY(!screen.isRunning());
        QVERIFY(QCoro::waitFor(screen.canRecord()));
    }

    void canRecordIsFalseWithoutADisplay()
    {
        analysis::AnalysisRecorder recorder(nullptr);
        ScreenRecorder screen(createCaptureBackend("null"), recorder);
        QVERIFY(!QCoro::waitFor(screen.canRecord()));
        QTest::ignoreMessage(
            QtCriticalMsg, "Failed to get the shareable content: Screen capture is switched off on this system.");
        QCoro::waitFor(screen.refreshAvailableContent());
        QVERIFY(screen.availableDisplays().empty());
    }
};

QTEST_GUILESS_MAIN(TestScreenRecorder)
#include "tst_screen_recorder.moc"
