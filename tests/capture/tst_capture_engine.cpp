// The capture layer on the synthetic backend: the engine's stream output, the
// hand-over of frames to the GUI thread, and the screen recorder over them.

#include "analysis/analysis_recorder.h"
#include "capture/capture_engine.h"
#include "capture/capture_engine_stream_output.h"
#include "capture/screen_recorder.h"
#include "capture/video_file_analysis.h"
#include "platform/media/pcm_buffer.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "support/recorded.h"

#include <QCoroTask>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <thread>

using namespace corvex;
using namespace corvex::screencapture;
using capture::CapturedFrame;
using capture::CapturedFrameContinuation;
using capture::CaptureEngine;
using capture::CaptureEngineStreamOutput;
using capture::ScreenRecorder;

namespace {

// A complete 40 × 20 frame: left half red, right half blue.
SampleBuffer halves()
{
    SampleBuffer frame = SampleBuffer::videoFrame(40, 20, media::MediaTime::fromNanoseconds(1'000'000));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) {
            const std::uint32_t pixel = x < 20 ? 0xffff0000u : 0xff0000ffu; // BGRA bytes as little-endian words
            std::memcpy(frame.imageBuffer->baseAddress() + y * frame.imageBuffer->bytesPerRow() + 4 * x, &pixel, 4);
        }
    return frame;
}

ContentFilter displayFilter()
{
    return ContentFilter::forDisplay(SyntheticBackend::content().displays.front(), {}, {});
}

StreamConfiguration smallConfiguration(bool audio = true)
{
    StreamConfiguration configuration;
    configuration.width = 100;
    configuration.height = 56;
    configuration.capturesAudio = audio;
    configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
    configuration.queueDepth = 5;
    return configuration;
}

const RunningApplication kOwnApp { "corvex-studio", capture::kApplicationIdentifier, 1 };

// Lists chosen content; streams come from the synthetic backend.
class ListedBackend final : public CaptureBackend {
public:
    explicit ListedBackend(ShareableContent content)
        : m_content(std::move(content))
    {
    }
    std::string name() const override { return "listed"; }
    ShareableContentResult shareableContent(bool, bool) override { return ShareableContentResult::success(m_content); }
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

Q_DECLARE_METATYPE(std::function<void(SampleBuffer&)>)
Q_DECLARE_METATYPE(ShareableContent)

class TestCaptureEngine final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void framesThatAreNotCompleteAreDropped_data()
    {
        using Fault = std::function<void(SampleBuffer&)>;
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("complete") << Fault([](SampleBuffer&) {}) << true;
        QTest::newRow("invalid") << Fault([](SampleBuffer& b) { b.isValid = false; }) << false;
        QTest::newRow("idle") << Fault([](SampleBuffer& b) { b.frameInfo->status = FrameStatus::Idle; }) << false;
        QTest::newRow("no frame info") << Fault([](SampleBuffer& b) { b.frameInfo.reset(); }) << false;
        QTest::newRow("no image buffer") << Fault([](SampleBuffer& b) { b.imageBuffer.reset(); }) << false;
        QTest::newRow("no surface") << Fault([](SampleBuffer& b) { b.surface.reset(); }) << false;
        QTest::newRow("crop leaves nothing") << Fault() << false;
    }
    void framesThatAreNotCompleteAreDropped()
    {
        QFETCH(std::function<void(SampleBuffer&)>, fault);
        QFETCH(bool, accepted);
        analysis::AnalysisRecorder recorder(nullptr);
        recorder.start();
        auto continuation = std::make_shared<CapturedFrameContinuation>();
        CaptureEngineStreamOutput output(recorder, continuation);
        std::vector<std::string> events;
        recorder.setLiveMessageObserver([&](const QByteArray&) { events.push_back("recorder"); });
        std::optional<analysis::GridColours> colours;
        output.capturedFrameHandler = [&](const CapturedFrame& frame) {
            events.push_back("preview");
            QCOMPARE(frame.contentRect, (media::Rect { 0, 0, 40, 20 }));
            QCOMPARE(frame.contentScale, 1.0);
            colours = frame.colours;
        };
        SampleBuffer frame = halves();
        if (fault)
            fault(frame);
        else
            output.setCrop(media::Rect { 1, 1, 0.5, 0.5 });
        output.didOutputSampleBuffer(frame, StreamOutputType::Screen);
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(record.timestamps_size(), accepted ? 1 : 0);
        // The recorder sees each frame before the preview does.
        QCOMPARE(events, accepted ? (std::vector<std::string> { "recorder", "preview" }) : std::vector<std::string> {});
        // The preview gets the colours the recorder sampled, by grid position.
        QCOMPARE(colours.has_value(), accepted);
        for (int i = 0; accepted && i < record.channels_size(); ++i) {
            const VideoAnalysis::Channel& channel = record.channels(i);
            QCOMPARE((*colours)[channel.y() * 3 + channel.x()],
                (analysis::RGB { channel.r(0), channel.g(0), channel.b(0) }));
        }
    }

