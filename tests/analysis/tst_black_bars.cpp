// Black bars on generated frame sequences: real bars are found and cropped
// exactly; dark pictures, fades, title cards and dark edges are left whole.

#include "analysis/black_bars.h"

#include "raster.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

using namespace corvex;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 90;

struct Area {
    int x = 0;
    int y = 0;
    int width = kWidth;
    int height = kHeight;
    bool contains(int column, int row) const
    {
        return column >= x && column < x + width && row >= y && row < y + height;
    }
};

// A busy picture of one scene: coloured blocks that drift from frame to
// frame, bright enough everywhere to be told from black.
test::Bgr scenePixel(int scene, int frame, int column, int row)
{
    std::uint32_t hash = std::uint32_t(scene) * 2654435761u ^ std::uint32_t((column + frame) / 12) * 40503u
        ^ std::uint32_t(row / 9) * 69069u;
    hash ^= hash >> 13;
    hash *= 0x5bd1e995u;
    hash ^= hash >> 15;
    return { std::uint8_t(60 + hash % 190), std::uint8_t(60 + (hash >> 8) % 190),
        std::uint8_t(60 + (hash >> 16) % 190) };
}

test::Bgr scaled(test::Bgr colour, double factor)
{
    return { std::uint8_t(colour.b * factor), std::uint8_t(colour.g * factor), std::uint8_t(colour.r * factor) };
}

using Frames = std::vector<std::shared_ptr<media::PixelBuffer>>;

// `scenes` scenes of `perScene` frames each, the picture inside `area`, `bar` (black) around it.
Frames film(const Area& area, int scenes, int perScene, double brightness = 1.0, int firstScene = 0, test::Bgr bar = {})
{
    Frames frames;
    for (int scene = firstScene; scene < firstScene + scenes; ++scene)
        for (int frame = 0; frame < perScene; ++frame)
            frames.push_back(test::makeRaster(kWidth, kHeight, [&](int x, int y) {
                return area.contains(x, y) ? scaled(scenePixel(scene, frame, x, y), brightness) : bar;
            }));
    return frames;
}

const Area kLetterbox { 0, 12, kWidth, 66 }; // 2.39:1 inside 16:9

Frames append(Frames a, const Frames& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Where a window left out of the capture hides the picture and the bottom bar.
const Area kLeftOutWindow { 30, 60, 60, 25 };

using Sequence = std::function<Frames()>;

Sequence filmOf(const Area& area, int scenes, int perScene, test::Bgr bar = {})
{
    return [=] { return film(area, scenes, perScene, 1.0, 0, bar); };
}

} // namespace

Q_DECLARE_METATYPE(Sequence)
Q_DECLARE_METATYPE(std::optional<Area>)

