#pragma once

#include "platform/media/image_scaler.h"
#include "platform/screencapture/x11/area.h"
#include "platform/screencapture/x11/shared_image.h"
#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/render.h>

#include <cstdint>
#include <vector>

namespace corvex::screencapture::x11 {

/// One pass of the X server's scaling: the size it renders and how many of its
/// source's pixels make one of its own.
struct ScalingStage {
    int width = 0;
    int height = 0;
    double scaleX = 1;
    double scaleY = 1;
    bool box = false; // 2 × 2 box convolution; bilinear (nearest without scaling) otherwise
    friend bool operator==(const ScalingStage&, const ScalingStage&) = default;
};

/// The X server's passes for a source of the first size shrunk towards the
/// second. Exact halvings (2 × 2 or 2 × 1 averages, the bilinear filter sampling
/// at pixel corners), each side halved while more than twice the target's and
/// even, so that every pixel of every pass is the mean of a block of source
/// pixels and never blends pixels from outside it. (Only the first pass halves
/// an odd side, leaving out the source's last line.) What is left, a shrink by
/// less than two or by an odd side's ratio, is an area average in this
/// process, which weighs each block by the share of it inside each frame
/// pixel: a dark bar's edge bleeds into no frame pixel beyond the block it
/// shares with the picture.
///
/// A source that does not halve at all (less than twice the frame's size, or
/// enlarged) takes one pass straight to the frame's size: bilinear, or a 2 × 2
/// box when it shrinks, whose blur keeps fine patterns of a few source pixels
/// from showing as stripes.
std::vector<ScalingStage> planScalingStages(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);

/// Shrinks pictures of the X server with XRender, in the server: only the small
/// result crosses to this process, and a server that renders on the GPU keeps
/// the CPU out of it altogether. The passes live in server pixmaps that keep
/// their pixels between frames, so only what changed is rendered again; each
/// pass's transform and filter are set once, when the passes are made.
///
/// With a 32-bit ARGB format given, the same passes run once more over a mask
/// of what is visible, to tell how much of each frame pixel's area was not left
/// out (see measureCoverage).
class ScalingPipeline final {
public:
    ScalingPipeline(Connection& connection, xcb_render_pictformat_t rgb24, xcb_render_pictformat_t argb32);
    ~ScalingPipeline();
    ScalingPipeline(const ScalingPipeline&) = delete;
    ScalingPipeline& operator=(const ScalingPipeline&) = delete;

    /// Makes the passes from a source of the first size to a frame of the second.
    void build(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);
    const std::vector<ScalingStage>& stages() const { return m_plan; }
    int sourceWidth() const { return m_sourceWidth; }
    int sourceHeight() const { return m_sourceHeight; }
    /// The frame's size.
    int width() const { return m_plan.empty() ? 0 : m_targetWidth; }
    int height() const { return m_plan.empty() ? 0 : m_targetHeight; }
    /// The last pass's size: what crosses to this process.
    int passWidth() const { return m_plan.empty() ? 0 : m_plan.back().width; }
    int passHeight() const { return m_plan.empty() ? 0 : m_plan.back().height; }

    /// Makes `source` ready to feed the first pass: the area captured starts at
    /// (originX, originY) in it. Once for a picture that lasts (after build()).
    void attachSource(xcb_render_picture_t source, int originX, int originY);
    /// Renders through every pass what `changed` (source pixels) touches; then
    /// fills `blackOut` (source pixels) black in the first pass, so those areas add
    /// nothing to the averages.
    void render(xcb_render_picture_t source, Area changed, const std::vector<Area>& blackOut);
    /// Copies the last pass into `image` and averages it into `frame` (width ×
    /// height pixels), each pixel's fourth byte the share of its area that
    /// `coverage` (from measureCoverage, or none: all of it) says is visible.
    /// With a coverage, each pixel's colour is that of the visible part of its
    /// area (see averageVisible), ready for revealCoveredPixels.
    /// False when the server did not copy.
    bool readFrame(SharedImage& image, const std::vector<std::uint8_t>* coverage, const media::ImageView& frame);
    /// How much of each pixel's area of the last pass lies outside `excluded`
    /// (source pixels), 255 for all of it, into `coverage` (passWidth ×
    /// passHeight values). False when the server did not answer.
    bool measureCoverage(const std::vector<Area>& excluded, SharedImage& image, std::vector<std::uint8_t>& coverage);

private:
    struct Pass {
        xcb_pixmap_t pixmap = 0;
        xcb_render_picture_t picture = 0;
    };
    std::vector<Pass> createPasses(std::uint8_t depth, xcb_render_pictformat_t format);
    void freePasses();
    void setSampling(xcb_render_picture_t source, const ScalingStage& stage, double originX, double originY);
    void fill(
        const Pass& pass, const ScalingStage& stage, const std::vector<Area>& areas, const xcb_render_color_t& colour);

    Connection& m_connection;
    xcb_render_pictformat_t m_rgb24;
    xcb_render_pictformat_t m_argb32;
    int m_sourceWidth = 0;
    int m_sourceHeight = 0;
    int m_targetWidth = 0;
    int m_targetHeight = 0;
    std::vector<ScalingStage> m_plan;
    std::vector<Pass> m_passes;
    std::vector<Pass> m_coveragePasses;
    std::vector<xcb_rectangle_t> m_rectangles; // kept to spare an allocation a frame
};

} // namespace corvex::screencapture::x11
