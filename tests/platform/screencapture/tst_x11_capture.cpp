// X11 capture against the test X server (Xvfb with jwm) and sound server (PulseAudio with a null
// sink): its pieces one by one (scaling passes, damage, exclusion), and whole streams.

#include "platform/media/image_scaler.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/x11/damage_tracker.h"
#include "platform/screencapture/x11/scaling_pipeline.h"
#include "platform/screencapture/x11/shared_image.h"
#include "platform/screencapture/x11/window_exclusion.h"
#include "platform/screencapture/x11/x11_backend.h"
#include "platform/screencapture/x11/x11_connection.h"
#include "support/click_player.h"
#include "support/sound_server.h"
#include "support/stream_collector.h"
#include "support/x_test_display.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRect>
#include <QScopeGuard>
#include <QTest>

#include <pulse/pulseaudio.h>
#include <xcb/damage.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

using namespace corvex;
using namespace corvex::screencapture;
using namespace corvex::screencapture::x11;

namespace corvex::screencapture::x11 {
// How QCOMPARE shows an area.
char* toString(const Area& area)
{
    return QTest::toString(QStringLiteral("[%1, %2) × [%3, %4)").arg(area.x0).arg(area.x1).arg(area.y0).arg(area.y1));
}
} // namespace corvex::screencapture::x11

Q_DECLARE_METATYPE(Area)
Q_DECLARE_METATYPE(std::vector<Area>)

namespace {

std::uint32_t pixelAt(const SampleBuffer& frame, int x, int y)
{
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, frame.imageBuffer->baseAddress() + y * frame.imageBuffer->bytesPerRow() + 4 * x, 4);
    return pixel & 0xffffff;
}

std::int64_t status(const SampleBuffer& frame)
{
    return frame.frameInfo ? std::int64_t(frame.frameInfo->status) : -1;
}

// Block colours of the 5 × 5 test pattern, all different.
std::uint32_t blockColour(int column, int row)
{
    const std::uint32_t r = 20 + 50 * column, g = 20 + 50 * row, b = 220 - 20 * (column + row);
    return r << 16 | g << 8 | b;
}

bool near(std::uint32_t actual, std::uint32_t expected, int tolerance)
{
    for (int shift = 0; shift < 24; shift += 8)
        if (std::abs(int((actual >> shift) & 0xff) - int((expected >> shift) & 0xff)) > tolerance)
            return false;
    return true;
}

// Where a window's inside begins on the screen: its offsets and borders
// summed up through its parents (the window manager's frame among them), and
// whether it has a parent other than the root.
std::pair<QPoint, bool> onScreen(xcb_connection_t* c, xcb_window_t window)
{
    QPoint at;
    bool framed = false;
    for (xcb_window_t w = window;;) {
        const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
        const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
        if (!geometry || !tree)
            return { QPoint(-1, -1), false };
        at += QPoint(geometry->x + geometry->border_width, geometry->y + geometry->border_width);
        if (tree->parent == tree->root)
            return { at, framed };
        framed = true;
        w = tree->parent;
    }
}

StreamConfiguration configuration(int width, int height, bool withAudio)
{
    StreamConfiguration configuration;
    configuration.width = width;
    configuration.height = height;
    configuration.capturesAudio = withAudio;
    configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
    configuration.queueDepth = 5;
    return configuration;
}

struct Capture : test::CaptureRun {
    Capture(std::shared_ptr<CaptureBackend> backend, const ContentFilter& filter, int width, int height,
        bool withAudio = false)
        : CaptureRun(std::move(backend), filter, configuration(width, height, withAudio))
    {
    }

    /// The newest frame once, after a complete frame delivered as frame `after` or later,
    /// two idle frames in a row say that nothing is left to redraw.
    std::optional<SampleBuffer> settledFrame(std::size_t after = 0)
    {
        std::optional<SampleBuffer> found;
        collector->waitFor([&] {
            const auto& frames = collector->frames;
            std::size_t complete = after;
            while (complete < frames.size() && status(frames[complete].buffer) != 0)
                ++complete;
            const std::size_t size = frames.size();
            if (size >= complete + 3 && status(frames[size - 1].buffer) == 1 && status(frames[size - 2].buffer) == 1)
                found = frames.back().buffer;
            return found || !collector->errors.empty();
        });
        return found;
    }

    /// Lets `draw` change the screen and waits until the frames after it are idle again.
    bool settleAfter(const std::function<void()>& draw)
    {
        const std::size_t before = frameCount();
        draw();
        return collector->waitFor(
            [&] { return collector->frames.size() > before + 2 && status(collector->frames.back().buffer) == 1; });
    }
    SampleBuffer last()
    {
        std::lock_guard lock(collector->mutex);
        return collector->frames.back().buffer;
    }

    std::optional<SampleBuffer> firstCompleteFrame()
    {
        return frameWhere([](const SampleBuffer& frame) { return status(frame) == 0; }, 5000);
    }
};

Window windowWithID(std::uint32_t id)
{
    Window window;
    window.windowID = id;
    return window;
}

const Display kScreen { 1, 1920, 1080, { 0, 0, 1920, 1080 }, "screen" };

ContentFilter wholeScreen()
{
    return ContentFilter::forDisplay(kScreen, {}, {});
}

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() QSKIP("ThreadSanitizer cannot follow the fork that runs pactl, and slows timing")
#else
#define SKIP_UNDER_TSAN()
#endif
// Skips without a sound server; with `late`, gives the test a late default output or skips
// where the sound server cannot have one.
#define REQUIRE_SOUND(late)                                                                                            \
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))                                                                   \
        QSKIP("no sound server (scripts/test-services starts one)");                                                   \
    SKIP_UNDER_TSAN();                                                                                                 \
    std::optional<LateOutput> lateOutput;                                                                              \
    if (late) {                                                                                                        \
        lateOutput.emplace();                                                                                          \
        if (!lateOutput->unavailable().isEmpty())                                                                      \
            QSKIP(qPrintable(lateOutput->unavailable()));                                                              \
        QVERIFY2(lateOutput->isReady(), "the sound server cannot make a tunnel sink");                                 \
    }

std::optional<QString> pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// An output heard well after it renders, as a Bluetooth or network speaker is: a tunnel into
// the null sink with a fixed 300 ms latency, the default output while this exists.
class LateOutput {
public:
    LateOutput()
    {
        const std::optional<QString> server = test::soundServerName();
        if (server && test::isPipeWire(*server)) {
            m_unavailable = QStringLiteral("%1 neither tunnels into itself nor reports a sink's latency to whoever "
                                           "records its monitor")
                                .arg(*server);
            return;
        }
        m_defaultSink = pactl({ QStringLiteral("get-default-sink") });
        if (!m_defaultSink || m_defaultSink->isEmpty())
            return;
        m_module = pactl({ QStringLiteral("load-module"), QStringLiteral("module-tunnel-sink"),
            QStringLiteral("sink_name=corvex_late"), QStringLiteral("server=") + qEnvironmentVariable("PULSE_SERVER"),
            QStringLiteral("sink=") + *m_defaultSink, QStringLiteral("latency_msec=300"),
            QStringLiteral("format=float32le"), QStringLiteral("rate=48000"), QStringLiteral("channels=2") });
        m_ready = m_module && pactl({ QStringLiteral("set-default-sink"), QStringLiteral("corvex_late") });
    }
    ~LateOutput()
    {
        if (m_defaultSink && m_module)
            pactl({ QStringLiteral("set-default-sink"), *m_defaultSink });
        if (m_module)
            pactl({ QStringLiteral("unload-module"), *m_module });
    }
    LateOutput(const LateOutput&) = delete;
    LateOutput& operator=(const LateOutput&) = delete;
    bool isReady() const { return m_ready; }
    /// Why this sound server cannot have such an output; empty when it can.
    const QString& unavailable() const { return m_unavailable; }

private:
    std::optional<QString> m_defaultSink;
    std::optional<QString> m_module;
    bool m_ready = false;
    QString m_unavailable;
};