    void cropSelectsTheRegion()
    {
        analysis::AnalysisRecorder recorder(nullptr);
        recorder.start();
        CaptureEngineStreamOutput output(recorder, nullptr);
        output.didOutputSampleBuffer(halves(), StreamOutputType::Screen);
        output.setCrop(media::Rect { 0.5, 0, 0.5, 1 });
        output.didOutputSampleBuffer(halves(), StreamOutputType::Screen);
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(record.timestamps_size(), 2);
        for (const VideoAnalysis::Channel& channel : record.channels()) {
            // Without a crop the left column is red and the right one blue; cropped to the right half, all blue.
            QCOMPARE(channel.r(0), channel.x() == 0 ? 255u : channel.x() == 1 ? channel.r(0) : 0u);
            QCOMPARE(channel.r(1), 0u);
            QCOMPARE(channel.b(1), 255u);
        }
    }

    void audioGoesToTheRecorderThenTheMeter_data()
    {
        QTest::addColumn<bool>("withFormat");
        QTest::newRow("audio") << true;
        QTest::newRow("no format description") << false;
    }
    void audioGoesToTheRecorderThenTheMeter()
    {
        QFETCH(bool, withFormat);
        analysis::AnalysisRecorder recorder(nullptr);
        CaptureEngineStreamOutput output(recorder, nullptr);
        capture::PowerMeter meter;
        output.pcmBufferHandler = [&](const media::PcmBuffer& buffer) { meter.process(buffer); };
        std::vector<float> samples(4800, 0.1f);
        SampleBuffer buffer = SampleBuffer::audio(48000, { samples, samples }, media::MediaTime::fromNanoseconds(0));
        if (!withFormat)
            buffer.formatDescription.reset();
        output.didOutputSampleBuffer(buffer, StreamOutputType::Audio);
        QCOMPARE(meter.values().size(), withFormat ? 2u : 0u);
        if (withFormat)
            QVERIFY(std::abs(meter.values()[0].average - -20.0f) < 0.01f);
    }

