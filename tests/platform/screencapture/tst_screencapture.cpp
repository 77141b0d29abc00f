#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/null/null_backend.h"
#include "platform/screencapture/paced_worker.h"
#include "platform/screencapture/portal/frame_reducer.h"
#include "platform/screencapture/serial_queue.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/screencapture/x11/covered_pixels.h"
#include "support/stream_collector.h"

#include <QRect>
#include <QTest>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

using namespace corvex;
using namespace corvex::screencapture;
using test::Collector;
using TimedFrames = std::vector<std::pair<int, int>>; // producer's time (0: none), arrival; ms

Q_DECLARE_METATYPE(std::function<void(SampleBuffer&)>)
Q_DECLARE_METATYPE(TimedFrames)
Q_DECLARE_METATYPE(std::vector<int>)

namespace {

StreamConfiguration configuration(int width, int height, bool audio = false)
{
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.capturesAudio = audio;
    c.minimumFrameInterval = media::MediaTime::make(1, 100);
    c.queueDepth = 3;
    return c;
}

std::uint32_t pixelAt(const SampleBuffer& frame, int x, int y)
{
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, frame.imageBuffer->baseAddress() + y * frame.imageBuffer->bytesPerRow() + 4 * x, 4);
    return pixel;
}

struct Fixture {
    std::shared_ptr<SyntheticBackend> backend = std::make_shared<SyntheticBackend>();
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    SerialQueue video { "test.video" };
    SerialQueue audio { "test.audio" };
    std::unique_ptr<Stream> stream;

    void start(const ContentFilter& filter, const StreamConfiguration& config)
    {
        stream = std::make_unique<Stream>(backend, filter, config, collector);
        QVERIFY(stream->addStreamOutput(collector, StreamOutputType::Screen, video));
        QVERIFY(stream->addStreamOutput(collector, StreamOutputType::Audio, audio));
        stream->startCapture();
    }
    ~Fixture() { stream.reset(); }
};

spa_video_info_raw rawFormat(std::uint32_t format, int width, int height)
{
    spa_video_info_raw raw {};
    raw.format = static_cast<spa_video_format>(format);
    raw.size = { std::uint32_t(width), std::uint32_t(height) };
    return raw;
}

// One shared-memory buffer as a PipeWire stream hands it over, filled with one
// colour (the padding bytes of rows and of x formats hold noise).
struct TestPortalBuffer {
    std::vector<std::uint8_t> bytes;
    spa_chunk chunk {};
    spa_data data {};
    spa_meta_header header {};
    spa_meta_region regions[2] {};
    spa_meta metas[2] {};
    spa_buffer buffer {};

    TestPortalBuffer(std::uint32_t format, int width, int height, int stride, std::uint32_t rgb, int damage,
        std::int64_t pictureTime)
        : bytes(std::size_t(stride) * std::size_t(height), 0x55)
    {
        const bool rgbOrder = format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
        const std::uint8_t r = std::uint8_t(rgb >> 16), g = std::uint8_t(rgb >> 8), b = std::uint8_t(rgb);
        const std::uint8_t alpha = format == SPA_VIDEO_FORMAT_BGRA || format == SPA_VIDEO_FORMAT_RGBA ? 0xff : 0x55;
        const std::uint8_t pixel[4] = { rgbOrder ? r : b, g, rgbOrder ? b : r, alpha };
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                std::memcpy(bytes.data() + std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4, pixel, 4);
        chunk = { 0, std::uint32_t(bytes.size()), stride, 0 };
        data.type = SPA_DATA_MemPtr;
        data.maxsize = std::uint32_t(bytes.size());
        data.data = bytes.data();
        data.chunk = &chunk;
        header.pts = pictureTime;
        if (damage > 0)
            regions[0].region = { { 0, 0 }, { std::uint32_t(width), std::uint32_t(height) } };
        metas[0] = { SPA_META_Header, sizeof header, &header };
        metas[1] = { SPA_META_VideoDamage, sizeof regions, regions };
        buffer = { damage < 0 ? 1u : 2u, 1u, metas, &data };
    }
};

ContentFilter displayFilter()
{
    return ContentFilter::forDisplay(SyntheticBackend::content().displays.front(), {}, {});
}

} // namespace