/// The indices of the sound server's recording streams that process `pid` holds.
QStringList recordingsOf(qint64 pid)
{
    QStringList found;
    QString current;
    const QString owner = QStringLiteral("application.process.id = \"%1\"").arg(pid);
    const QString listed = pactl({ QStringLiteral("list"), QStringLiteral("source-outputs") }).value_or(QString());
    for (const QString& line : listed.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("Source Output #")))
            current = line.mid(15).trimmed();
        else if (line.trimmed() == owner && !current.isEmpty())
            found.append(current);
    }
    return found;
}

/// Ends recording stream `index` of the sound server, as the user of a mixer can; true when it did.
bool endRecording(std::uint32_t index)
{
    struct Ending {
        bool answered = false;
        bool ended = false;
    } ending;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "corvex-test");
    pa_operation* operation = nullptr;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (!ending.answered) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && operation == nullptr)
                operation = pa_context_kill_source_output(
                    context, index,
                    [](pa_context*, int success, void* data) {
                        auto* e = static_cast<Ending*>(data);
                        e->answered = true;
                        e->ended = success != 0;
                    },
                    &ending);
            if (pa_mainloop_iterate(loop, 1, nullptr) < 0)
                break;
        }
    }
    if (operation != nullptr)
        pa_operation_unref(operation);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return ending.ended;
}

// A process id no window of the test display carries but ours.
constexpr std::uint32_t kExcludedProcess = 999'999;

// Colours that differ from block to block in every channel.
std::uint32_t patternColour(int x, int y)
{
    const auto r = std::uint32_t(x * 7 + y * 3) & 0xff, g = std::uint32_t(x * 2 + y * 11) & 0xff,
               b = std::uint32_t(255 - ((x + y) * 5 & 0xff));
    return r << 16 | g << 8 | b;
}

// Keeps reading events into `handle` until `done` or a deadline.
bool pumpUntil(Connection& connection, const std::function<void(const xcb_generic_event_t&)>& handle,
    const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        xcb_flush(connection.get());
        if (xcb_generic_event_t* event = xcb_poll_for_event(connection.get())) {
            handle(*event);
            std::free(event);
        } else {
            QTest::qWait(5);
        }
    }
    return true;
}

// The server's round trip: everything asked before it has been done.
void sync(xcb_connection_t* c)
{
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

} // namespace

class TestX11Capture final : public QObject {
    Q_OBJECT

    std::shared_ptr<CaptureBackend> m_backend;
    std::unique_ptr<test::XTestDisplay> m_x;
    std::vector<xcb_window_t> m_windows; // destroyed after each test

    xcb_window_t newWindow(
        int x, int y, int width, int height, bool overrideRedirect, const char* title, std::uint32_t pid)
    {
        return m_windows.emplace_back(m_x->createWindow(x, y, width, height, overrideRedirect, title, pid));
    }
    std::unique_ptr<Connection> m_connection;
    xcb_render_pictformat_t m_rgb24 = 0;
    xcb_render_pictformat_t m_argb32 = 0;
    xcb_render_picture_t m_root = 0;

    // A window over the screen's top left painted with blocks of patternColour.
    xcb_window_t paintedWindow(int width, int height, int block)
    {
        const xcb_window_t window = newWindow(0, 0, width, height, true, "Pattern", 1);
        m_x->paint(window, width, height, block, block, patternColour);
        if (!m_x->show(window))
            return 0;
        sync(m_x->connection());
        return window;
    }

    // What the studio's own area-averaging makes of the root's top left width × height.
    std::vector<std::uint8_t> averaged(SharedImage& image, int width, int height, int targetWidth, int targetHeight)
    {
        if (!image.reserve(std::size_t(width) * std::size_t(height) * 4)
            || !image.read(m_connection->root(), 0, 0, width, height))
            return {};
        std::vector<std::uint8_t> result(std::size_t(targetWidth) * std::size_t(targetHeight) * 4);
        media::scaleArgb8888({ image.pixels(), height, width, std::size_t(width) * 4 },
            { result.data(), targetHeight, targetWidth, std::size_t(targetWidth) * 4 });
        return result;
    }

    // The frame the passes make, width × height pixels packed; empty when the server did not answer.
    static std::vector<std::uint8_t> frameOf(
        ScalingPipeline& pipeline, SharedImage& image, const std::vector<std::uint8_t>* coverage = nullptr)
    {
        std::vector<std::uint8_t> frame(std::size_t(pipeline.width()) * std::size_t(pipeline.height()) * 4);
        if (!pipeline.readFrame(image, coverage,
                { frame.data(), pipeline.height(), pipeline.width(), std::size_t(pipeline.width()) * 4 }))
            return {};
        return frame;
    }

    /// A shown window of one colour; override-redirect (placed exactly) unless `managed`. 0 when not shown.
    xcb_window_t shown(int x, int y, int width, int height, bool managed, const char* title, std::uint32_t colour,
        std::uint32_t pid = std::uint32_t(getppid()))
    {
        const xcb_window_t window = newWindow(x, y, width, height, !managed, title, pid);
        m_x->paint(window, width, height, width, height, [&](int, int) { return colour; });
        return m_x->show(window) ? window : 0;
    }
    /// Compares `frame` with the first frame of a fresh capture of `filter`, pixel by pixel.
    void compareWithAFreshCapture(const SampleBuffer& frame, const ContentFilter& filter, int height, int tolerance)
    {
        Capture fresh(m_backend, filter, 100, height);
        const std::optional<SampleBuffer> full = fresh.firstCompleteFrame();
        QVERIFY(full);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 100; ++x)
                if (!near(pixelAt(frame, x, y), pixelAt(*full, x, y), tolerance))
                    QFAIL(qPrintable(QStringLiteral("pixel %1, %2").arg(x).arg(y)));
    }

