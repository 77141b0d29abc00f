// The pieces of X11 capture, each alone, against the real X server of the
// test services (Xvfb with jwm): the server-side scaling passes, the damage
// tracker and the exclusion of an application's windows.

#include "platform/media/image_scaler.h"
#include "platform/screencapture/x11/damage_tracker.h"
#include "platform/screencapture/x11/scaling_pipeline.h"
#include "platform/screencapture/x11/shared_image.h"
#include "platform/screencapture/x11/window_exclusion.h"
#include "platform/screencapture/x11/x11_connection.h"
#include "support/x_test_display.h"

#include <QTest>

#include <xcb/damage.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace corvex;
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

class TestX11Pieces final : public QObject {
    Q_OBJECT

    std::unique_ptr<test::XTestDisplay> m_x;
    std::unique_ptr<Connection> m_connection;
    xcb_render_pictformat_t m_rgb24 = 0;
    xcb_render_pictformat_t m_argb32 = 0;
    xcb_render_picture_t m_root = 0;

    // A window over the screen's top left painted with blocks of patternColour.
    xcb_window_t paintedWindow(int width, int height, int block)
    {
        const xcb_window_t window = m_x->createWindow(0, 0, width, height, true, "Pattern", 1);
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

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X server (scripts/test-services starts one)");
        m_x = std::make_unique<test::XTestDisplay>();
        QVERIFY(m_x->isOpen());
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

    void cleanupTestCase()
    {
        if (m_connection)
            xcb_render_free_picture(m_connection->get(), m_root);
    }

    // Whatever the sizes, the passes end at the frame's size, and the last one
    // never has more than 2 × 2 source pixels to average (its box is 2 × 2).
    void stagesEndAtTheFrameAndLeaveTheBoxLittle_data()
    {
        QTest::addColumn<int>("sourceWidth");
        QTest::addColumn<int>("sourceHeight");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("passes");
        QTest::addRow("1080p to 100 × 56") << 1920 << 1080 << 100 << 56 << 5;
        QTest::addRow("4K to 100 × 56") << 3840 << 2160 << 100 << 56 << 6;
        QTest::addRow("odd sizes") << 1111 << 999 << 7 << 5 << 8;
        QTest::addRow("only rows shrink") << 1920 << 1080 << 1920 << 10 << 7;
        QTest::addRow("just under twice") << 199 << 111 << 100 << 56 << 1;
        QTest::addRow("same size") << 640 << 480 << 640 << 480 << 1;
        QTest::addRow("enlarging") << 50 << 28 << 100 << 56 << 1;
    }
    void stagesEndAtTheFrameAndLeaveTheBoxLittle()
    {
        QFETCH(int, sourceWidth);
        QFETCH(int, sourceHeight);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, passes);
        const std::vector<ScalingStage> stages = planScalingStages(sourceWidth, sourceHeight, width, height);
        QCOMPARE(int(stages.size()), passes);
        QCOMPARE(stages.back().width, width);
        QCOMPARE(stages.back().height, height);
        QVERIFY(stages.back().scaleX <= 2 && stages.back().scaleY <= 2);
        QCOMPARE(stages.back().box, stages.back().scaleX > 1 || stages.back().scaleY > 1);
        int w = sourceWidth, h = sourceHeight;
        for (std::size_t i = 0; i + 1 < stages.size(); ++i) {
            // Halving passes: each halves one side or both, exactly (the bilinear filter averages 2 × 2).
            const ScalingStage& stage = stages[i];
            QVERIFY(stage.scaleX == 2 || (stage.scaleX == 1 && stage.scaleY == 2));
            QVERIFY(stage.scaleY == 2 || stage.scaleY == 1);
            QCOMPARE(stage.width, w / int(stage.scaleX));
            QCOMPARE(stage.height, h / int(stage.scaleY));
            w = stage.width;
            h = stage.height;
        }
        QCOMPARE(stages.back().scaleX, double(w) / width);
        QCOMPARE(stages.back().scaleY, double(h) / height);
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
        // Halvings alone average exactly; a last pass of another ratio leans a little to one side.
        QTest::addRow("800 × 600 to 100 × 75") << 800 << 600 << 100 << 75 << 8 << 0.5;
        QTest::addRow("1920 × 1080 to 100 × 56") << 1920 << 1080 << 100 << 56 << 160 << 3.0;
        QTest::addRow("640 × 480 to 33 × 25") << 640 << 480 << 33 << 25 << 80 << 10.0;
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
            QVERIFY(pipeline.readBack(image));
            // The passes approximate the average (a pixel across block edges may lean to one side), closely.
            double error = 0;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (i % 4 == 3)
                    continue;
                const int difference = std::abs(int(image.pixels()[i]) - int(expected[i]));
                error += difference;
            }
            error /= double(expected.size() / 4 * 3);
            QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
        }
        m_x->destroy(window);
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
            QVERIFY(partial.readBack(image));
            const std::vector<std::uint8_t> afterPartial(image.pixels(), image.pixels() + width * height * 4);
            whole.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
            QVERIFY(whole.readBack(image));
            for (std::size_t i = 0; i < afterPartial.size(); ++i)
                if (i % 4 != 3 && afterPartial[i] != image.pixels()[i])
                    QFAIL(qPrintable(QStringLiteral("shifted by %1: pixel %2, %3 differs")
                                         .arg(shift)
                                         .arg((i / 4) % width)
                                         .arg((i / 4) / width)));
        }
        m_x->destroy(window);
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
        QVERIFY(pipeline.readBack(image));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                // The middle of each block, 50 × 50 frame pixels.
                std::uint32_t pixel = 0;
                std::memcpy(&pixel, image.pixels() + 4 * ((25 + 50 * y) * 200 + 25 + 50 * x), 4);
                QCOMPARE(pixel & 0xffffff, patternColour(200 + 100 * x, 300 + 100 * y));
            }
        m_x->destroy(window);
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
        QCOMPARE(int(measured.size()), 10);
        for (int i = 0; i < 10; ++i)
            QVERIFY2(std::abs(measured[std::size_t(i)] - coverage[std::size_t(i)]) <= 2,
                qPrintable(QStringLiteral("pixel %1: %2").arg(i).arg(measured[std::size_t(i)])));
        QVERIFY(pipeline.readBack(image));
        const std::uint32_t colour = patternColour(0, 0);
        for (int i = 0; i < 10; ++i) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, image.pixels() + 4 * i, 4);
            // Premultiplied: the colour scaled by the share that was visible.
            for (int shift = 0; shift < 24; shift += 8) {
                const int expected = int((colour >> shift & 0xff) * std::uint32_t(coverage[std::size_t(i)]) / 255);
                QVERIFY2(std::abs(int(pixel >> shift & 0xff) - expected) <= 3,
                    qPrintable(QStringLiteral("pixel %1: %2").arg(i).arg(pixel, 6, 16)));
            }
        }
        m_x->destroy(window);
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
        const xcb_window_t window = m_x->createWindow(0, 0, 800, 600, true, "Canvas", 1);
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
        m_x->destroy(window);
    }

    // Windows of the left-out process show where nothing else covers them, in the display's pixels.
    void exclusionFindsVisibleWindows_data()
    {
        QTest::addColumn<Area>("display"); // in root coordinates
        QTest::addColumn<bool>("excepted");
        QTest::addColumn<bool>("coveredByOther");
        QTest::addColumn<std::vector<Area>>("expected");
        const Area screen { 0, 0, 1920, 1080 };
        QTest::addRow("alone") << screen << false << false << std::vector<Area> { { 100, 100, 400, 300 } };
        QTest::addRow("partly off an offset display")
            << Area { 300, 200, 1300, 800 } << false << false << std::vector<Area> { { 0, 0, 100, 100 } };
        QTest::addRow("excepted") << screen << true << false << std::vector<Area> {};
        QTest::addRow("its right half covered")
            << screen << false << true << std::vector<Area> { { 100, 100, 250, 300 } };
    }
    void exclusionFindsVisibleWindows()
    {
        QFETCH(Area, display);
        QFETCH(bool, excepted);
        QFETCH(bool, coveredByOther);
        QFETCH(std::vector<Area>, expected);
        const xcb_window_t own = m_x->createWindow(100, 100, 300, 200, true, "Left out", kExcludedProcess);
        QVERIFY(m_x->show(own));
        xcb_window_t other = 0;
        if (coveredByOther) {
            other = m_x->createWindow(250, 50, 400, 400, true, "Above", 1);
            QVERIFY(m_x->show(other));
        }
        WindowExclusion exclusion(*m_connection, { kExcludedProcess },
            excepted ? std::vector<std::uint32_t> { own } : std::vector<std::uint32_t> {}, display);
        const Area first = exclusion.update();
        QCOMPARE(exclusion.areas(), expected);
        QCOMPARE(first.isEmpty(), expected.empty());
        QCOMPARE(exclusion.region() != 0, !expected.empty());
        QVERIFY(exclusion.update().isEmpty()); // nothing moved since
        if (other)
            m_x->destroy(other);
        m_x->destroy(own);
    }

    // A window moving is noticed from the events; the area to draw again holds where it was and where it is.
    void exclusionFollowsAMovingWindow()
    {
        const xcb_window_t own = m_x->createWindow(100, 100, 200, 100, true, "Left out", kExcludedProcess);
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

QTEST_GUILESS_MAIN(TestX11Pieces)
#include "tst_x11_pieces.moc"