class TestBlackBars : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void proposesCropOnlyForRealBars_data()
    {
        QTest::addColumn<Sequence>("sequence");
        QTest::addColumn<std::optional<Area>>("picture"); // what the crop keeps
        QTest::addColumn<bool>("leftOutWindow"); // over the picture and a bar in every frame
        QTest::newRow("letterbox 2.39:1 in 16:9") << filmOf(kLetterbox, 8, 4) << std::optional(kLetterbox) << false;
        // What counts is a bar's luma: deep blue is black to the eye, dim red is not.
        QTest::newRow("deep blue bars") << filmOf(kLetterbox, 8, 4, { 80, 0, 0 }) << std::optional(kLetterbox) << false;
        QTest::newRow("dim red bars") << filmOf(kLetterbox, 8, 4, { 0, 0, 40 }) << std::optional<Area>() << false;
        QTest::newRow("pillarbox 4:3 in 16:9")
            << filmOf({ 20, 0, 120, kHeight }, 8, 4) << std::optional(Area { 20, 0, 120, kHeight }) << false;
        QTest::newRow("windowbox") << filmOf({ 20, 12, 120, 66 }, 8, 4) << std::optional(Area { 20, 12, 120, 66 })
                                   << false;
        QTest::newRow("full frame") << filmOf({}, 8, 4) << std::optional<Area>() << false;
        QTest::newRow("letterbox fading to black keeps its bars") << Sequence([] {
            Frames all = film(kLetterbox, 6, 4);
            for (int step = 10; step >= 0; --step)
                all = append(all, film(kLetterbox, 1, 1, step / 10.0));
            return append(all, Frames(20, test::makeRaster(kWidth, kHeight, [](int, int) { return test::Bgr {}; })));
        }) << std::optional(kLetterbox) << false;
        QTest::newRow("a subtitle in the bar now and then") << Sequence([] {
            Frames all = film(kLetterbox, 10, 12);
            // One frame in a hundred has a white line of text low in the bottom bar.
            all.push_back(test::makeRaster(kWidth, kHeight, [](int x, int y) {
                if (y >= 82 && y < 86 && x > 50 && x < 110)
                    return test::Bgr { 255, 255, 255 };
                return kLetterbox.contains(x, y) ? scenePixel(99, 0, x, y) : test::Bgr { 0, 0, 0 };
            }));
            return all;
        }) << std::optional(kLetterbox) << false;
        QTest::newRow("letterbox, then credits on black") << Sequence([] {
            Frames all = film(kLetterbox, 8, 4);
            for (int card = 0; card < 6; ++card)
                all = append(all, film({ 40, 30 + card % 3, 80, 20 }, 1, 5, 1.0, 20 + card));
            return all;
        }) << std::optional(kLetterbox) << false;
        QTest::newRow("one letterboxed scene is not enough")
            << filmOf(kLetterbox, 1, 40) << std::optional<Area>() << false;
        QTest::newRow("dark scene") << Sequence([] {
            // A night scene: dim everywhere, a lamp moving about.
            Frames all;
            std::mt19937 random(3);
            for (int frame = 0; frame < 60; ++frame) {
                const int lampX = 20 + int(random() % 120);
                const int lampY = 15 + int(random() % 60);
                all.push_back(test::makeRaster(kWidth, kHeight, [&](int x, int y) {
                    if (std::abs(x - lampX) < 12 && std::abs(y - lampY) < 10)
                        return test::Bgr { 180, 220, 240 };
                    const auto dim = std::uint8_t(4 + (x * 7 + y * 13 + frame) % 14);
                    return test::Bgr { dim, dim, dim };
                }));
            }
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("fade to black") << Sequence([] {
            Frames all = film({}, 3, 4);
            for (int step = 20; step >= 0; --step)
                all = append(all, film({}, 1, 1, step / 20.0));
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("title card on black") << filmOf({ 30, 35, 100, 20 }, 1, 60) << std::optional<Area>() << false;
        QTest::newRow("credits on black") << Sequence([] {
            Frames all;
            for (int card = 0; card < 10; ++card)
                all = append(all, film({ 30, 20 + (card * 7) % 20, 100, 20 + (card * 5) % 15 }, 1, 6, 1.0, card));
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("edges dark but not black") << Sequence([] {
            // Dim, textured bands at the top and the bottom of every shot: part of the picture.
            Frames all;
            for (int scene = 0; scene < 8; ++scene)
                for (int frame = 0; frame < 4; ++frame)
                    all.push_back(test::makeRaster(kWidth, kHeight, [&](int x, int y) {
                        if (kLetterbox.contains(x, y))
                            return scenePixel(scene, frame, x, y);
                        const auto dim = std::uint8_t(10 + (x * 3 + y * 5 + scene) % 14);
                        return test::Bgr { dim, dim, dim };
                    }));
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("dark sky at the top only")
            << filmOf({ 0, 20, kWidth, 64 }, 8, 4) << std::optional<Area>() << false;
        QTest::newRow("a thin black line at the top only")
            << filmOf({ 0, 2, kWidth, 88 }, 8, 4) << std::optional<Area>() << false;
        QTest::newRow("one shot reaches the edges, the others stop short") << Sequence([] {
            // One bright shot fills rows 12 to 77; the dark shots around it show only their middle.
            Frames all = film(kLetterbox, 1, 6);
            for (int scene = 0; scene < 8; ++scene)
                all = append(all, film({ 0, 20 + scene % 3, kWidth, 44 + scene % 4 }, 1, 6, 1.0, 10 + scene));
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("cards of one size on black") << Sequence([] {
            Frames all;
            for (int card = 0; card < 10; ++card)
                all = append(all, film({ 40, 25, 80, 40 }, 1, 6, card % 2 ? 1.0 : 0.4, card));
            return all;
        }) << std::optional<Area>() << false;
        QTest::newRow("a left-out window over the picture and a bar") << Sequence([] {
            // What capture guesses there spreads the picture into the bar.
            Frames all = film(kLetterbox, 8, 4);
            for (auto& frame : all)
                for (int y = kLeftOutWindow.y; y < kLeftOutWindow.y + kLeftOutWindow.height; ++y)
                    std::fill_n(frame->baseAddress() + std::size_t(y) * frame->bytesPerRow() + 4 * kLeftOutWindow.x,
                        4 * kLeftOutWindow.width, std::uint8_t(150));
            return all;
        }) << std::optional(kLetterbox) << true;
        QTest::newRow("one frame decides nothing") << filmOf(kLetterbox, 1, 1) << std::optional<Area>() << false;
        QTest::newRow("twelve frames of three scenes decide")
            << filmOf(kLetterbox, 3, 4) << std::optional(kLetterbox) << false;
        QTest::newRow("eleven do not") << Sequence([] {
            return append(film(kLetterbox, 2, 4), film(kLetterbox, 1, 3, 1.0, 2));
        }) << std::optional<Area>() << false;
    }

    void proposesCropOnlyForRealBars()
    {
        QFETCH(Sequence, sequence);
        QFETCH(std::optional<Area>, picture);
        QFETCH(bool, leftOutWindow);
        // The pixels the frames show nothing of (one byte a pixel).
        std::vector<std::uint8_t> covered(std::size_t(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                covered[std::size_t(y) * kWidth + std::size_t(x)] = kLeftOutWindow.contains(x, y);
        analysis::BlackBarDetector detector;
        for (const auto& frame : sequence())
            detector.addFrame(*frame, leftOutWindow ? &covered : nullptr);
        const std::optional<media::Rect> crop = detector.proposedCrop();
        QCOMPARE(crop.has_value(), picture.has_value());
        if (!crop)
            return;
        const QString got = QStringLiteral("%1,%2,%3,%4").arg(crop->x).arg(crop->y).arg(crop->width).arg(crop->height);
        const double edges[] = { crop->x * kWidth - picture->x, crop->y * kHeight - picture->y,
            crop->width * kWidth - picture->width, crop->height * kHeight - picture->height };
        for (const double edge : edges)
            QVERIFY2(std::abs(edge) < 0.01, qPrintable(got));
    }

    // A small capture has its bars found too, though a line of it holds too few pixels for one bright pixel
    // in fifty to be a whole one.
    void smallFramesHaveBarsToo()
    {
        analysis::BlackBarDetector detector;
        for (int scene = 0; scene < 8; ++scene)
            for (int frame = 0; frame < 4; ++frame)
                detector.addFrame(*test::makeRaster(40, 24, [&](int x, int y) {
                    return y >= 3 && y < 21 ? scenePixel(scene, frame, x, y) : test::Bgr { 0, 0, 0 };
                }));
        const std::optional<media::Rect> crop = detector.proposedCrop();
        QVERIFY(crop);
        QVERIFY2(std::abs(crop->y * 24 - 3) < 0.01 && std::abs(crop->height * 24 - 18) < 0.01,
            qPrintable(QStringLiteral("%1 %2").arg(crop->y).arg(crop->height)));
    }

    // Lines a left-out window hides whole are no bar: nothing is known of them.
    void hiddenLinesAreNoBar()
    {
        std::vector<std::uint8_t> covered(std::size_t(kWidth) * kHeight, 0);
        // The top and bottom ten lines, as bars would be.
        std::fill_n(covered.begin(), 10 * kWidth, std::uint8_t(1));
        std::fill_n(covered.end() - 10 * kWidth, 10 * kWidth, std::uint8_t(1));
        analysis::BlackBarDetector detector;
        for (const auto& frame : film({}, 8, 4))
            detector.addFrame(*frame, &covered);
        QVERIFY(!detector.proposedCrop());
    }

    // Frames of another size (the author resized the captured window) start afresh.
    void anotherFrameSizeStartsAfresh()
    {
        analysis::BlackBarDetector detector;
        for (const auto& frame : film(kLetterbox, 8, 4))
            detector.addFrame(*frame);
        QVERIFY(detector.proposedCrop());
        const auto other = test::makeRaster(kWidth * 2, kHeight, [](int x, int y) { return scenePixel(5, 0, x, y); });
        detector.addFrame(*other);
        QVERIFY(!detector.proposedCrop());
        QCOMPARE(detector.observedFrames(), 1);
    }
};

int runBlackBarTests(int argc, char** argv)
{
    TestBlackBars test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_black_bars.moc"
