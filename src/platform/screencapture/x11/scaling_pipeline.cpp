#include "platform/screencapture/x11/scaling_pipeline.h"

#include "platform/screencapture/x11/covered_pixels.h"

#include <cmath>
#include <cstring>

namespace corvex::screencapture::x11 {

namespace {

xcb_render_fixed_t fixed(double value)
{
    return static_cast<xcb_render_fixed_t>(std::llround(value * 65536.0));
}

} // namespace

std::vector<ScalingStage> planScalingStages(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight)
{
    std::vector<ScalingStage> stages;
    if (sourceWidth < 1 || sourceHeight < 1 || targetWidth < 1 || targetHeight < 1)
        return stages;
    int width = sourceWidth;
    int height = sourceHeight;
    for (;;) {
        // An odd side halved later would leave out a whole block of source lines at its end.
        const bool halveX = width > 2 * targetWidth && (width % 2 == 0 || stages.empty());
        const bool halveY = height > 2 * targetHeight && (height % 2 == 0 || stages.empty());
        if (!halveX && !halveY)
            break;
        ScalingStage stage;
        stage.scaleX = halveX ? 2 : 1;
        stage.scaleY = halveY ? 2 : 1;
        stage.width = width / (halveX ? 2 : 1);
        stage.height = height / (halveY ? 2 : 1);
        stages.push_back(stage);
        width = stage.width;
        height = stage.height;
    }
    if (stages.empty()) {
        ScalingStage only;
        only.width = targetWidth;
        only.height = targetHeight;
        only.scaleX = double(sourceWidth) / targetWidth;
        only.scaleY = double(sourceHeight) / targetHeight;
        only.box = only.scaleX > 1 || only.scaleY > 1;
        stages.push_back(only);
    }
    return stages;
}

ScalingPipeline::ScalingPipeline(Connection& connection, xcb_render_pictformat_t rgb24, xcb_render_pictformat_t argb32)
    : m_connection(connection)
    , m_rgb24(rgb24)
    , m_argb32(argb32)
{
}

ScalingPipeline::~ScalingPipeline()
{
    freePasses();
}

void ScalingPipeline::freePasses()
{
    xcb_connection_t* c = m_connection.get();
    for (std::vector<Pass>* passes : { &m_passes, &m_coveragePasses }) {
        for (const Pass& pass : *passes) {
            xcb_render_free_picture(c, pass.picture);
            xcb_free_pixmap(c, pass.pixmap);
        }
        passes->clear();
    }
}

std::vector<ScalingPipeline::Pass> ScalingPipeline::createPasses(std::uint8_t depth, xcb_render_pictformat_t format)
{
    xcb_connection_t* c = m_connection.get();
    std::vector<Pass> passes;
    for (const ScalingStage& stage : m_plan) {
        Pass pass;
        pass.pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, depth, pass.pixmap, m_connection.root(), static_cast<std::uint16_t>(stage.width),
            static_cast<std::uint16_t>(stage.height));
        pass.picture = xcb_generate_id(c);
        // Samples just past an edge repeat the edge instead of reading black.
        const std::uint32_t values[] = { XCB_RENDER_REPEAT_PAD };
        xcb_render_create_picture(c, pass.picture, pass.pixmap, format, XCB_RENDER_CP_REPEAT, values);
        passes.push_back(pass);
    }
    // Each pass reads the one before it the same way every frame: say how once.
    for (std::size_t i = 1; i < passes.size(); ++i)
        setSampling(passes[i - 1].picture, m_plan[i], 0, 0);
    return passes;
}

void ScalingPipeline::build(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight)
{
    freePasses();
    m_plan = planScalingStages(sourceWidth, sourceHeight, targetWidth, targetHeight);
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_targetWidth = targetWidth;
    m_targetHeight = targetHeight;
    // 24-bit RGB throughout: the X server's fast paths scale that (an alpha channel would take a slow one).
    m_passes = createPasses(24, m_rgb24);
    if (m_argb32)
        m_coveragePasses = createPasses(32, m_argb32);
}

void ScalingPipeline::setSampling(
    xcb_render_picture_t source, const ScalingStage& stage, double originX, double originY)
{
    xcb_connection_t* c = m_connection.get();
    const xcb_render_transform_t transform { fixed(stage.scaleX), 0, fixed(originX), 0, fixed(stage.scaleY),
        fixed(originY), 0, 0, fixed(1) };
    xcb_render_set_picture_transform(c, source, transform);
    if (stage.box) {
        static const char kName[] = "convolution";
        const xcb_render_fixed_t kernel[] = { fixed(2), fixed(2), fixed(0.25), fixed(0.25), fixed(0.25), fixed(0.25) };
        xcb_render_set_picture_filter(c, source, sizeof kName - 1, kName, 6, kernel);
    } else {
        // Halving, the bilinear filter samples at the corner of four (or between two) source pixels: their mean.
        static const char kBilinear[] = "bilinear";
        static const char kNearest[] = "nearest";
        const bool scaled = stage.scaleX != 1 || stage.scaleY != 1;
        xcb_render_set_picture_filter(
            c, source, scaled ? sizeof kBilinear - 1 : sizeof kNearest - 1, scaled ? kBilinear : kNearest, 0, nullptr);
    }
}

void ScalingPipeline::attachSource(xcb_render_picture_t source, int originX, int originY)
{
    if (!m_plan.empty())
        setSampling(source, m_plan.front(), originX, originY);
}