class TestScreenCapture final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serialQueueRunsTasksInOrderOnOneThread()
    {
        std::vector<int> order;
        std::set<std::thread::id> threads;
        {
            SerialQueue queue("test.order");
            for (int i = 0; i < 100; ++i)
                queue.async([&, i] {
                    order.push_back(i);
                    threads.insert(std::this_thread::get_id());
                });
            queue.waitUntilIdle();
            QCOMPARE(order.size(), 100u);
            queue.async([&] { order.push_back(100); }); // run by the destructor
        }
        QCOMPARE(order.size(), 101u);
        QVERIFY(std::is_sorted(order.begin(), order.end()));
        QCOMPARE(threads.size(), 1u);
    }

    // A tick that overruns the pace is not made up for by a burst of the ticks it
    // missed: in any span of n intervals after it, at most n + 1 ticks.
    void aPacedWorkerSkipsTheTicksAStallMissed()
    {
        using Clock = std::chrono::steady_clock;
        constexpr auto interval = std::chrono::milliseconds(20);
        std::mutex mutex;
        std::vector<Clock::time_point> ticks;
        Clock::time_point stallEnded;
        PacedWorker worker;
        worker.start("test.paced", std::chrono::nanoseconds(interval).count(), [&] {
            std::unique_lock lock(mutex);
            ticks.push_back(Clock::now());
            if (ticks.size() == 2) {
                lock.unlock();
                std::this_thread::sleep_for(10 * interval);
                lock.lock();
                stallEnded = Clock::now();
            }
            return ticks.size() < 12;
        });
        QTRY_VERIFY([&] {
            std::lock_guard lock(mutex);
            return ticks.size() == 12;
        }());
        worker.stop();
        const auto soon = std::count_if(ticks.begin(), ticks.end(),
            [&](Clock::time_point tick) { return tick >= stallEnded && tick < stallEnded + 5 * interval; });
        QVERIFY2(soon <= 6, qPrintable(QString::number(soon)));
    }

    void syntheticStreamsAreDeterministic()
    {
        Fixture f;
        f.start(displayFilter(), configuration(100, 56, true));
        QVERIFY(
            f.collector->waitFor([&] { return f.collector->frames.size() >= 3 && f.collector->audio.size() >= 3; }));
        std::lock_guard lock(f.collector->mutex);
        const SampleBuffer& first = f.collector->frames.front().buffer;
        QCOMPARE(first.imageBuffer->width(), 100);
        QCOMPARE(first.imageBuffer->height(), 56);
        QCOMPARE(first.surface->pixels.get(), first.imageBuffer->baseAddress());
        QCOMPARE(pixelAt(first, 10, 20), SyntheticBackend::syntheticPixel(0, 0, 10.5 / 100, 20.5 / 56));
        QVERIFY(first.frameInfo && first.frameInfo->status == FrameStatus::Complete);
        QCOMPARE(first.frameInfo->contentRect, (media::Rect { 0, 0, 100, 56 }));
        for (std::size_t i = 1; i < f.collector->frames.size(); ++i)
            QVERIFY(f.collector->frames[i].buffer.outputPresentationTimeStamp.seconds()
                > f.collector->frames[i - 1].buffer.outputPresentationTimeStamp.seconds());
        // The sound: the tune, in buffers whose times follow on.
        const SampleBuffer& sound = f.collector->audio[0].buffer;
        QCOMPARE(sound.formatDescription->sampleRate, SyntheticBackend::kSampleRate);
        QCOMPARE(sound.formatDescription->channelsPerFrame, SyntheticBackend::kChannels);
        const std::optional<AudioBufferList> list = sound.audioBufferList();
        QVERIFY(list);
        QCOMPARE(list->frameCount, SyntheticBackend::kFramesPerBuffer);
        for (std::uint32_t i = 0; i < list->frameCount; i += 97)
            QCOMPARE(static_cast<float*>(list->channels[1])[i], SyntheticBackend::syntheticSample(i));
        const double step = f.collector->audio[1].buffer.outputPresentationTimeStamp.seconds()
            - sound.outputPresentationTimeStamp.seconds();
        QVERIFY(std::abs(step - SyntheticBackend::kFramesPerBuffer / SyntheticBackend::kSampleRate) < 1e-6);
        // Channels of unequal length, the second shorter or longer, are no sound one can read across.
        for (const std::size_t second : { 1, 3 })
            QVERIFY(!SampleBuffer::audio(48000, { std::vector<float>(2), std::vector<float>(second) }, {})
                         .audioBufferList());
    }

    // A stream keeps one clock: the producer's time of the picture when one of its
    // first frames' is fresh and on our clock, else the arrival; it never runs back.
    void oneClockPerStream_data()
    {
        QTest::addColumn<TimedFrames>("frames");
        QTest::addColumn<std::vector<int>>("stamps"); // -1: left out
        using F = TimedFrames;
        using S = std::vector<int>;
        QTest::newRow("the producer's fresh times")
            << F { { 990, 1000 }, { 1990, 2000 }, { 2985, 3000 } } << S { 990, 1990, 2985 };
        QTest::newRow("a stale first time, then the producer's")
            << F { { 100, 2000 }, { 1600, 2100 }, { 2100, 2500 } } << S { 2000, -1, 2100 };
        QTest::newRow("stale times all along: arrivals")
            << F { { 100, 2000 }, { 200, 3000 }, { 300, 4000 }, { 4900, 5000 } } << S { 2000, 3000, 4000, 5000 };
        QTest::newRow("a first time ahead of arrival: arrivals")
            << F { { 1500, 1000 }, { 1990, 2000 } } << S { 1000, 2000 };
        QTest::newRow("no time first: arrivals all along") << F { { 0, 1000 }, { 1995, 2000 } } << S { 1000, 2000 };
        QTest::newRow("no time later: by the least lag")
            << F { { 990, 1000 }, { 0, 2000 }, { 2600, 3000 }, { -5, 3500 } } << S { 990, 1990, 2600, 3490 };
        QTest::newRow("a later time ahead of arrival: by the lag")
            << F { { 990, 1000 }, { 2500, 2000 } } << S { 990, 1990 };
        QTest::newRow("a stale time later: by the lag") << F { { 990, 1000 }, { 500, 2000 } } << S { 990, 1990 };
        QTest::newRow("a time that runs back is left out")
            << F { { 990, 1000 }, { 1990, 2000 }, { 1500, 2100 }, { 2990, 3000 } } << S { 990, 1990, -1, 2990 };
        QTest::newRow("equal times stay") << F { { 0, 1000 }, { 0, 1000 } } << S { 1000, 1000 };
        // The ends: a time made at its arrival is ours; a second old is stale; two stale ones decide nothing yet.
        QTest::newRow("a time of its arrival") << F { { 1000, 1000 }, { 1990, 2000 } } << S { 1000, 1990 };
        QTest::newRow("just under a second old") << F { { 1001, 2000 }, { 2990, 3000 } } << S { 1001, 2990 };
        QTest::newRow("a second old") << F { { 1000, 2000 }, { 2990, 3000 } } << S { 2000, 2990 };
        QTest::newRow("two stale times, then fresh ones")
            << F { { 100, 2000 }, { 200, 3000 }, { 3900, 4000 } } << S { 2000, 3000, 3900 };
    }
    void oneClockPerStream()
    {
        QFETCH(TimedFrames, frames);
        QFETCH(std::vector<int>, stamps);
        constexpr std::int64_t ms = 1'000'000;
        portal::FrameClock clock;
        std::vector<int> got;
        for (const auto& [picture, arrival] : frames) {
            const std::optional<std::int64_t> stamp = clock.stamp(picture * ms, arrival * ms);
            got.push_back(stamp ? int(*stamp / ms) : -1);
        }
        QCOMPARE(QList<int>(got.begin(), got.end()), QList<int>(stamps.begin(), stamps.end()));
        QCOMPARE(clock.framesLeftOut(), std::int64_t(std::count(stamps.begin(), stamps.end(), -1)));
    }

    // A 60 × 30 buffer of each pixel layout, rows padded or not, with or
    // without damage, reduced to 6 × 3 BGRA.
    void portalBuffersAreReducedExactly_data()
    {
        QTest::addColumn<std::uint32_t>("format");
        QTest::addColumn<int>("padding");
        QTest::addColumn<int>("damage"); // -1: no damage given, 0: nothing changed, 1: the whole picture
        QTest::addColumn<int>("cut"); // bytes cut off the buffer's end
        QTest::addColumn<int>("offset"); // bytes before the picture
        const auto bgrx = std::uint32_t(SPA_VIDEO_FORMAT_BGRx);
        QTest::newRow("BGRx") << bgrx << 0 << 1 << 0 << 0;
        QTest::newRow("BGRA") << std::uint32_t(SPA_VIDEO_FORMAT_BGRA) << 0 << 1 << 0 << 0;
        QTest::newRow("RGBx") << std::uint32_t(SPA_VIDEO_FORMAT_RGBx) << 0 << 1 << 0 << 0;
        QTest::newRow("RGBA") << std::uint32_t(SPA_VIDEO_FORMAT_RGBA) << 0 << 1 << 0 << 0;
        QTest::newRow("rows padded") << bgrx << 64 << 1 << 0 << 0;
        QTest::newRow("last row not padded") << bgrx << 64 << 1 << 64 << 0;
        QTest::newRow("last row one byte short: refused") << bgrx << 64 << 1 << 65 << 0;
        QTest::newRow("one byte short: refused") << bgrx << 0 << 1 << 1 << 0;
        QTest::newRow("at an offset, last row not padded") << bgrx << 64 << 1 << 64 << 24;
        QTest::newRow("at an offset, one byte short: refused") << bgrx << 0 << 1 << 1 << 24;
        QTest::newRow("nothing changed: idle") << bgrx << 0 << 0 << 0 << 0;
        QTest::newRow("no damage: complete") << bgrx << 0 << -1 << 0 << 0;
    }
    // The sizes a stream may have: up to 16384 pixels a side, none empty.
    void portalSizesAreBounded_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("taken");
        QTest::newRow("the widest") << QSize(16384, 1) << true;
        QTest::newRow("the tallest") << QSize(1, 16384) << true;
        QTest::newRow("wider") << QSize(16385, 1) << false;
        QTest::newRow("taller") << QSize(1, 16385) << false;
        QTest::newRow("no height") << QSize(60, 0) << false;
    }
    void portalSizesAreBounded()
    {
        QFETCH(QSize, size);
        QFETCH(bool, taken);
        portal::FrameReducer reducer(configuration(6, 0));
        const auto set = reducer.setFormat(rawFormat(SPA_VIDEO_FORMAT_BGRx, size.width(), size.height()));
        QCOMPARE(bool(set), taken);
        if (!taken)
            QVERIFY2(set.error.localizedDescription.find("no usable size") != std::string::npos,
                set.error.localizedDescription.c_str());
    }

    void portalBuffersAreReducedExactly()
    {
        QFETCH(std::uint32_t, format);
        QFETCH(int, padding);
        QFETCH(int, damage);
        QFETCH(int, cut);
        QFETCH(int, offset);
        portal::FrameReducer reducer(configuration(6, 0));
        QVERIFY(reducer.setFormat(rawFormat(format, 60, 30)));
        TestPortalBuffer buffer(format, 60, 30, 60 * 4 + padding, 0x123456, damage, 999'000);
        buffer.bytes.insert(buffer.bytes.begin(), std::size_t(offset), 0);
        buffer.data.data = buffer.bytes.data();
        buffer.data.maxsize = std::uint32_t(buffer.bytes.size() - std::size_t(cut));
        buffer.chunk = { std::uint32_t(offset), buffer.data.maxsize - std::uint32_t(offset), buffer.chunk.stride, 0 };
        const portal::FrameReducer::Reduced reduced = reducer.reduce(buffer.buffer, 1'000'000);
        if (cut > padding) {
            QVERIFY(!reduced);
            QVERIFY(reduced.error.localizedDescription.find("60 x 30 pixels need") != std::string::npos);
            return;
        }
        QVERIFY2(reduced, reduced.error.localizedDescription.c_str());
        QVERIFY(*reduced.value && (*reduced.value)->frameInfo);
        const SampleBuffer& frame = **reduced.value;
        QCOMPARE(frame.imageBuffer->width(), 6);
        QCOMPARE(frame.imageBuffer->height(), 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 6; ++x)
                QCOMPARE(pixelAt(frame, x, y), 0xff123456u);
        QCOMPARE(frame.outputPresentationTimeStamp, media::MediaTime::fromNanoseconds(999'000));
        const bool idle = damage == 0;
        QCOMPARE(frame.frameInfo->status, idle ? FrameStatus::Idle : FrameStatus::Complete);
        // Only a complete frame, which becomes colours, says when it came.
        QCOMPARE(frame.frameInfo->arrivalTime, idle ? std::optional<std::int64_t>() : 1'000'000);
        QCOMPARE(frame.frameInfo->contentRect, (media::Rect { 0, 0, 6, 3 }));
        QCOMPARE(frame.frameInfo->contentScale, 0.1);
    }

    void aStalledConsumerGetsTheNewestFrames()
    {
        Fixture f;
        f.collector->holdFirstFrame = true;
        f.start(displayFilter(), configuration(8, 8));
        QTest::qSleep(300); // the producer goes on meanwhile: about 30 frames
        f.collector->release();
        QVERIFY(f.collector->waitFor([&] { return f.collector->frames.size() >= 8; }));
        std::lock_guard lock(f.collector->mutex);
        // Which synthetic frame each delivery is (its pattern repeats every 256 frames).
        std::vector<std::int64_t> numbers;
        for (const auto& delivery : f.collector->frames) {
            std::int64_t n = 0;
            while (
                n < 256 && SyntheticBackend::syntheticPixel(0, n, 0.5 / 8, 0.5 / 8) != pixelAt(delivery.buffer, 0, 0))
                ++n;
            QVERIFY(n < 256);
            numbers.push_back(n);
        }
        QCOMPARE(numbers.front(), std::int64_t(0)); // the held one
        // The frames that waited behind it are the newest of those made while it was held:
        // the old ones were dropped before them, so the gap comes first and none after.
        QVERIFY2(numbers[1] > 1 + 3, qPrintable(QString::number(numbers[1])));
        std::int64_t gapAfterWaiting = 0;
        for (std::size_t i = 2; i <= 3; ++i)
            gapAfterWaiting = std::max(gapAfterWaiting, numbers[i] - numbers[i - 1]);
        QVERIFY2(gapAfterWaiting < numbers[1] - numbers[0],
            qPrintable(QStringLiteral("%1 then gaps up to %2").arg(numbers[1]).arg(gapAfterWaiting)));
    }

    void failureStopsTheStreamOnce()
    {
        Fixture f;
        f.start(displayFilter(), configuration(8, 8, true));
        QVERIFY(f.collector->waitFor([&] { return !f.collector->frames.empty(); }));
        f.backend->failRunningStreams({ CaptureError::ConnectionLost, "gone" });
        QVERIFY(f.collector->waitFor([&] { return !f.collector->errors.empty(); }));
        QTest::qSleep(100);
        std::size_t frames = 0;
        {
            std::lock_guard lock(f.collector->mutex);
            QCOMPARE(f.collector->errors.size(), 1u);
            QCOMPARE(f.collector->errors[0].localizedDescription, std::string("gone"));
            frames = f.collector->frames.size();
        }
        QTest::qSleep(100);
        std::lock_guard lock(f.collector->mutex);
        QCOMPARE(f.collector->frames.size(), frames);
    }

    void updatesApplyOrReportAnError()
    {
        Fixture f;
        f.start(displayFilter(), configuration(8, 8));
        Result<void, CaptureError> result = Result<void, CaptureError>::failure({});
        std::mutex mutex;
        const auto keep = [&](Result<void, CaptureError> outcome) {
            std::lock_guard lock(mutex);
            result = std::move(outcome);
        };
        f.stream->updateConfiguration(configuration(20, 10), keep);
        f.stream->waitForControl();
        QVERIFY(result);
        QVERIFY(f.collector->waitFor([&] {
            return !f.collector->frames.empty() && f.collector->frames.back().buffer.imageBuffer->width() == 20;
        }));

        Window gone = SyntheticBackend::content().windows.front();
        gone.windowID = 0x999;
        f.stream->updateContentFilter(ContentFilter::forDesktopIndependentWindow(gone), keep);
        f.stream->waitForControl();
        QVERIFY(!result);
        QCOMPARE(result.error.code, CaptureError::ContentUnavailable);
        // The stream goes on with what it had.
        const std::size_t before = [&] {
            std::lock_guard lock(f.collector->mutex);
            return f.collector->frames.size();
        }();
        QVERIFY(f.collector->waitFor([&] { return f.collector->frames.size() > before + 2; }));

        // A filter that applies holds for the changes after it.
        f.stream->updateContentFilter(
            ContentFilter::forDesktopIndependentWindow(SyntheticBackend::content().windows.front()), keep);
        f.stream->waitForControl();
        QVERIFY(result);
        f.stream->updateConfiguration(configuration(16, 8), keep);
        f.stream->waitForControl();
        QVERIFY(result);
        const auto ofTheWindow = [](const SampleBuffer& frame) { // the display draws with seed 0, the window 1
            for (std::int64_t n = 0; n < 256; ++n)
                if (SyntheticBackend::syntheticPixel(1, n, 0.5 / 16, 0.5 / 8) == pixelAt(frame, 0, 0))
                    return true;
            return false;
        };
        QVERIFY(f.collector->waitFor([&] {
            const SampleBuffer& last = f.collector->frames.back().buffer;
            return last.imageBuffer->width() == 16 && ofTheWindow(last);
        }));
    }

    void secondOutputOfATypeIsRefused()
    {
        Fixture f;
        f.start(displayFilter(), configuration(8, 8));
        const Result<void, CaptureError> again
            = f.stream->addStreamOutput(f.collector, StreamOutputType::Screen, f.video);
        QVERIFY(!again);
        QCOMPARE(again.error.code, CaptureError::OutputAlreadyAdded);
    }

    void nullBackendFailsEverything()
    {
        auto backend = std::make_shared<NullBackend>(CaptureError { CaptureError::NoDisplay, "no display" });
        QVERIFY(!backend->shareableContent(false, true));
        auto collector = std::make_shared<Collector>();
        SerialQueue queue("test.null");
        Stream stream(backend, displayFilter(), configuration(8, 8), collector);
        QVERIFY(stream.addStreamOutput(collector, StreamOutputType::Screen, queue));
        stream.startCapture();
        QVERIFY(collector->waitFor([&] { return !collector->errors.empty(); }));
        QCOMPARE(collector->errors[0].code, CaptureError::NoDisplay);
    }

    // Which backend the session gets, and what the environment forces.
    void factoryChoosesBySession_data()
    {
        QTest::addColumn<QString>("forced");
        QTest::addColumn<QString>("sessionType");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("expected");
        const char* rows[][5] = {
            { "Wayland session", "", "wayland", "", "portal" },
            { "Wayland display, no session type", "", "", "wayland-0", "portal" },
            { "X11 session without a display", "", "x11", "", "null" },
            { "forced portal in an X11 session", "portal", "x11", "", "portal" },
            { "forced X11 in a Wayland session", "x11", "wayland", "wayland-0", "null" },
            { "forced synthetic in a Wayland session", "synthetic", "wayland", "wayland-0", "synthetic" },
            { "forced null in a Wayland session", "null", "wayland", "wayland-0", "null" },
            { "an unknown name in a Wayland session", "wayland", "wayland", "", "portal" },
            { "X11 session, Wayland display set but empty", "", "x11", "(empty)", "null" },
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
    }
    void factoryChoosesBySession()
    {
        QFETCH(QString, forced);
        QFETCH(QString, sessionType);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, expected);
        const QByteArray saved[] = { qgetenv(kBackendEnvironmentVariable), qgetenv("XDG_SESSION_TYPE"),
            qgetenv("WAYLAND_DISPLAY"), qgetenv("DISPLAY") };
        auto restore = qScopeGuard([&] {
            const char* names[] = { kBackendEnvironmentVariable, "XDG_SESSION_TYPE", "WAYLAND_DISPLAY", "DISPLAY" };
            for (int i = 0; i < 4; ++i)
                saved[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], saved[i]);
        });
        auto set = [](const char* name, const QString& value) { // empty: not set at all
            value.isEmpty() ? qunsetenv(name)
                            : qputenv(name, value == QLatin1StringView("(empty)") ? QByteArray("") : value.toUtf8());
        };
        set(kBackendEnvironmentVariable, forced);
        set("XDG_SESSION_TYPE", sessionType);
        set("WAYLAND_DISPLAY", waylandDisplay);
        qunsetenv("DISPLAY"); // no X server: the X11 backend cannot be had
        QCOMPARE(QString::fromStdString(createCaptureBackend()->name()), expected);
    }

    // Pixels of the visible part's colour (alpha: the visible share) made opaque, and which ('1')
    // had their colour guessed from around them.
    void coveredPixelsAreRevealed_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<std::vector<std::uint32_t>>("premultiplied");
        QTest::addColumn<std::vector<std::uint32_t>>("expected");
        QTest::addColumn<QByteArray>("guessed");
        using V = std::vector<std::uint32_t>;
        QTest::newRow("opaque pixels stay")
            << 2 << V { 0xff102030, 0xffa0b0c0 } << V { 0x102030, 0xa0b0c0 } << QByteArray();
        QTest::newRow("half visible keeps the visible colour")
            << 2 << V { 0x80804020, 0xff000000 } << V { 0x804020, 0x000000 } << QByteArray();
        QTest::newRow("hidden pixel takes its neighbours' average")
            << 3 << V { 0xffff0000, 0x00000000, 0xff0000ff } << V { 0xff0000, 0x800080, 0x0000ff } << QByteArray("010");
        QTest::newRow("holes fill ring by ring") << 4 << V { 0xff00ff00, 0x00000000, 0x00000000, 0x00000000 }
                                                 << V { 0x00ff00, 0x00ff00, 0x00ff00, 0x00ff00 } << QByteArray("0111");
        QTest::newRow("barely visible counts as hidden")
            << 2 << V { 0x1f1f0000, 0xffffffff } << V { 0xffffff, 0xffffff } << QByteArray("10");
        QTest::newRow("visible at the threshold keeps its colour")
            << 2 << V { 0x20200000, 0xff0000ff } << V { 0x200000, 0x0000ff } << QByteArray();
        QTest::newRow("in two dimensions")
            << 3 << V { 0xff300000, 0xff300000, 0xff300000, 0xff300000, 0x00000000, 0xff300000 }
            << V { 0x300000, 0x300000, 0x300000, 0x300000, 0x300000, 0x300000 } << QByteArray("000010");
        QTest::newRow("nothing visible is black")
            << 2 << V { 0x00000000, 0x0f0f0f0f } << V { 0x000000, 0x000000 } << QByteArray("11");
    }
    void coveredPixelsAreRevealed()
    {
        QFETCH(int, width);
        QFETCH(std::vector<std::uint32_t>, premultiplied);
        QFETCH(std::vector<std::uint32_t>, expected);
        QFETCH(QByteArray, guessed);
        const int height = static_cast<int>(premultiplied.size()) / width;
        const std::size_t bytesPerRow = 4 * std::size_t(width) + 8; // padded rows, whose padding stays
        std::vector<std::uint8_t> frame(bytesPerRow * std::size_t(height), 0xee);
        for (int i = 0; i < static_cast<int>(premultiplied.size()); ++i)
            std::memcpy(
                &frame[std::size_t(i / width) * bytesPerRow + 4 * std::size_t(i % width)], &premultiplied[i], 4);
        QByteArray guesses;
        for (const std::uint8_t covered : x11::revealCoveredPixels(frame.data(), width, height, bytesPerRow))
            guesses.append(covered ? '1' : '0');
        QCOMPARE(guesses, guessed);
        for (int i = 0; i < static_cast<int>(expected.size()); ++i) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, &frame[std::size_t(i / width) * bytesPerRow + 4 * std::size_t(i % width)], 4);
            QCOMPARE(QString::number(pixel, 16), QString::number(0xff000000u | expected[std::size_t(i)], 16));
        }
        for (int y = 0; y < height; ++y)
            for (std::size_t b = 4 * std::size_t(width); b < bytesPerRow; ++b)
                QCOMPARE(frame[std::size_t(y) * bytesPerRow + b], std::uint8_t(0xee));
    }

    // Passes of 16 × 8 blocks of a 1920 × 1080 display with a window left out, averaged into
    // 100 × 56: every frame pixel shows the background, however little of it a pixel saw.
    void leftOutEdgesKeepTheBackground_data()
    {
        QTest::addColumn<QRect>("excluded"); // in display pixels
        QTest::addColumn<quint32>("background");
        QTest::newRow("window at 168, 168") << QRect(QPoint(168, 168), QPoint(877, 595)) << 0x3366ccu;
        QTest::newRow("window at 364, 364") << QRect(QPoint(364, 364), QPoint(1073, 791)) << 0x3366ccu;
        QTest::newRow("window at 420, 420") << QRect(QPoint(420, 420), QPoint(1129, 847)) << 0x3366ccu;
        QTest::newRow("window at 56, 56") << QRect(QPoint(56, 56), QPoint(765, 483)) << 0x3366ccu;
        QTest::newRow("odd edges") << QRect(373, 231, 513, 301) << 0x995522u;
    }
    void leftOutEdgesKeepTheBackground()
    {
        QFETCH(QRect, excluded);
        QFETCH(quint32, background);
        constexpr int passWidth = 120, passHeight = 135, blockWidth = 16, blockHeight = 8;
        constexpr int frameWidth = 100, frameHeight = 56;
        // The last pass: the background premultiplied by each block's visible share, both rounded.
        std::vector<std::uint8_t> pass(std::size_t(passWidth) * passHeight * 4);
        for (int y = 0; y < passHeight; ++y)
            for (int x = 0; x < passWidth; ++x) {
                const QRect block(x * blockWidth, y * blockHeight, blockWidth, blockHeight);
                const QRect hidden = block.intersected(excluded);
                const double share = 1.0 - double(hidden.width() * hidden.height()) / (blockWidth * blockHeight);
                std::uint8_t* p = &pass[4 * (std::size_t(y) * passWidth + std::size_t(x))];
                for (int c = 0; c < 3; ++c)
                    p[c] = std::uint8_t(std::lround((background >> (8 * c) & 0xff) * share));
                p[3] = std::uint8_t(std::lround(255 * share));
            }
        const std::size_t bytesPerRow = 4 * frameWidth;
        std::vector<std::uint8_t> frame(bytesPerRow * frameHeight);
        x11::averageVisible({ pass.data(), passHeight, passWidth, 4 * std::size_t(passWidth) },
            { frame.data(), frameHeight, frameWidth, bytesPerRow });
        x11::revealCoveredPixels(frame.data(), frameWidth, frameHeight, bytesPerRow);
        for (int y = 0; y < frameHeight; ++y)
            for (int x = 0; x < frameWidth; ++x) {
                const std::uint8_t* p = &frame[std::size_t(y) * bytesPerRow + 4 * std::size_t(x)];
                for (int c = 0; c < 3; ++c)
                    if (std::abs(int(p[c]) - int(background >> (8 * c) & 0xff)) > 2)
                        QFAIL(qPrintable(QStringLiteral("pixel %1, %2, channel %3").arg(x).arg(y).arg(c)));
                QCOMPARE(int(p[3]), 255);
            }
    }

    // Averaged with each source pixel weighed by the part of it inside the frame
    // pixel, the visible share and the colour of the visible part.
    void averageVisibleWeighsAreas_data()
    {
        QTest::addColumn<int>("sourceWidth");
        QTest::addColumn<std::vector<std::uint32_t>>("source"); // one row, premultiplied 0xAARRGGBB
        QTest::addColumn<std::vector<std::uint32_t>>("expected"); // one row: share and visible colour
        using V = std::vector<std::uint32_t>;
        QTest::newRow("same size divides") << 2 << V { 0x80402010, 0xff102030 } << V { 0x80804020, 0xff102030 };
        QTest::newRow("halves") << 4 << V { 0xff204060, 0x00000000, 0xffffffff, 0xffffffff }
                                << V { 0x80204060, 0xffffffff };
        QTest::newRow("a third of a pixel at the edges")
            << 3 << V { 0xff300000, 0x00000000, 0xff000030 } << V { 0xaa300000, 0xaa000030 };
        QTest::newRow("nothing visible is black") << 2 << V { 0x00000000, 0x00000000 } << V { 0x00000000 };
        // Rounded premultiplied first (green 20 of share 51), the green would come back as 0x64.
        QTest::newRow("little visible keeps its colour")
            << 5 << V { 0x00000000, 0x00000000, 0x00000000, 0x7f193366, 0x00000000 } << V { 0x00000000, 0x333266cd };
        // The server's passes may round a colour a step above its share: it stays white, not wraps to black.
        QTest::newRow("a colour above its share stays white") << 1 << V { 0x40410000 } << V { 0x40ff0000 };
    }
    void averageVisibleWeighsAreas()
    {
        QFETCH(int, sourceWidth);
        QFETCH(std::vector<std::uint32_t>, source);
        QFETCH(std::vector<std::uint32_t>, expected);
        const int frameWidth = static_cast<int>(expected.size());
        std::vector<std::uint32_t> frame(expected.size(), 0xeeeeeeee);
        x11::averageVisible({ reinterpret_cast<const std::uint8_t*>(source.data()), 1, sourceWidth, 4 * source.size() },
            { reinterpret_cast<std::uint8_t*>(frame.data()), 1, frameWidth, 4 * frame.size() });
        for (std::size_t i = 0; i < expected.size(); ++i)
            QCOMPARE(QString::number(frame[i], 16), QString::number(expected[i], 16));
    }
};

QTEST_GUILESS_MAIN(TestScreenCapture)
#include "tst_screencapture.moc"
