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

#include <QRect>
#include <QTest>

#include <xcb/damage.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
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

    // The server's passes halve exactly: no pass pixel blends source pixels
    // from outside its own block, and no block of lines is left out at the end.
    // The last pass stays at least the frame's size. A source that does not
    // halve takes one pass to the frame, its box no more than 2 × 2.
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
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (i % 4 == 3)
                    continue;
                const int difference = std::abs(int(frame[i]) - int(expected[i]));
                error += difference;
            }
            error /= double(expected.size() / 4 * 3);
            QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
        }
        m_x->destroy(window);
    }

    // A picture between black bars: every frame pixel whose area lies wholly in
    // a bar reads pure black, and every one wholly inside the picture reads the
    // picture's colour, as an exact area average has it (the live road's frames
    // must show a letterboxed film's bars as its file shows them).
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
        const xcb_window_t window = m_x->createWindow(0, 0, sourceWidth, sourceHeight, true, "Bars", 1);
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
                        QFAIL(qPrintable(QStringLiteral("frame pixel %1, %2 (%3): channel %4 is %5, not %6")
                                             .arg(x)
                                             .arg(y)
                                             .arg(inBar ? "bar" : "picture")
                                             .arg(c)
                                             .arg(pixel[c])
                                             .arg(expected)));
                }
                ++(inBar ? bars : inside);
            }
        QVERIFY(bars > 0 && inside > 0);
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
            const std::vector<std::uint8_t> afterPartial = frameOf(partial, image);
            whole.render(m_root, { 0, 0, sourceWidth, sourceHeight }, {});
            const std::vector<std::uint8_t> afterWhole = frameOf(whole, image);
            QCOMPARE(afterPartial.size(), std::size_t(width * height * 4));
            QCOMPARE(afterWhole.size(), afterPartial.size());
            for (std::size_t i = 0; i < afterPartial.size(); ++i)
                if (i % 4 != 3 && afterPartial[i] != afterWhole[i])
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
        const std::vector<std::uint8_t> frame = frameOf(pipeline, image);
        QCOMPARE(frame.size(), std::size_t(200 * 100 * 4));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                // The middle of each block, 50 × 50 frame pixels.
                std::uint32_t pixel = 0;
                std::memcpy(&pixel, frame.data() + 4 * ((25 + 50 * y) * 200 + 25 + 50 * x), 4);
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
        const xcb_window_t own = m_x->createWindow(100, 100, 300, 200, true, "Left out", kExcludedProcess);
        const std::uint32_t borderWidth = std::uint32_t(border);
        xcb_configure_window(m_x->connection(), own, XCB_CONFIG_WINDOW_BORDER_WIDTH, &borderWidth);
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