void ScalingPipeline::fill(
    const Pass& pass, const ScalingStage& stage, const std::vector<Area>& areas, const xcb_render_color_t& colour)
{
    // Every pass pixel that any of the areas' source pixels falls in.
    m_rectangles.clear();
    for (const Area& area : areas) {
        const int x0 = static_cast<int>(std::floor(area.x0 / stage.scaleX));
        const int y0 = static_cast<int>(std::floor(area.y0 / stage.scaleY));
        const int x1 = std::min(stage.width, static_cast<int>(std::ceil(area.x1 / stage.scaleX)));
        const int y1 = std::min(stage.height, static_cast<int>(std::ceil(area.y1 / stage.scaleY)));
        if (x1 > x0 && y1 > y0)
            m_rectangles.push_back({ static_cast<std::int16_t>(x0), static_cast<std::int16_t>(y0),
                static_cast<std::uint16_t>(x1 - x0), static_cast<std::uint16_t>(y1 - y0) });
    }
    if (m_rectangles.empty())
        return;
    xcb_render_fill_rectangles(m_connection.get(), XCB_RENDER_PICT_OP_SRC, pass.picture, colour,
        static_cast<std::uint32_t>(m_rectangles.size()), m_rectangles.data());
}

void ScalingPipeline::render(xcb_render_picture_t source, Area changed, const std::vector<Area>& blackOut)
{
    xcb_connection_t* c = m_connection.get();
    for (std::size_t i = 0; i < m_passes.size(); ++i) {
        if (i > 0)
            source = m_passes[i - 1].picture;
        // Each destination pixel reads source pixels near scale × (its centre): one pixel of margin covers that.
        const ScalingStage& stage = m_plan[i];
        changed = { std::max(0, static_cast<int>(std::floor(changed.x0 / stage.scaleX)) - 1),
            std::max(0, static_cast<int>(std::floor(changed.y0 / stage.scaleY)) - 1),
            std::min(stage.width, static_cast<int>(std::ceil(changed.x1 / stage.scaleX)) + 1),
            std::min(stage.height, static_cast<int>(std::ceil(changed.y1 / stage.scaleY)) + 1) };
        if (changed.isEmpty())
            return;
        const auto x = static_cast<std::int16_t>(changed.x0);
        const auto y = static_cast<std::int16_t>(changed.y0);
        xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, source, XCB_NONE, m_passes[i].picture, x, y, 0, 0, x, y,
            static_cast<std::uint16_t>(changed.x1 - changed.x0), static_cast<std::uint16_t>(changed.y1 - changed.y0));
        if (i == 0 && !blackOut.empty())
            fill(m_passes[0], stage, blackOut, { 0, 0, 0, 0xffff });
    }
}

bool ScalingPipeline::readFrame(
    SharedImage& image, const std::vector<std::uint8_t>* coverage, const media::ImageView& frame)
{
    const int width = passWidth(), height = passHeight();
    const std::size_t count = std::size_t(width) * std::size_t(height);
    if (m_passes.empty() || frame.width != m_targetWidth || frame.height != m_targetHeight
        || (coverage && coverage->size() != count) || !image.reserve(count * 4)
        || !image.read(m_passes.back().pixmap, 0, 0, width, height))
        return false;
    // The X server leaves the padding byte undefined. It becomes the visible share of the pixel's area.
    std::uint8_t* pixels = image.pixels();
    const std::size_t rowBytes = std::size_t(width) * 4;
    if (coverage) {
        for (std::size_t i = 0; i < count; ++i)
            pixels[4 * i + 3] = (*coverage)[i];
        averageVisible({ pixels, height, width, rowBytes }, frame);
        return true;
    }
    for (std::size_t i = 0; i < count; ++i)
        pixels[4 * i + 3] = 0xff;
    if (width == frame.width && height == frame.height) {
        for (int y = 0; y < height; ++y)
            std::memcpy(frame.data + std::size_t(y) * frame.rowBytes, pixels + std::size_t(y) * rowBytes, rowBytes);
        return true;
    }
    return media::scaleArgb8888({ pixels, height, width, rowBytes }, frame) == media::ScaleStatus::Success;
}

bool ScalingPipeline::measureCoverage(
    const std::vector<Area>& excluded, SharedImage& image, std::vector<std::uint8_t>& coverage)
{
    const std::size_t count = std::size_t(passWidth()) * std::size_t(passHeight());
    coverage.assign(count, 0xff);
    if (excluded.empty())
        return true;
    if (m_coveragePasses.empty())
        return false;
    // A mask of what is visible through the passes of the frame: what they
    // make of it is how much of each frame pixel's area is visible. (Only when
    // the excluded windows move: the mask's passes take the server's slow path.)
    xcb_connection_t* c = m_connection.get();
    const ScalingStage& first = m_plan.front();
    const xcb_render_color_t opaque { 0, 0, 0, 0xffff };
    const xcb_rectangle_t all { 0, 0, static_cast<std::uint16_t>(first.width),
        static_cast<std::uint16_t>(first.height) };
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, m_coveragePasses.front().picture, opaque, 1, &all);
    fill(m_coveragePasses.front(), first, excluded, { 0, 0, 0, 0 });
    for (std::size_t i = 1; i < m_coveragePasses.size(); ++i) {
        const ScalingStage& stage = m_plan[i];
        xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, m_coveragePasses[i - 1].picture, XCB_NONE,
            m_coveragePasses[i].picture, 0, 0, 0, 0, 0, 0, static_cast<std::uint16_t>(stage.width),
            static_cast<std::uint16_t>(stage.height));
    }
    if (!image.reserve(count * 4) || !image.read(m_coveragePasses.back().pixmap, 0, 0, passWidth(), passHeight()))
        return false;
    const std::uint8_t* pixels = image.pixels();
    for (std::size_t i = 0; i < count; ++i)
        coverage[i] = pixels[4 * i + 3];
    return true;
}

} // namespace corvex::screencapture::x11
