#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/content_filter.h"
#include "platform/screencapture/paced_worker.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/stream_configuration.h"
#include "platform/screencapture/x11/damage_tracker.h"
#include "platform/screencapture/x11/scaling_pipeline.h"
#include "platform/screencapture/x11/shared_image.h"
#include "platform/screencapture/x11/window_exclusion.h"
#include "platform/screencapture/x11/x11_connection.h"

#include <memory>
#include <optional>
#include <vector>

namespace corvex::screencapture::x11 {

/// Grabs a display's rectangle of the root window, or one window through
/// XComposite (so that covered windows still show their own pixels), at the
/// configured pace, shrunk to the configured size: exact halvings by the X
/// server, the rest an area average here (see ScalingPipeline). Only what
/// changed since the last grab is rendered again (see DamageTracker), and only
/// the last, small pass crosses to this process, through MIT-SHM. A frame is complete when something changed since the
/// previous one and idle otherwise (idle frames carry the last pixels and cost
/// no grab).
///
/// When most of the frame changed and the X server renders on the CPU (as
/// Xvfb and X servers without GPU acceleration do), the changed source crosses
/// whole through shared memory instead and this process averages it (the
/// studio's own area-averaging scaler): one plain copy in the server and one
/// pass here cost less than the server's transformed passes. An X server with
/// GPU acceleration (DRI3) keeps the passes, which leave the CPU out there.
/// CORVEX_X11_SCALING=server or studio chooses one way for every frame.
///
/// A display whose filter excludes applications leaves their windows out
/// where they are visible (see WindowExclusion): those areas are blacked out in
/// the first pass, and the share of each frame pixel's area that is visible
/// (measured again only when the windows move) makes each pixel the average of
/// what is visible of its area (see revealCoveredPixels); the frames name the
/// pixels of which nothing was visible (FrameInfo::coveredPixels). Changes
/// inside those areas are no changes of the frame.
class VideoSource final : public StreamSource {
public:
    static SourceResult create(const ContentFilter& filter, const StreamConfiguration& configuration);
    ~VideoSource() override;

    void start(StreamSink& sink) override;

private:
    VideoSource() = default;
    Result<void, CaptureError> setUp(const ContentFilter& filter, const StreamConfiguration& configuration);
    bool tick(StreamSink& sink);
    void pumpEvents();
    Result<void, CaptureError> grab(SampleBuffer& frame);
    void rebuild(int sourceWidth, int sourceHeight);
    /// The last frame's pixels again, marked idle.
    void repeatLast(SampleBuffer& frame, const media::MediaTime& time) const;
    xcb_render_pictformat_t formatForVisual(xcb_visualid_t visual) const;
    /// Averages the whole source here, from `drawable` (whose origin the captured area starts at).
    bool averageHere(xcb_drawable_t drawable, int originX, int originY, int width, int height, SampleBuffer& frame,
        const media::MediaTime& time);

    enum class Scaling { Auto, Server, Studio };

    std::unique_ptr<Connection> m_connection;
    bool m_isWindow = false;
    xcb_window_t m_window = 0;
    media::Rect m_area; // the display's rectangle of the root window
    xcb_render_pictformat_t m_sourceFormat = 0;
    xcb_render_picture_t m_rootPicture = 0;
    int m_targetWidth = 0;
    int m_targetHeight = 0;
    bool m_fixedTarget = false; // the configuration gave a size
    int m_sourceWidth = 0;
    int m_sourceHeight = 0;
    std::unique_ptr<ScalingPipeline> m_pipeline;
    std::unique_ptr<DamageTracker> m_damage;
    std::unique_ptr<WindowExclusion> m_exclusion; // when the filter excludes applications
    std::unique_ptr<SharedImage> m_image;
    std::unique_ptr<SharedImage> m_sourceImage; // the whole source, when averaged here
    Scaling m_scaling = Scaling::Auto;
    bool m_passesStale = true; // the server's passes lack changes averaged here
    std::vector<std::uint8_t> m_coverage; // of each frame pixel, 255 = all of its area
    bool m_coverageKnown = false;
    // The last frame, for the idle frames that repeat it.
    std::shared_ptr<media::PixelBuffer> m_lastImage;
    std::shared_ptr<const Surface> m_lastSurface;
    // What every idle frame and every complete frame of the current size say, shared by them all.
    FrameInfo m_frameInfo; // of a complete frame at the current size
    std::int64_t m_interval = 0;
    PacedWorker m_worker;
};

} // namespace corvex::screencapture::x11