    // Frames that pile up while the GUI thread is busy: only the newest is
    // handed over, and the older ones' surfaces are let go at once.
    void aBusyGuiThreadGetsOnlyTheNewestFrame()
    {
        capture::CapturedFrameStream stream;
        QSignalSpy received(&stream, &capture::CapturedFrameStream::frameReceived);
        QSignalSpy finished(&stream, &capture::CapturedFrameStream::finished);
        std::vector<std::weak_ptr<const Surface>> surfaces;
        std::thread producer([&, continuation = stream.continuation()] {
            for (int i = 0; i < 50; ++i) {
                auto surface
                    = std::make_shared<const Surface>(Surface { 1920, 1080, 1920 * 4, media::PixelFormat::BGRA, {} });
                surfaces.push_back(surface);
                continuation->yield(
                    CapturedFrame { surface, media::Rect { double(i), 0, 100, 56 }, 1.0, 1.0, std::nullopt, {} });
            }
            // The first end is the one told: a later stop that finishes it cleanly hides no error.
            continuation->finish(screencapture::CaptureError { screencapture::CaptureError::ConnectionLost, "gone" });
            continuation->finish();
            // Too late: a frame after the end is no part of the recording.
            continuation->yield(CapturedFrame { nullptr, media::Rect { 99, 0, 100, 56 }, 1.0, 1.0, std::nullopt, {} });
        });
        producer.join(); // the GUI thread has not run its event loop meanwhile
        for (std::size_t i = 0; i + 1 < surfaces.size(); ++i)
            QVERIFY2(surfaces[i].expired(), qPrintable(QStringLiteral("frame %1 is still held").arg(i)));
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(stream.error() && stream.error()->code == screencapture::CaptureError::ConnectionLost);
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().at(0).value<CapturedFrame>().contentRect.x, 49.0);
        QCoreApplication::processEvents();
        QCOMPARE(received.count(), 1);
    }

    void engineDeliversFramesAudioAndTheStop()
    {
        auto backend = std::make_shared<SyntheticBackend>();
        analysis::AnalysisRecorder recorder(nullptr);
        recorder.start();
        CaptureEngine engine(backend, recorder);
        std::unique_ptr<capture::CapturedFrameStream> frames
            = engine.startCapture(smallConfiguration(), displayFilter(), std::nullopt);
        QSignalSpy received(frames.get(), &capture::CapturedFrameStream::frameReceived);
        QSignalSpy finished(frames.get(), &capture::CapturedFrameStream::finished);
        QTRY_VERIFY(received.count() >= 5);
        QTRY_VERIFY(!engine.powerMeter().values().empty());
        // The tune is a sine of amplitude 0.5: about -9 dB average.
        QVERIFY(std::abs(engine.powerMeter().values()[0].average - -9.03f) < 0.3f);
        const auto frame = received.last().at(0).value<CapturedFrame>();
        QCOMPARE(frame.contentRect, (media::Rect { 0, 0, 100, 56 }));
        QVERIFY(frame.surface);

        backend->failRunningStreams({ CaptureError::ConnectionLost, "The X server went away." });
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(frames->error()->localizedDescription, std::string("The X server went away."));
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QVERIFY(record.timestamps_size() >= 5);
    }

    void updateAppliesTheCropOrLogsAndKeepsIt()
    {
        auto backend = std::make_shared<SyntheticBackend>();
        analysis::AnalysisRecorder recorder(nullptr);
        CaptureEngine engine(backend, recorder);
        // Before the first start there is nothing to update.
        QCoro::waitFor(engine.update(smallConfiguration(), displayFilter(), media::Rect { 0, 0, 0.5, 0.5 }));
        QVERIFY(!engine.streamOutput());

        auto frames = engine.startCapture(smallConfiguration(), displayFilter(), std::nullopt);
        const media::Rect crop { 0.25, 0.25, 0.5, 0.5 };
        QCoro::waitFor(engine.update(smallConfiguration(false), displayFilter(), crop));
        QCOMPARE(engine.streamOutput()->crop(), std::optional(crop));

        Window gone = SyntheticBackend::content().windows.front();
        gone.windowID = 0x999;
        QTest::ignoreMessage(
            QtCriticalMsg, "Failed to update the stream session: The window to capture is no longer open.");
        QCoro::waitFor(engine.update(
            smallConfiguration(false), ContentFilter::forDesktopIndependentWindow(gone), media::Rect { 0, 0, 1, 1 }));
        QCOMPARE(engine.streamOutput()->crop(), std::optional(crop));
    }

    // An update that a newer start overtook belongs to the stream it was asked of: the newer one keeps its content.
    void anUpdateOvertakenByANewerStartIsDropped()
    {
        Model m;
        CaptureEngine& engine = m.screen.captureEngine();
        StreamConfiguration sized = smallConfiguration(false);
        sized.width = sized.height = 0; // frames of the content's own size: the display's 1920, this window's 640
        const auto window = ContentFilter::forDesktopIndependentWindow(SyntheticBackend::content().windows.back());
        const auto first = engine.startCapture(sized, window, std::nullopt);
        auto updating = engine.update(sized, displayFilter(), std::nullopt);
        engine.stream()->waitForControl(); // answered, not yet heard
        const auto second = engine.startCapture(sized, window, std::nullopt);
        QCoro::waitFor(std::move(updating));
        engine.stream()->waitForControl();
        QSignalSpy received(second.get(), &capture::CapturedFrameStream::frameReceived);
        QTRY_VERIFY(received.count() >= 2);
        QCOMPARE(received.last().at(0).value<CapturedFrame>().surface->width, 640);
    }

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
        m.backend->failRunningStreams({ CaptureError::ContentUnavailable, "The display went away." });
        QTRY_VERIFY(!m.screen.isRunning());
        QVERIFY(!m.screen.isWindowLost()); // a display that goes is no closed window
        QSignalSpy refreshed(&m.screen, &ScreenRecorder::availableContentRefreshed);
        QCoro::waitFor(m.screen.start());
        QVERIFY(m.screen.isRunning());
        QCOMPARE(refreshed.count(), 0); // no second first-refresh
        QVERIFY(m.screen.hasContentRefreshTimer());
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

    // A film is cut short when it ends more than a second, or 1 % of its
    // length, before the length it claims: the larger of the two.
    void cutShortFilms_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<double>("last");
        QTest::addColumn<bool>("cutShort");
        QTest::newRow("a second short") << 100.0 << 99.0 << false;
        QTest::newRow("more than a second short") << 100.0 << 98.9 << true;
        QTest::newRow("1 % of two hours short") << 7200.0 << 7128.0 << false;
        QTest::newRow("more than 1 % of two hours short") << 7200.0 << 7127.9 << true;
        QTest::newRow("no length claimed") << 0.0 << 5.0 << false;
    }
    void cutShortFilms()
    {
        QFETCH(double, duration);
        QFETCH(double, last);
        capture::VideoFileAnalysis::Result result;
        result.durationSeconds = duration;
        result.lastSeconds = last;
        QTEST(result.isCutShort(), "cutShort");
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
        // Its ticks show no sound while none is captured, whatever was shown before.
        m.screen.audioLevelsProvider()->setAudioLevels({ 0.5f, 0.7f });
        QTRY_COMPARE(m.screen.audioLevelsProvider()->audioLevels(), (capture::AudioLevels { 0, 0 }));
    }

    void nothingToCapture_data()
    {
        ShareableContent windowless = SyntheticBackend::content();
        windowless.windows.clear();
        QTest::addColumn<ShareableContent>("content");
        QTest::addColumn<ScreenRecorder::CaptureType>("type");
        QTest::addColumn<QString>("message");
        QTest::newRow("no display") << ShareableContent {} << ScreenRecorder::CaptureType::display
                                    << QStringLiteral("No display selected.");
        QTest::newRow("no window") << ShareableContent {} << ScreenRecorder::CaptureType::window
                                   << QStringLiteral("No window selected.");
        QTest::newRow("no window, a display")
            << windowless << ScreenRecorder::CaptureType::window << QStringLiteral("No window selected.");
    }

    // A start that finds nothing to capture says so and leaves later starts free.
    void nothingToCapture()
    {
        QFETCH(ShareableContent, content);
        QFETCH(ScreenRecorder::CaptureType, type);
        QFETCH(QString, message);
        analysis::AnalysisRecorder recorder(nullptr);
        ScreenRecorder screen(std::make_shared<ListedBackend>(content), recorder);
        screen.setCaptureType(type);
        // Before the first look at the screen, a recording may start all the same.
        QCOMPARE(screen.recordingState(), capture::RecordingSource::State::Ready);
        for (int attempt = 0; attempt < 2; ++attempt) {
            QTest::ignoreMessage(QtCriticalMsg, qPrintable(message));
            QCoro::waitFor(screen.start());
            QVERIFY(!screen.isRunning());
        }
        QVERIFY(QCoro::waitFor(screen.canRecord()));
        if (content.displays.empty())
            return;
        screen.setCaptureType(ScreenRecorder::CaptureType::display);
        QCoro::waitFor(screen.start());
        QVERIFY(screen.isRunning());
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

QTEST_GUILESS_MAIN(TestCaptureEngine)
#include "tst_capture_engine.moc"
