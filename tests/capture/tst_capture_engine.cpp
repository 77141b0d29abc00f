#include "analysis/analysis_recorder.h"
#include "capture/capture_engine.h"
#include "capture/capture_engine_stream_output.h"
#include "platform/media/pcm_buffer.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "support/recorded.h"

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

} // namespace

Q_DECLARE_METATYPE(std::function<void(SampleBuffer&)>)

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
        QTest::newRow("stopped") << Fault([](SampleBuffer& b) { b.frameInfo->status = FrameStatus::Stopped; }) << false;
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
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("metered");
        QTest::newRow("audio") << true << int(StreamOutputType::Audio) << true;
        QTest::newRow("no format description") << false << int(StreamOutputType::Audio) << false;
        QTest::newRow("microphone ignored") << true << int(StreamOutputType::Microphone) << false;
    }
    void audioGoesToTheRecorderThenTheMeter()
    {
        QFETCH(bool, withFormat);
        QFETCH(int, type);
        QFETCH(bool, metered);
        analysis::AnalysisRecorder recorder(nullptr);
        CaptureEngineStreamOutput output(recorder, nullptr);
        capture::PowerMeter meter;
        output.pcmBufferHandler = [&](const media::PcmBuffer& buffer) { meter.process(buffer); };
        std::vector<float> samples(4800, 0.1f);
        SampleBuffer buffer = SampleBuffer::audio(48000, { samples, samples }, media::MediaTime::fromNanoseconds(0));
        if (!withFormat)
            buffer.formatDescription.reset();
        output.didOutputSampleBuffer(buffer, StreamOutputType(type));
        QCOMPARE(meter.values().size(), metered ? 2u : 0u);
        if (metered)
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
            continuation->finish();
        });
        producer.join(); // the GUI thread has not run its event loop meanwhile
        for (std::size_t i = 0; i + 1 < surfaces.size(); ++i)
            QVERIFY2(surfaces[i].expired(), qPrintable(QStringLiteral("frame %1 is still held").arg(i)));
        QTRY_COMPARE(finished.count(), 1);
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
};

QTEST_GUILESS_MAIN(TestCaptureEngine)
#include "tst_capture_engine.moc"
