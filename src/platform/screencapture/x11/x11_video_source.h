#pragma once

#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/content_filter.h"
#include "platform/screencapture/paced_worker.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/stream_configuration.h"
#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/render.h>
#include <xcb/shm.h>

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace corvex::screencapture::x11 {

/// Grabs a display's rectangle of the root window, or one window through
/// XComposite (so that covered windows still show their own pixels), at the
/// configured pace. The X server shrinks each grab to the configured size with
/// XRender, averaging areas rather than picking points: halving passes (2 × 2
/// averages with the bilinear filter at pixel midpoints), then one last pass
/// with a 2 × 2 box convolution. Only what changed since the last grab is
/// rendered again (the stages keep the rest). Only the small frame crosses to this process,
/// through MIT-SHM. A frame is complete when XDamage saw a change since the
/// previous one and idle otherwise (idle frames carry the last pixels and cost
/// no grab).
///
/// A display whose filter excludes applications leaves their windows out
/// where they are visible: those areas are blacked out in the first stage, and
/// the same passes run once over a mask of them tell how much of each frame
/// pixel's area is visible (again only when the windows move), so that each
/// pixel gets the average of what is visible of its area (see
/// revealCoveredPixels). Changes inside those areas are no changes of the frame.
class VideoSource final : public StreamSource {
public:
    static std::unique_ptr<VideoSource> create(
        const ContentFilter& filter, const StreamConfiguration& configuration, CaptureError& error);
    ~VideoSource() override;

    void start(StreamSink& sink) override;

private:
    struct Stage {
        int width = 0;
        int height = 0;
        double scaleX = 1;
        double scaleY = 1;
        bool box = false; // 2 × 2 box convolution; bilinear otherwise
        xcb_pixmap_t pixmap = 0;
        xcb_render_picture_t picture = 0;
    };

    /// A rectangle of pixels, [x0, x1) × [y0, y1).
    struct Area {
        int x0 = 0;
        int y0 = 0;
        int x1 = 0;
        int y1 = 0;
        bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
        friend bool operator==(const Area&, const Area&) = default;
    };

    /// Who a top-level window (or the client window a window manager framed in it) belongs to.
    struct Owner {
        std::int64_t processID = 0;
        bool excepted = false; // one of the filter's excepted windows
    };

    VideoSource() = default;
    std::optional<CaptureError> setUp(const ContentFilter& filter, const StreamConfiguration& configuration);
    bool tick(StreamSink& sink);
    /// Reads events; false when the connection is gone.
    void pumpEvents();
    std::optional<CaptureError> grab(SampleBuffer& frame);
    void buildStages(int sourceWidth, int sourceHeight);
    void freeStages();
    void createPixmaps(std::vector<Stage>& stages, std::uint8_t depth, xcb_render_pictformat_t format);
    /// Renders the part `area` of the stage (in its own pixels) from `source`.
    void renderPass(xcb_render_picture_t source, const Stage& stage, double offsetX, double offsetY, const Area& area);
    /// What changed since the last grab, in source pixels (clipped to the source).
    Area takeDamage(int sourceWidth, int sourceHeight);
    xcb_render_pictformat_t formatForVisual(xcb_visualid_t visual) const;
    /// Where windows of the excluded applications are visible on the display, in its pixels.
    std::vector<Area> visibleExcludedAreas();
    Owner ownerOf(xcb_window_t window, int depth);
    /// Finds the excluded windows again after the windows on screen changed.
    void updateExclusion();
    /// Fills the excluded areas of a first stage with `colour`.
    void fillExcluded(const Stage& stage, const xcb_render_color_t& colour);
    /// Copies a stage's pixels into the shared memory; false when the server did not.
    bool readBack(const Stage& stage);
    /// How much of each frame pixel's area is visible, into m_coverage.
    void measureCoverage();

    std::unique_ptr<Connection> m_connection;
    bool m_isWindow = false;
    xcb_window_t m_window = 0;
    media::Rect m_area; // the display's rectangle of the root window
    xcb_render_pictformat_t m_sourceFormat = 0;
    xcb_render_pictformat_t m_rgb24 = 0;
    xcb_render_pictformat_t m_argb32 = 0;
    xcb_render_picture_t m_rootPicture = 0;
    int m_targetWidth = 0;
    int m_targetHeight = 0;
    bool m_fixedTarget = false; // the configuration gave a size
    int m_sourceWidth = 0;
    int m_sourceHeight = 0;
    std::vector<Stage> m_stages;
    std::uint32_t m_damage = 0;
    std::uint32_t m_damageRegion = 0; // XFixes region that collects what changed
    bool m_damaged = true;
    bool m_renderAll = true; // the stages hold nothing yet
    std::uint8_t m_damageEventBase = 0;
    xcb_shm_seg_t m_segment = 0;
    std::uint8_t* m_shared = nullptr;
    std::size_t m_sharedSize = 0;
    std::vector<std::int64_t> m_excludedProcesses;
    std::vector<std::uint32_t> m_exceptedWindows;
    bool m_excluding = false;
    bool m_windowsChanged = true; // top-level windows moved, appeared or went since the last look
    std::vector<Area> m_excluded;
    std::vector<Stage> m_coverageStages; // the stages again, for the mask of what is visible
    std::vector<std::uint8_t> m_coverage; // of each frame pixel, 255 = all of its area
    bool m_coverageKnown = false;
    std::uint32_t m_excludedRegion = 0; // the same areas in root coordinates, as an XFixes region
    Area m_forced; // to render again whatever XDamage says (where excluded areas came or went)
    std::unordered_map<xcb_window_t, Owner> m_owners;
    xcb_atom_t m_netWmPid = 0;
    std::optional<SampleBuffer> m_lastFrame;
    std::int64_t m_interval = 0;
    PacedWorker m_worker;
};

} // namespace corvex::screencapture::x11