private Q_SLOTS:
    void cleanup()
    {
        for (const xcb_window_t window : m_windows)
            m_x->destroy(window);
        m_windows.clear();
    }
    void initTestCase()
    {
        test::selectSoundServer();
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X server (scripts/test-services starts one)");
        m_x = std::make_unique<test::XTestDisplay>();
        QVERIFY(m_x->isOpen());
        auto created = X11Backend::create();
        QVERIFY2(created, created.error.localizedDescription.c_str());
        m_backend = std::move(*created.value);
        auto opened = Connection::open(nullptr);
        QVERIFY2(opened, opened.error.c_str());
        m_connection = std::move(*opened.value);
        xcb_connection_t* c = m_connection->get();
        // As capture does, and must: the server refuses damage and regions to a client that did not ask first.
        std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
        const xcb_render_query_pict_formats_reply_t* formats = xcb_render_util_query_formats(c);
        QVERIFY(formats);
        m_rgb24 = xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_RGB_24)->id;
        m_argb32 = xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_ARGB_32)->id;
        const xcb_render_pictvisual_t* visual
            = xcb_render_util_find_visual_format(formats, m_connection->screen()->root_visual);
        QVERIFY(visual);
        m_root = xcb_generate_id(c);
        const std::uint32_t values[] = { XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS };
        xcb_render_create_picture(
            c, m_root, m_connection->root(), visual->format, XCB_RENDER_CP_SUBWINDOW_MODE, values);
    }

    void listsMonitorsAndWindows()
    {
        const xcb_window_t foreign = newWindow(10, 10, 320, 200, false, "Corvex listed", getppid());
        const xcb_window_t own = newWindow(10, 10, 200, 100, false, "Corvex own", getpid());
        const xcb_window_t older = newWindow(10, 10, 200, 100, false, "", getppid());
        m_x->useOldTitle(older, "Corvex old title");
        QVERIFY(m_x->show(foreign));
        QVERIFY(m_x->show(own));
        QVERIFY(m_x->show(older));
        const ShareableContentResult result = m_backend->shareableContent(false, true);
        QVERIFY(result);
        QVERIFY(!result.value->displays.empty());
        QCOMPARE(result.value->displays.front().width, 1920);
        bool sawForeign = false, sawOwn = false, sawOlder = false;
        for (const Window& window : result.value->windows) {
            if (window.windowID == foreign) {
                sawForeign = true;
                QCOMPARE(window.title, std::optional<std::string>("Corvex listed"));
                QCOMPARE(window.frame.width, 320.0);
                QCOMPARE(window.frame.height, 200.0);
                // On the screen, not within the window manager's frame around it.
                const auto [at, framed] = onScreen(m_x->connection(), foreign);
                QVERIFY(framed);
                QCOMPARE(QPointF(window.frame.x, window.frame.y), QPointF(at));
                QVERIFY(window.owningApplication);
                QCOMPARE(window.owningApplication->bundleIdentifier, std::string("CorvexTest"));
                QCOMPARE(window.owningApplication->processID, std::int64_t(getppid()));
                QVERIFY(!window.owningApplication->applicationName.empty());
            }
            if (window.windowID == older) {
                sawOlder = true;
                QCOMPARE(window.title, std::optional<std::string>("Corvex old title"));
            }
            if (window.windowID == own) {
                sawOwn = true;
                QCOMPARE(window.owningApplication->bundleIdentifier, std::string(kOwnApplicationIdentifier));
            }
        }
        QVERIFY(sawForeign && sawOwn && sawOlder);
    }

    void checkerboardComesOutGrey_data()
    {
        QTest::addColumn<bool>("byWindow");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        for (auto [w, h] :
            { std::pair { 100, 75 }, { 64, 48 }, { 33, 25 }, { 7, 5 }, { 400, 300 }, { 533, 400 }, { 640, 480 } })
            QTest::addRow("window to %dx%d", w, h) << true << w << h;
        for (auto [w, h] : { std::pair { 100, 56 }, { 50, 28 }, { 960, 540 }, { 1280, 720 }, { 1111, 999 } })
            QTest::addRow("display to %dx%d", w, h) << false << w << h;
    }
    void checkerboardComesOutGrey()
    {
        QFETCH(bool, byWindow);
        QFETCH(int, width);
        QFETCH(int, height);
        // A managed 800 × 600 window, or one over the whole screen.
        const xcb_window_t window = byWindow ? newWindow(0, 0, 800, 600, false, "Checkerboard", getppid())
                                             : newWindow(0, 0, 1920, 1080, true, "Checkerboard", getppid());
        m_x->paintCheckerboard(window);
        QVERIFY(m_x->show(window));
        Capture capture(m_backend,
            byWindow ? ContentFilter::forDesktopIndependentWindow(windowWithID(window)) : wholeScreen(), width, height);
        const std::optional<SampleBuffer> frame = capture.firstCompleteFrame();
        QVERIFY(frame);
        QCOMPARE(frame->imageBuffer->width(), width);
        QCOMPARE(frame->imageBuffer->height(), height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (!near(pixelAt(*frame, x, y), 0x808080, 8))
                    QFAIL(qPrintable(QStringLiteral("pixel %1, %2 is not mid-grey").arg(x).arg(y)));
    }

    void windowKeepsItsColoursWhenCovered()
    {
        const xcb_window_t window = newWindow(0, 0, 800, 600, false, "Colours", getppid());
        m_x->paint(window, 800, 600, 160, 120, [](int x, int y) { return blockColour(x / 160, y / 120); });
        QVERIFY(m_x->show(window));
        const auto [left, top] = m_x->position(window);
        const xcb_window_t cover = newWindow(left + 100, top + 50, 600, 500, true, "Cover", getppid());
        m_x->paint(cover, 600, 500, 600, 500, [](int, int) { return 0x000000u; });
        for (bool covered : { false, true }) {
            if (covered) {
                QVERIFY(m_x->show(cover));
                m_x->raise(cover);
            }
            Capture capture(m_backend, ContentFilter::forDesktopIndependentWindow(windowWithID(window)), 100, 75);
            const std::optional<SampleBuffer> frame = capture.firstCompleteFrame();
            QVERIFY(frame);
            for (int row = 0; row < 5; ++row)
                for (int column = 0; column < 5; ++column)
                    QVERIFY2(near(pixelAt(*frame, column * 20 + 10, row * 15 + 7), blockColour(column, row), 2),
                        qPrintable(QStringLiteral("block %1,%2 covered %3").arg(column).arg(row).arg(covered)));
        }
    }

    void partialChangesGiveWhatAFullGrabGives_data()
    {
        QTest::addColumn<bool>("byWindow");
        QTest::addColumn<QByteArray>("scaling"); // CORVEX_X11_SCALING: who averages (the X server, or the studio)
        for (const char* scaling : { "server", "studio" }) {
            QTest::addRow("window, %s", scaling) << true << QByteArray(scaling);
            QTest::addRow("display, %s", scaling) << false << QByteArray(scaling);
        }
    }
    void partialChangesGiveWhatAFullGrabGives()
    {
        QFETCH(bool, byWindow);
        QFETCH(QByteArray, scaling);
        qputenv("CORVEX_X11_SCALING", scaling);
        const auto unset = qScopeGuard([] { qunsetenv("CORVEX_X11_SCALING"); });
        const xcb_window_t window = byWindow ? newWindow(0, 0, 800, 600, false, "Partial", getppid())
                                             : newWindow(0, 0, 1920, 1080, true, "Partial", getppid());
        m_x->paint(window, byWindow ? 800 : 1920, byWindow ? 600 : 1080, 160, 120,
            [](int x, int y) { return blockColour(x / 160 % 5, y / 120 % 5); });
        QVERIFY(m_x->show(window));
        const ContentFilter filter
            = byWindow ? ContentFilter::forDesktopIndependentWindow(windowWithID(window)) : wholeScreen();
        const int height = byWindow ? 75 : 56;
        Capture running(m_backend, filter, 100, height);
        QVERIFY(running.firstCompleteFrame());
        // Small changes at odd places, each grabbed on its own.
        const int changes[][4] = { { 333, 211, 50, 40 }, { 0, 0, 7, 3 }, { 790, 590, 10, 10 }, { 401, 5, 1, 1 } };
        for (const auto& change : changes)
            QVERIFY(
                running.settleAfter([&] { m_x->fill(window, change[0], change[1], change[2], change[3], 0xffffff); }));
        compareWithAFreshCapture(running.last(), filter, height, 1);
    }

    // After a whole change averaged here, a small one averaged by the server's passes must not
    // bring back what the passes held from before it.
    void averagingSwitchesBetweenServerAndStudio()
    {
        qunsetenv("CORVEX_X11_SCALING");
        const xcb_window_t window = shown(0, 0, 1920, 1080, false, "Switching", 0x000000);
        QVERIFY(window);
        Capture running(m_backend, wholeScreen(), 100, 56);
        QVERIFY(running.firstCompleteFrame());
        // A small change (the passes), the whole screen (here), a small change (the passes again).
        QVERIFY(running.settleAfter([&] { m_x->fill(window, 100, 100, 20, 20, 0xffffff); }));
        QVERIFY(running.settleAfter([&] {
            m_x->paint(
                window, 1920, 1080, 160, 120, [](int x, int y) { return blockColour(x / 160 % 5, y / 120 % 5); });
        }));
        QVERIFY(running.settleAfter([&] { m_x->fill(window, 1500, 900, 20, 20, 0xffffff); }));
        qputenv("CORVEX_X11_SCALING", "server");
        const auto unset = qScopeGuard([] { qunsetenv("CORVEX_X11_SCALING"); });
        compareWithAFreshCapture(running.last(), wholeScreen(), 56, 12);
    }

    void closingTheWindowStopsTheStream()
    {
        const xcb_window_t window = newWindow(0, 0, 200, 100, false, "Closing", getppid());
        QVERIFY(m_x->show(window));
        // No size asked for: the window's own.
        Capture capture(m_backend, ContentFilter::forDesktopIndependentWindow(windowWithID(window)), 0, 0);
        QVERIFY(capture.collector->waitFor([&] { return !capture.collector->frames.empty(); }));
        QCOMPARE(capture.collector->frames.front().buffer.imageBuffer->width(), 200);
        QCOMPARE(capture.collector->frames.front().buffer.imageBuffer->height(), 100);
        m_x->destroy(window);
        QVERIFY(capture.collector->waitFor([&] { return !capture.collector->errors.empty(); }));
        QCOMPARE(capture.collector->errors.front().code, CaptureError::ContentUnavailable);
        QVERIFY(capture.collector->errors.front().localizedDescription.find("closed") != std::string::npos);

        const SourceResult created = m_backend->createVideoSource(
            ContentFilter::forDesktopIndependentWindow(windowWithID(window)), StreamConfiguration {});
        QVERIFY(!created);
        QCOMPARE(created.error.code, CaptureError::ContentUnavailable);
    }

    // A display is captured only while its frame lies on the screen (not a monitor unplugged since it was listed).
    void displaysOffTheScreenAreRefused_data()
    {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<bool>("captured");
        QTest::newRow("the whole screen") << QRect(0, 0, 1920, 1080) << true;
        QTest::newRow("a quarter, to the edges") << QRect(960, 540, 960, 540) << true;
        QTest::newRow("one past the right edge") << QRect(961, 0, 960, 1080) << false;
        QTest::newRow("one past the bottom edge") << QRect(0, 541, 1920, 540) << false;
        QTest::newRow("left of the screen") << QRect(-1, 0, 100, 100) << false;
        QTest::newRow("above the screen") << QRect(0, -1, 100, 100) << false;
        QTest::newRow("no width") << QRect(0, 0, 0, 1080) << false;
        QTest::newRow("no height") << QRect(0, 0, 1920, 0) << false;
    }
    void displaysOffTheScreenAreRefused()
    {
        QFETCH(QRect, frame);
        QFETCH(bool, captured);
        const Display display { 2, frame.width(), frame.height(),
            { double(frame.x()), double(frame.y()), double(frame.width()), double(frame.height()) }, "listed" };
        const SourceResult created
            = m_backend->createVideoSource(ContentFilter::forDisplay(display, {}, {}), configuration(100, 56, false));
        QCOMPARE(bool(created), captured);
        if (!captured)
            QCOMPARE(created.error.code, CaptureError::ContentUnavailable);
    }

    // Our own window left out shows the background around it; a window above ours still shows.
    void leavesExcludedWindowsOut_data()
    {
        QTest::addColumn<bool>("excluded");
        QTest::addColumn<bool>("excepted");
        QTest::addColumn<bool>("managed"); // framed by the window manager
        QTest::addColumn<bool>("coveredByOther");
        QTest::addColumn<bool>("ownShows");
        QTest::newRow("left out") << true << false << false << false << false;
        QTest::newRow("left out with its frame") << true << false << true << false << false;
        QTest::newRow("not excluded") << false << false << false << false << true;
        QTest::newRow("framed, not excluded") << false << false << true << false << true;
        QTest::newRow("excepted") << true << true << false << false << true;
        QTest::newRow("another window above it") << true << false << false << true << false;
    }
    void leavesExcludedWindowsOut()
    {
        QFETCH(bool, excluded);
        QFETCH(bool, excepted);
        QFETCH(bool, managed);
        QFETCH(bool, coveredByOther);
        QFETCH(bool, ownShows);
        constexpr std::uint32_t background = 0x3366cc, own = 0xffffff, other = 0x20c040;
        const xcb_window_t backdrop = shown(0, 0, 1920, 1080, false, "Backdrop", background);
        const xcb_window_t ownWindow = shown(600, 300, 700, 400, managed, "Own", own, std::uint32_t(getpid()));
        QVERIFY(backdrop && ownWindow);
        m_x->raise(ownWindow);
        xcb_window_t otherWindow = 0;
        if (coveredByOther) {
            otherWindow = shown(800, 400, 300, 200, false, "Other", other);
            QVERIFY(otherWindow);
            m_x->raise(otherWindow);
        }
        RunningApplication self;
        self.processID = getpid();
        self.bundleIdentifier = kOwnApplicationIdentifier;
        const ContentFilter filter
            = ContentFilter::forDisplay(kScreen, excluded ? std::vector { self } : std::vector<RunningApplication> {},
                excepted ? std::vector { windowWithID(ownWindow) } : std::vector<Window> {});
        Capture capture(m_backend, filter, 100, 56);
        const std::optional<SampleBuffer> frame = capture.settledFrame(); // the window manager is done placing
        QVERIFY(frame);

        // 1920 / 100 = 19.2 screen pixels a frame pixel, 1080 / 56 = 19.3 a row.
        const auto [ownX, ownY] = m_x->position(ownWindow); // a window manager places framed windows itself
        const bool centreIsWhite = near(pixelAt(*frame, int((ownX + 350) / 19.2), int((ownY + 200) / 19.3)), own, 3);
        QCOMPARE(centreIsWhite, ownShows);
        // The own window spans frame pixels 31..67 × 15..36, the other one 41..57 × 20..31.
        if (coveredByOther)
            QVERIFY(near(pixelAt(*frame, 49, 26), other, 3));
        // Nothing of the own window shows, and around it the background; pixels left with
        // nothing visible under another window blend both neighbours.
        if (!ownShows)
            for (int y = 0; y < 56; ++y)
                for (int x = 0; x < 100; ++x) {
                    const std::uint32_t pixel = pixelAt(*frame, x, y);
                    const bool nearOwn = x >= 30 && x <= 68 && y >= 14 && y <= 37;
                    if (near(pixel, own, 40) || ((!coveredByOther || !nearOwn) && !near(pixel, background, 3)))
                        QFAIL(qPrintable(
                            QStringLiteral("pixel (%1, %2) is %3").arg(x).arg(y).arg(pixel, 6, 16, QLatin1Char('0'))));
                }
    }

    // An excluded window that moves stays left out; what it draws makes no new frame.
    void excludedWindowsMovingAndDrawing()
    {
        constexpr std::uint32_t background = 0x995522;
        const xcb_window_t backdrop = shown(0, 0, 1920, 1080, false, "Backdrop", background);
        const xcb_window_t ownWindow = shown(100, 100, 500, 300, false, "Own", 0xffffff, std::uint32_t(getpid()));
        QVERIFY(backdrop && ownWindow);
        RunningApplication self;
        self.processID = getpid();
        Capture capture(m_backend, ContentFilter::forDisplay(kScreen, { self }, {}), 100, 56);

        auto allBackground = [&](const std::optional<SampleBuffer>& frame) {
            for (int y = 0; frame && y < 56; ++y)
                for (int x = 0; x < 100; ++x)
                    if (!near(pixelAt(*frame, x, y), background, 3))
                        return false;
            return frame.has_value();
        };
        QVERIFY(allBackground(capture.settledFrame()));
        const std::size_t beforeMove = capture.frameCount();
        m_x->move(ownWindow, 1300, 700);
        QVERIFY(allBackground(capture.settledFrame(beforeMove)));

        const std::size_t before = capture.frameCount();
        for (int i = 0; i < 5; ++i) {
            m_x->fill(ownWindow, 10 * i, 10 * i, 200, 100, 0x00ff00u * std::uint32_t(i % 2));
            QTest::qWait(40);
        }
        QVERIFY(capture.collector->waitFor([&] { return capture.collector->frames.size() > before + 8; }));
        std::lock_guard lock(capture.collector->mutex);
        for (std::size_t i = before; i < capture.collector->frames.size(); ++i)
            QCOMPARE(status(capture.collector->frames[i].buffer), 1);
    }

    // Sound is stamped with when it is heard, from the very first buffer on, on a prompt
    // output and on one heard 300 ms later.
    void firstSoundIsStampedWhenHeard_data()
    {
        QTest::addColumn<bool>("late");
        QTest::newRow("prompt output") << false;
        QTest::newRow("late output") << true;
    }
    void firstSoundIsStampedWhenHeard()
    {
        QFETCH(bool, late);
        REQUIRE_SOUND(late);
        Capture capture(m_backend, wholeScreen(), 100, 56, true);
        QVERIFY(capture.collector->waitFor([&] { return capture.collector->audio.size() >= 12; }));
        std::lock_guard lock(capture.collector->mutex);
        const auto& audio = capture.collector->audio;
        // A late output's buffers arrive long before they are heard (the tunnel's 300 ms, less
        // what the sink had rendered); a prompt one's after, by at most a few fragments.
        const auto& newest = audio.back();
        const double ahead = newest.buffer.outputPresentationTimeStamp.seconds() - double(newest.arrival) / 1e9;
        qInfo("the newest buffer arrived %.1f ms before it is heard", ahead * 1e3);
        if (late)
            QVERIFY2(ahead > 0.15 && ahead < 2.5, qPrintable(QString::number(ahead)));
        else
            QVERIFY2(ahead > -0.15 && ahead < 0.01, qPrintable(QString::number(ahead)));
        // The first lies on the time line of those after it.
        const std::size_t later = 5;
        double samples = 0;
        for (std::size_t i = 0; i < later; ++i)
            samples += audio[i].buffer.audioBufferList()->frameCount;
        const double expected = audio[later].buffer.outputPresentationTimeStamp.seconds()
            - samples / audio[later].buffer.formatDescription->sampleRate;
        const double first = audio.front().buffer.outputPresentationTimeStamp.seconds();
        QVERIFY2(std::abs(first - expected) < 0.03, qPrintable(QString::number(first - expected)));
    }

    // The sound server ending the recording (a mixer, a sink going away) stops capture, saying so.
    void anEndedSoundRecordingStopsCapture()
    {
        REQUIRE_SOUND(false);
        Capture capture(m_backend, wholeScreen(), 100, 56, true);
        QVERIFY(capture.collector->waitFor([&] { return !capture.collector->audio.empty(); }));
        const QStringList ours = recordingsOf(QCoreApplication::applicationPid());
        QCOMPARE(ours.size(), 1);
        QVERIFY(endRecording(ours.front().toUInt()));
        QVERIFY(capture.collector->waitFor([&] { return !capture.collector->errors.empty(); }));
        std::lock_guard lock(capture.collector->mutex);
        const CaptureError& error = capture.collector->errors.front();
        QCOMPARE(error.code, CaptureError::ConnectionLost);
        QVERIFY2(
            error.localizedDescription.find("sound server") != std::string::npos, error.localizedDescription.c_str());
    }

    // A player's flash and its click land together on the record's time line.
    void flashAndClickShareATimeLine_data() { firstSoundIsStampedWhenHeard_data(); }
    void flashAndClickShareATimeLine()
    {
        QFETCH(bool, late);
        REQUIRE_SOUND(late);
        const xcb_window_t window = shown(0, 0, 1920, 1080, false, "Flash", 0x000000);
        QVERIFY(window);
        Capture capture(m_backend, wholeScreen(), 100, 56, true);
        QVERIFY(capture.collector->waitFor([&] { return capture.collector->audio.size() > 10; }));

        test::ClickPlayer player;
        QVERIFY2(player.isOpen(), player.error().c_str());
        double painted = 0;
        const std::optional<double> audible = player.playClick([&] {
            m_x->paint(window, 1920, 1080, 1920, 1080, [](int, int) { return 0xffffffu; });
            sync(m_x->connection());
            painted = hostTimeNow().seconds();
        });
        QVERIFY2(audible, player.error().c_str());

        // The flash is stamped when first grabbed, the frame before it when the screen was last
        // seen dark. On a busy machine grabs come late and the server paints late: the click lies
        // between the two, the dark frame's side widened by how late the paint was done.
        std::optional<double> dark, flash, sound;
        QVERIFY(capture.collector->waitFor([&] {
            for (const auto& delivery : capture.collector->frames) {
                if (flash)
                    break;
                const double at = delivery.buffer.outputPresentationTimeStamp.seconds();
                if (status(delivery.buffer) == 0 && pixelAt(delivery.buffer, 50, 28) == 0xffffffu)
                    flash = at;
                else
                    dark = at;
            }
            std::vector<SampleBuffer> audio;
            for (const auto& delivery : capture.collector->audio)
                audio.push_back(delivery.buffer);
            sound = test::ClickPlayer::clickIn(audio);
            return flash && sound;
        }));
        QVERIFY(dark);
        qInfo("player latency %.3f s; painted %.3f s, last dark frame %.3f s, flash %.3f s and click %.3f s after the "
              "click became audible",
            player.latency(), painted - *audible, *dark - *audible, *flash - *audible, *sound - *audible);
        // Within two frames at 30 per second of that span.
        QVERIFY(*dark - 0.07 < *sound + (painted - *audible) && *sound < *flash + 0.07);
    }

    // The passes halve exactly, down to no less than the frame; a source that does not halve
    // takes one pass to the frame, its box no more than 2 × 2.
    void passesHalveExactly_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<int>("passes");
        QTest::addColumn<QSize>("last");
        QTest::addRow("1080p to 100 × 56") << QSize(1920, 1080) << QSize(100, 56) << 4 << QSize(120, 135);
        QTest::addRow("4K to 100 × 56") << QSize(3840, 2160) << QSize(100, 56) << 5 << QSize(120, 135);
        QTest::addRow("odd sizes halve once") << QSize(1111, 999) << QSize(7, 5) << 1 << QSize(555, 499);
        QTest::addRow("only rows shrink") << QSize(1920, 1080) << QSize(1920, 10) << 3 << QSize(1920, 135);
        QTest::addRow("powers of two") << QSize(640, 256) << QSize(5, 2) << 6 << QSize(10, 4);
        QTest::addRow("just under twice") << QSize(199, 111) << QSize(100, 56) << 1 << QSize(100, 56);
        QTest::addRow("same size") << QSize(640, 480) << QSize(640, 480) << 1 << QSize(640, 480);
        QTest::addRow("enlarging") << QSize(50, 28) << QSize(100, 56) << 1 << QSize(100, 56);
    }
    void passesHalveExactly()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, frame);
        QFETCH(int, passes);
        QFETCH(QSize, last);
        const std::vector<ScalingStage> stages
            = planScalingStages(source.width(), source.height(), frame.width(), frame.height());
        QCOMPARE(int(stages.size()), passes);
        QCOMPARE(QSize(stages.back().width, stages.back().height), last);
        QVERIFY(stages.back().width >= frame.width() && stages.back().height >= frame.height());
        const ScalingStage& first = stages.front();
        if (first.scaleX < 2 && first.scaleY < 2) {
            // The one pass to the frame.
            QCOMPARE(passes, 1);
            QCOMPARE(first.scaleX, double(source.width()) / frame.width());
            QCOMPARE(first.scaleY, double(source.height()) / frame.height());
            QCOMPARE(first.box, first.scaleX > 1 || first.scaleY > 1);
        } else {
            int w = source.width(), h = source.height();
            for (std::size_t i = 0; i < stages.size(); ++i) {
                const ScalingStage& stage = stages[i];
                QVERIFY(!stage.box);
                QVERIFY(stage.scaleX == 2 || (stage.scaleX == 1 && stage.scaleY == 2));
                QVERIFY(stage.scaleY == 2 || stage.scaleY == 1);
                // An odd side halves only in the first pass (its last source line left out, no more).
                QVERIFY(i == 0 || (w % int(stage.scaleX) == 0 && h % int(stage.scaleY) == 0));
                QCOMPARE(stage.width, w / int(stage.scaleX));
                QCOMPARE(stage.height, h / int(stage.scaleY));
                w = stage.width;
                h = stage.height;
            }
        }
        QVERIFY(planScalingStages(0, 10, 5, 5).empty());
        QVERIFY(planScalingStages(10, 10, 5, 0).empty());
    }

    // The server's passes come close to the exact area average of the studio's own scaler.
    void passesAverageAreas_data()
    {
        QTest::addColumn<int>("sourceWidth");
        QTest::addColumn<int>("sourceHeight");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("block");
        QTest::addColumn<double>("tolerance"); // mean difference per channel
        // Exact halvings, then the exact average here: only the rounding of each halving differs.
        QTest::addRow("800 × 600 to 100 × 75") << 800 << 600 << 100 << 75 << 8 << 0.5;
        QTest::addRow("1920 × 1080 to 100 × 56") << 1920 << 1080 << 100 << 56 << 160 << 0.5;
        QTest::addRow("640 × 480 to 33 × 25") << 640 << 480 << 33 << 25 << 80 << 0.5;
        // (An odd side's last line is left out: the frame's grid moves by up to one source pixel.)
        QTest::addRow("1279 × 719 to 100 × 56") << 1279 << 719 << 100 << 56 << 80 << 1.5;
        QTest::addRow("same size") << 320 << 200 << 320 << 200 << 1 << 0.5;
    }
    void passesAverageAreas()
    {
        QFETCH(int, sourceWidth);
        QFETCH(int, sourceHeight);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, block);
        QFETCH(double, tolerance);
        const xcb_window_t window = paintedWindow(sourceWidth, sourceHeight, block);
        QVERIFY(window);
        SharedImage image(*m_connection);
        const std::vector<std::uint8_t> expected = averaged(image, sourceWidth, sourceHeight, width, height);
        QVERIFY(!expected.empty());
        ScalingPipeline pipeline(*m_connection, m_rgb24, 0);
        pipeline.build(sourceWidth, sourceHeight, width, height);
        pipeline.attachSource(m_root, 0, 0);
        // Twice: what the passes were told once holds for every frame.
        for (int round = 0; round < 2; ++round) {
            pipeline.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
            const std::vector<std::uint8_t> frame = frameOf(pipeline, image);
            QCOMPARE(frame.size(), expected.size());
            double error = 0;
            for (std::size_t i = 0; i < expected.size(); ++i)
                error += i % 4 == 3 ? 0 : std::abs(int(frame[i]) - int(expected[i]));
            error /= double(expected.size() / 4 * 3);
            QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
        }
    }

    // A picture between black bars: frame pixels wholly in a bar read pure black, those wholly
    // inside the picture its colour.
    void barsStayBlack_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QRect>("picture");
        QTest::addRow("letterbox 2.39:1 in 1920 × 1080") << QSize(1920, 1080) << QRect(0, 138, 1920, 803);
        QTest::addRow("pillarbox 4:3 in 1920 × 1080") << QSize(1920, 1080) << QRect(240, 0, 1440, 1080);
        QTest::addRow("letterbox in 1366 × 768") << QSize(1366, 768) << QRect(0, 98, 1366, 572);
        QTest::addRow("letterbox in odd 1279 × 719") << QSize(1279, 719) << QRect(0, 92, 1279, 535);
        QTest::addRow("boxed in 1280 × 720") << QSize(1280, 720) << QRect(160, 90, 960, 540);
    }
    void barsStayBlack()
    {
        QFETCH(QSize, source);
        QFETCH(QRect, picture);
        const int sourceWidth = source.width(), sourceHeight = source.height();
        const int width = 100, height = 100 * sourceHeight / sourceWidth;
        constexpr std::uint32_t kColour = 0xe0c0a0;
        const xcb_window_t window = newWindow(0, 0, sourceWidth, sourceHeight, true, "Bars", 1);
        const int blockWidth = std::gcd(std::gcd(picture.left(), picture.right() + 1), sourceWidth);
        const int blockHeight = std::gcd(std::gcd(picture.top(), picture.bottom() + 1), sourceHeight);
        m_x->paint(window, sourceWidth, sourceHeight, blockWidth, blockHeight,
            [&](int x, int y) { return picture.contains(x, y) ? kColour : 0; });
        QVERIFY(m_x->show(window));
        sync(m_x->connection());
        ScalingPipeline pipeline(*m_connection, m_rgb24, 0);
        pipeline.build(sourceWidth, sourceHeight, width, height);
        pipeline.attachSource(m_root, 0, 0);
        pipeline.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
        SharedImage image(*m_connection);
        const std::vector<std::uint8_t> frame = frameOf(pipeline, image);
        QCOMPARE(frame.size(), std::size_t(width * height * 4));
        int bars = 0, inside = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                // The frame pixel's source area, one source pixel wider on each side (an odd side's last line
                // is left out, which moves the frame's grid by less than that).
                const double x0 = double(x) * sourceWidth / width - 1, x1 = double(x + 1) * sourceWidth / width + 1;
                const double y0 = double(y) * sourceHeight / height - 1, y1 = double(y + 1) * sourceHeight / height + 1;
                const bool inBar = x1 <= picture.left() || x0 >= picture.right() + 1 || y1 <= picture.top()
                    || y0 >= picture.bottom() + 1;
                const bool inPicture = x0 >= picture.left() && x1 <= picture.right() + 1 && y0 >= picture.top()
                    && y1 <= picture.bottom() + 1;
                if (!inBar && !inPicture)
                    continue;
                const std::uint8_t* pixel = frame.data() + 4 * (std::size_t(y) * std::size_t(width) + std::size_t(x));
                for (int c = 0; c < 3; ++c) {
                    const int expected = inBar ? 0 : int(kColour >> (8 * c) & 0xff);
                    if (std::abs(pixel[c] - expected) > (inBar ? 0 : 1))
                        QFAIL(qPrintable(QStringLiteral("frame pixel %1, %2, channel %3").arg(x).arg(y).arg(c)));
                }
                ++(inBar ? bars : inside);
            }
        QVERIFY(bars > 0 && inside > 0);
    }

    // Rendering only what changed leaves the frame as rendering everything does.
    void changedAreaRendersLikeTheWhole_data()
    {
        QTest::addColumn<Area>("change");
        QTest::addColumn<QSize>("frame");
        const QSize small(100, 56), large(1500, 700);
        QTest::addRow("one pixel in the middle") << Area { 517, 301, 518, 302 } << small;
        QTest::addRow("top left corner") << Area { 0, 0, 40, 30 } << small;
        QTest::addRow("bottom right corner") << Area { 900, 500, 960, 540 } << small;
        QTest::addRow("a thin column") << Area { 333, 0, 334, 540 } << small;
        QTest::addRow("a wide band") << Area { 0, 200, 960, 261 } << small;
        QTest::addRow("one pixel, enlarged") << Area { 517, 301, 518, 302 } << large;
        QTest::addRow("a thin column, enlarged") << Area { 333, 0, 334, 540 } << large;
    }
    void changedAreaRendersLikeTheWhole()
    {
        QFETCH(Area, change);
        QFETCH(QSize, frame);
        const int sourceWidth = 960, sourceHeight = 540, width = frame.width(), height = frame.height();
        const xcb_window_t window = paintedWindow(sourceWidth, sourceHeight, 4);
        QVERIFY(window);
        ScalingPipeline partial(*m_connection, m_rgb24, 0);
        partial.build(sourceWidth, sourceHeight, width, height);
        partial.attachSource(m_root, 0, 0);
        partial.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
        ScalingPipeline whole(*m_connection, m_rgb24, 0);
        whole.build(sourceWidth, sourceHeight, width, height);
        whole.attachSource(m_root, 0, 0);
        SharedImage image(*m_connection);
        // The same change at every phase of the passes (8 source pixels make one of the last pass's).
        for (int shift = 0; shift < 48; shift += 7) {
            const Area moved = intersect({ change.x0 + shift, change.y0 + shift, change.x1 + shift, change.y1 + shift },
                { 0, 0, sourceWidth, sourceHeight });
            m_x->fill(window, moved.x0, moved.y0, moved.x1 - moved.x0, moved.y1 - moved.y0,
                0xffffff - std::uint32_t(shift) * 0x030201);
            sync(m_x->connection());
            partial.render(m_root, moved, {});
            const std::vector<std::uint8_t> afterPartial = frameOf(partial, image);
            whole.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
            const std::vector<std::uint8_t> afterWhole = frameOf(whole, image);
            QCOMPARE(afterPartial.size(), std::size_t(width * height * 4));
            QCOMPARE(afterWhole.size(), afterPartial.size());
            for (std::size_t i = 0; i < afterPartial.size(); ++i)
                if (i % 4 != 3 && afterPartial[i] != afterWhole[i])
                    QFAIL(qPrintable(QStringLiteral("shifted by %1: pixel %2 differs").arg(shift).arg(i / 4)));
        }
    }

    // A captured area away from the root's corner: the first pass reads from where it starts.
    void passesReadFromTheAreasOrigin()
    {
        const xcb_window_t window = paintedWindow(800, 600, 100);
        QVERIFY(window);
        ScalingPipeline pipeline(*m_connection, m_rgb24, 0);
        pipeline.build(400, 200, 200, 100);
        pipeline.attachSource(m_root, 200, 300);
        pipeline.render(m_root, { 0, 0, 400, 200 }, {});
        SharedImage image(*m_connection);
        const std::vector<std::uint8_t> frame = frameOf(pipeline, image);
        QCOMPARE(frame.size(), std::size_t(200 * 100 * 4));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                // The middle of each block, 50 × 50 frame pixels.
                std::uint32_t pixel = 0;
                std::memcpy(&pixel, frame.data() + 4 * ((25 + 50 * y) * 200 + 25 + 50 * x), 4);
                QCOMPARE(pixel & 0xffffff, patternColour(200 + 100 * x, 300 + 100 * y));
            }
    }

    // Areas left out come out black, and the coverage says how much of each pixel they took.
    // (Sizes in powers of two, where every pass averages exactly.)
    void leftOutAreasAreBlackAndMeasured_data()
    {
        QTest::addColumn<std::vector<Area>>("excluded");
        QTest::addColumn<std::vector<int>>("coverage"); // of each of the 5 × 2 frame pixels, 128 × 128 source pixels
        QTest::addRow("nothing") << std::vector<Area> {} << std::vector<int>(10, 255);
        QTest::addRow("the left half") << std::vector<Area> { { 0, 0, 320, 256 } }
                                       << std::vector<int> { 0, 0, 128, 255, 255, 0, 0, 128, 255, 255 };
        QTest::addRow("a quarter of one pixel")
            << std::vector<Area> { { 0, 0, 64, 64 } }
            << std::vector<int> { 191, 255, 255, 255, 255, 255, 255, 255, 255, 255 };
        QTest::addRow("two areas") << std::vector<Area> { { 512, 0, 640, 128 }, { 0, 128, 128, 256 } }
                                   << std::vector<int> { 255, 255, 255, 255, 0, 0, 255, 255, 255, 255 };
    }
    void leftOutAreasAreBlackAndMeasured()
    {
        QFETCH(std::vector<Area>, excluded);
        QFETCH(std::vector<int>, coverage);
        const xcb_window_t window = paintedWindow(640, 256, 640);
        QVERIFY(window);
        ScalingPipeline pipeline(*m_connection, m_rgb24, m_argb32);
        pipeline.build(640, 256, 5, 2);
        pipeline.attachSource(m_root, 0, 0);
        pipeline.render(m_root, { 0, 0, 640, 256 }, excluded);
        SharedImage image(*m_connection);
        std::vector<std::uint8_t> measured;
        QVERIFY(pipeline.measureCoverage(excluded, image, measured));
        QCOMPARE(measured.size(), std::size_t(pipeline.passWidth() * pipeline.passHeight()));
        const std::vector<std::uint8_t> frame = frameOf(pipeline, image, &measured);
        QCOMPARE(frame.size(), std::size_t(10 * 4));
        const std::uint32_t colour = patternColour(0, 0);
        for (int i = 0; i < 10; ++i) {
            // The frame pixel's fourth byte: the share of its area that was visible.
            QVERIFY2(std::abs(frame[std::size_t(4 * i + 3)] - coverage[std::size_t(i)]) <= 2,
                qPrintable(QStringLiteral("pixel %1: %2").arg(i).arg(frame[std::size_t(4 * i + 3)])));
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, frame.data() + 4 * i, 4);
            // The colour of the visible part, black where nothing was.
            for (int shift = 0; shift < 24; shift += 8) {
                const int expected = coverage[std::size_t(i)] > 0 ? int(colour >> shift & 0xff) : 0;
                QVERIFY2(std::abs(int(pixel >> shift & 0xff) - expected) <= 3,
                    qPrintable(QStringLiteral("pixel %1: %2").arg(i).arg(pixel, 6, 16)));
            }
        }
    }

    // What was drawn is reported, in the captured area's pixels; what was not, or what does not count, is not.
    void damageReportsWhatWasDrawn_data()
    {
        QTest::addColumn<Area>("captured"); // in root coordinates
        QTest::addColumn<Area>("drawn"); // in root coordinates
        QTest::addColumn<bool>("ignoreDrawn");
        QTest::addColumn<Area>("expected"); // in captured pixels
        const Area screenTopLeft { 0, 0, 800, 600 };
        QTest::addRow("inside") << screenTopLeft << Area { 100, 50, 140, 70 } << false << Area { 100, 50, 140, 70 };
        QTest::addRow("inside an offset area")
            << Area { 200, 100, 600, 400 } << Area { 250, 150, 260, 160 } << false << Area { 50, 50, 60, 60 };
        QTest::addRow("across its edge") << Area { 200, 100, 600, 400 } << Area { 150, 350, 260, 450 } << false
                                         << Area { 0, 250, 60, 300 };
        QTest::addRow("outside") << Area { 200, 100, 600, 400 } << Area { 700, 500, 720, 520 } << false << Area {};
        QTest::addRow("where it does not count") << screenTopLeft << Area { 100, 50, 140, 70 } << true << Area {};
    }
    void damageReportsWhatWasDrawn()
    {
        QFETCH(Area, captured);
        QFETCH(Area, drawn);
        QFETCH(bool, ignoreDrawn);
        QFETCH(Area, expected);
        const xcb_window_t window = newWindow(0, 0, 800, 600, true, "Canvas", 1);
        QVERIFY(m_x->show(window));
        xcb_connection_t* c = m_connection->get();
        DamageTracker tracker(*m_connection, m_connection->root(), captured.x0, captured.y0);
        auto handle = [&](const xcb_generic_event_t& event) { tracker.handle(event); };
        const int width = captured.x1 - captured.x0, height = captured.y1 - captured.y0;
        QCOMPARE(tracker.take(width, height, 0), (Area { 0, 0, width, height })); // everything, at first
        QVERIFY(!tracker.hasChanges());
        // The server reports all of a new damage's window once, by itself: the whole area again.
        QVERIFY(pumpUntil(*m_connection, handle, [&] { return tracker.hasChanges(); }));
        QCOMPARE(tracker.take(width, height, 0), (Area { 0, 0, width, height }));
        sync(c); // the server has started afresh before anything is drawn
        const xcb_xfixes_region_t ignored = xcb_generate_id(c);
        const xcb_rectangle_t rectangle { std::int16_t(drawn.x0), std::int16_t(drawn.y0),
            std::uint16_t(drawn.x1 - drawn.x0), std::uint16_t(drawn.y1 - drawn.y0) };
        xcb_xfixes_create_region(c, ignored, ignoreDrawn ? 1 : 0, &rectangle);
        m_x->fill(window, drawn.x0, drawn.y0, drawn.x1 - drawn.x0, drawn.y1 - drawn.y0, 0x123456);
        QVERIFY(pumpUntil(*m_connection, handle, [&] { return tracker.hasChanges(); }));
        QCOMPARE(tracker.take(width, height, ignoreDrawn ? ignored : 0), expected);
        QVERIFY(!tracker.hasChanges());
        // Forced areas come on top of what was drawn, clipped.
        tracker.force({ -10, -10, 5, 5 });
        QVERIFY(tracker.hasChanges());
        QCOMPARE(tracker.take(width, height, 0), (Area { 0, 0, 5, 5 }));
        xcb_xfixes_destroy_region(c, ignored);
    }

    // Windows of the left-out process show where nothing else covers them, in the display's pixels.
    void exclusionFindsVisibleWindows_data()
    {
        QTest::addColumn<Area>("display"); // in root coordinates
        QTest::addColumn<bool>("excepted");
        QTest::addColumn<bool>("coveredByOther");
        QTest::addColumn<int>("border"); // of the left-out window, on each of its sides
        QTest::addColumn<std::vector<Area>>("expected");
        const Area screen { 0, 0, 1920, 1080 };
        QTest::addRow("alone") << screen << false << false << 0 << std::vector<Area> { { 100, 100, 400, 300 } };
        QTest::addRow("partly off an offset display")
            << Area { 300, 200, 1300, 800 } << false << false << 0 << std::vector<Area> { { 0, 0, 100, 100 } };
        QTest::addRow("excepted") << screen << true << false << 0 << std::vector<Area> {};
        QTest::addRow("its right half covered")
            << screen << false << true << 0 << std::vector<Area> { { 100, 100, 250, 300 } };
        QTest::addRow("with a one-pixel border")
            << screen << false << false << 1 << std::vector<Area> { { 100, 100, 402, 302 } };
    }
    void exclusionFindsVisibleWindows()
    {
        QFETCH(Area, display);
        QFETCH(bool, excepted);
        QFETCH(bool, coveredByOther);
        QFETCH(int, border);
        QFETCH(std::vector<Area>, expected);
        const xcb_window_t own = newWindow(100, 100, 300, 200, true, "Left out", kExcludedProcess);
        const std::uint32_t borderWidth = std::uint32_t(border);
        xcb_configure_window(m_x->connection(), own, XCB_CONFIG_WINDOW_BORDER_WIDTH, &borderWidth);
        QVERIFY(m_x->show(own));
        xcb_window_t other = 0;
        if (coveredByOther) {
            other = newWindow(250, 50, 400, 400, true, "Above", 1);
            QVERIFY(m_x->show(other));
        }
        WindowExclusion exclusion(*m_connection, { kExcludedProcess },
            excepted ? std::vector<std::uint32_t> { own } : std::vector<std::uint32_t> {}, display);
        const Area first = exclusion.update();
        QCOMPARE(exclusion.areas(), expected);
        QCOMPARE(first.isEmpty(), expected.empty());
        QCOMPARE(exclusion.region() != 0, !expected.empty());
        QVERIFY(exclusion.update().isEmpty()); // nothing moved since
    }

    // A window moving is noticed from the events; the area to draw again holds where it was and where it is.
    void exclusionFollowsAMovingWindow()
    {
        const xcb_window_t own = newWindow(100, 100, 200, 100, true, "Left out", kExcludedProcess);
        QVERIFY(m_x->show(own));
        WindowExclusion exclusion(*m_connection, { kExcludedProcess }, {}, { 0, 0, 1920, 1080 });
        QCOMPARE(exclusion.update(), (Area { 100, 100, 300, 200 }));
        m_x->move(own, 500, 400);
        Area moved;
        QVERIFY(pumpUntil(
            *m_connection, [&](const xcb_generic_event_t& event) { exclusion.handle(event); },
            [&] { return !(moved = exclusion.update()).isEmpty(); }));
        QCOMPARE(moved, (Area { 100, 100, 700, 500 }));
        QCOMPARE(exclusion.areas(), (std::vector<Area> { { 500, 400, 700, 500 } }));
        m_x->destroy(own);
        QVERIFY(pumpUntil(
            *m_connection, [&](const xcb_generic_event_t& event) { exclusion.handle(event); },
            [&] { return !exclusion.update().isEmpty(); }));
        QVERIFY(exclusion.areas().empty());
        QCOMPARE(exclusion.region(), xcb_xfixes_region_t(0));
    }

    // The message a user without a display gets names the display that was tried.
    void openingAMissingDisplaySaysWhich_data()
    {
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QString>("named");
        QTest::newRow("a display nobody serves") << QByteArray(":4999") << "(DISPLAY=:4999)";
        QTest::newRow("no display set") << QByteArray() << "(DISPLAY is not set)";
    }

    void openingAMissingDisplaySaysWhich()
    {
        QFETCH(QByteArray, display);
        QFETCH(QString, named);
        const QByteArray saved = qgetenv("DISPLAY");
        if (display.isEmpty())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", display);
        const auto opened = Connection::open(nullptr);
        qputenv("DISPLAY", saved);
        QVERIFY(!opened);
        const QString message = QString::fromStdString(opened.error);
        QVERIFY2(message.contains(QStringLiteral("no X display could be opened")) && message.contains(named),
            qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TestX11Capture)
#include "tst_x11_capture.moc"
