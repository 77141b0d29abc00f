#include "platform/screencapture/x11/x11_video_source.h"

#include "platform/media/image_scaler.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/x11/covered_pixels.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace corvex::screencapture::x11 {

namespace {

constexpr std::int64_t kDefaultFrameInterval = 1'000'000'000 / 60;
constexpr int kMaxFrameSide = 16384;
// Source pixels a frame pixel averages at the least for this process to average them (see grab()).
constexpr long long kStudioMinimumShrink = 16;

using Outcome = Result<void, CaptureError>;

CaptureError lostConnection()
{
    return { CaptureError::ConnectionLost,
        "The connection to the X server was lost, so screen capture stopped. Check that the X session is still "
        "running, then restart screen capture." };
}

CaptureError windowClosed()
{
    return { CaptureError::ContentUnavailable,
        "The window being captured was closed, so screen capture stopped. Choose another window and restart screen "
        "capture." };
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
    return data != nullptr && data->present;
}

/// Whether the X server can share GPU buffers with its clients: a sign that it
/// renders on the GPU (a software renderer such as Xvfb has no DRI3).
bool rendersOnGpu(xcb_connection_t* c)
{
    static const char kName[] = "DRI3";
    const Reply<xcb_query_extension_reply_t> reply(
        xcb_query_extension_reply(c, xcb_query_extension(c, sizeof kName - 1, kName), nullptr));
    return reply && reply->present;
}

} // namespace

SourceResult VideoSource::create(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    std::unique_ptr<VideoSource> source(new VideoSource);
    if (Result<void, CaptureError> ready = source->setUp(filter, configuration); !ready)
        return SourceResult::failure(std::move(ready.error));
    return SourceResult::success(std::move(source));
}

Result<void, CaptureError> VideoSource::setUp(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    Result<std::unique_ptr<Connection>, std::string> opened = Connection::open(nullptr);
    if (!opened)
        return Outcome::failure({ CaptureError::NoDisplay, std::move(opened.error) });
    m_connection = std::move(*opened.value);
    xcb_connection_t* c = m_connection->get();

    const std::pair<xcb_extension_t*, const char*> required[] = { { &xcb_shm_id, "MIT-SHM" },
        { &xcb_render_id, "RENDER" }, { &xcb_damage_id, "DAMAGE" }, { &xcb_xfixes_id, "XFIXES" } };
    for (const auto& [extension, name] : required)
        if (!extensionPresent(c, extension))
            return Outcome::failure({ CaptureError::NoDisplay,
                std::string("Screen capture needs the X server's ") + name
                    + " extension, which this X server lacks." });
    // The version queries go out together and are answered in one round trip.
    const auto shmCookie = xcb_shm_query_version(c);
    const auto renderCookie = xcb_render_query_version(c, 0, 11);
    const auto xfixesCookie = xcb_xfixes_query_version(c, 5, 0);
    const auto damageCookie = xcb_damage_query_version(c, 1, 1);
    Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, shmCookie, nullptr));
    Reply<xcb_render_query_version_reply_t> render(xcb_render_query_version_reply(c, renderCookie, nullptr));
    Reply<xcb_xfixes_query_version_reply_t> xfixes(xcb_xfixes_query_version_reply(c, xfixesCookie, nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(xcb_damage_query_version_reply(c, damageCookie, nullptr));
    if (!shm || (shm->major_version == 1 && shm->minor_version < 2))
        return Outcome::failure({ CaptureError::NoDisplay,
            "Screen capture needs MIT-SHM 1.2 (shared memory passed as a file), which this X server lacks." });
    if (!render || !xfixes || !damage)
        return Outcome::failure(lostConnection());

    const xcb_render_query_pict_formats_reply_t* formats = xcb_render_util_query_formats(c);
    const xcb_render_pictforminfo_t* rgb24
        = formats ? xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_RGB_24) : nullptr;
    if (rgb24 == nullptr)
        return Outcome::failure({ CaptureError::NoDisplay, "The X server offers no 24-bit RGB picture format." });
    xcb_render_pictformat_t argb32 = 0;

    xcb_drawable_t watched = m_connection->root();
    int originX = 0, originY = 0;
    if (filter.kind == ContentFilter::Kind::Window && filter.window) {
        if (!extensionPresent(c, &xcb_composite_id))
            return Outcome::failure({ CaptureError::NoDisplay,
                "Capturing a window needs the X server's Composite extension, which this X server lacks. Capture "
                "a display instead." });
        m_isWindow = true;
        m_window = filter.window->windowID;
        const auto compositeCookie = xcb_composite_query_version(c, 0, 4);
        const auto attributesCookie = xcb_get_window_attributes(c, m_window);
        Reply<xcb_composite_query_version_reply_t> composite(
            xcb_composite_query_version_reply(c, compositeCookie, nullptr));
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
        if (!attributes || !composite)
            return Outcome::failure({ CaptureError::ContentUnavailable, "The window to capture is no longer open." });
        m_sourceFormat = formatForVisual(attributes->visual);
        // Off-screen storage of its own, kept up to date by the server, so a covered window still shows itself.
        xcb_composite_redirect_window(c, m_window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        watched = m_window;
    } else if (filter.kind == ContentFilter::Kind::Display && filter.display) {
        m_area = filter.display->frame;
        const xcb_screen_t* screen = m_connection->screen();
        if (m_area.width < 1 || m_area.height < 1 || m_area.x < 0 || m_area.y < 0
            || m_area.x + m_area.width > screen->width_in_pixels || m_area.y + m_area.height > screen->height_in_pixels)
            return Outcome::failure(
                { CaptureError::ContentUnavailable, "The display to capture is no longer connected." });
        m_sourceFormat = formatForVisual(screen->root_visual);
        m_rootPicture = xcb_generate_id(c);
        const std::uint32_t values[] = { XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS };
        xcb_render_create_picture(
            c, m_rootPicture, m_connection->root(), m_sourceFormat, XCB_RENDER_CP_SUBWINDOW_MODE, values);
        m_sourceWidth = static_cast<int>(m_area.width);
        m_sourceHeight = static_cast<int>(m_area.height);
        originX = static_cast<int>(m_area.x);
        originY = static_cast<int>(m_area.y);
        std::vector<std::int64_t> processes;
        for (const RunningApplication& application : filter.excludedApplications)
            if (application.processID > 0)
                processes.push_back(application.processID);
        std::vector<std::uint32_t> excepted;
        for (const Window& window : filter.exceptedWindows)
            excepted.push_back(window.windowID);
        if (!processes.empty()) {
            const xcb_render_pictforminfo_t* format
                = xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_ARGB_32);
            if (format == nullptr)
                return Outcome::failure(
                    { CaptureError::NoDisplay, "The X server offers no 32-bit ARGB picture format." });
            argb32 = format->id;
            m_exclusion = std::make_unique<WindowExclusion>(*m_connection, std::move(processes), std::move(excepted),
                Area { originX, originY, originX + m_sourceWidth, originY + m_sourceHeight });
        }
    } else {
        return Outcome::failure({ CaptureError::InvalidParameter, "The content filter names nothing to capture." });
    }
    if (m_sourceFormat == 0)
        return Outcome::failure(
            { CaptureError::InvalidParameter, "The content to capture has a visual without a picture format." });

    m_damage = std::make_unique<DamageTracker>(*m_connection, watched, originX, originY);
    m_pipeline = std::make_unique<ScalingPipeline>(*m_connection, rgb24->id, argb32);
    m_image = std::make_unique<SharedImage>(*m_connection);
    m_sourceImage = std::make_unique<SharedImage>(*m_connection);
    const char* scaling = std::getenv("CORVEX_X11_SCALING");
    if (scaling && std::strcmp(scaling, "server") == 0)
        m_scaling = Scaling::Server;
    else if (scaling && std::strcmp(scaling, "studio") == 0)
        m_scaling = Scaling::Studio;
    else
        m_scaling = rendersOnGpu(c) ? Scaling::Server : Scaling::Auto;

    m_fixedTarget = configuration.width > 0 && configuration.height > 0;
    m_targetWidth = std::min(configuration.width, kMaxFrameSide);
    m_targetHeight = std::min(configuration.height, kMaxFrameSide);
    m_interval = frameIntervalNanoseconds(configuration.minimumFrameInterval, kDefaultFrameInterval);

    xcb_flush(c);
    if (m_connection->hasError())
        return Outcome::failure(lostConnection());
    return Outcome::success();
}

VideoSource::~VideoSource()
{
    m_worker.stop();
    if (!m_connection)
        return;
    xcb_connection_t* c = m_connection->get();
    m_pipeline.reset();
    m_damage.reset();
    m_exclusion.reset();
    m_image.reset();
    m_sourceImage.reset();
    if (m_rootPicture)
        xcb_render_free_picture(c, m_rootPicture);
    if (m_isWindow)
        xcb_composite_unredirect_window(c, m_window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(c);
}

xcb_render_pictformat_t VideoSource::formatForVisual(xcb_visualid_t visual) const
{
    const xcb_render_query_pict_formats_reply_t* formats = xcb_render_util_query_formats(m_connection->get());
    const xcb_render_pictvisual_t* match = formats ? xcb_render_util_find_visual_format(formats, visual) : nullptr;
    return match ? match->format : 0;
}

void VideoSource::start(StreamSink& sink)
{
    m_worker.start("corvex-x11-grab", m_interval, [this, &sink] { return tick(sink); });
}

void VideoSource::rebuild(int sourceWidth, int sourceHeight)
{
    const int targetWidth = m_fixedTarget ? m_targetWidth : std::min(sourceWidth, kMaxFrameSide);
    const int targetHeight = m_fixedTarget ? m_targetHeight : std::min(sourceHeight, kMaxFrameSide);
    m_pipeline->build(sourceWidth, sourceHeight, targetWidth, targetHeight);
    if (m_rootPicture)
        m_pipeline->attachSource(m_rootPicture, static_cast<int>(m_area.x), static_cast<int>(m_area.y));
    m_image->reserve(std::size_t(m_pipeline->passWidth()) * std::size_t(m_pipeline->passHeight()) * 4);
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_coverageKnown = false;
    m_passesStale = true;
    m_damage->changeAll();
    m_lastImage.reset();
    m_lastSurface.reset();

    m_frameInfo = FrameInfo::filling(targetWidth, targetHeight, double(targetWidth) / double(sourceWidth));
}

void VideoSource::pumpEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection->get())) {
        if (!m_damage->handle(*event) && m_exclusion)
            m_exclusion->handle(*event);
        std::free(event);
    }
}

bool VideoSource::tick(StreamSink& sink)
{
    if (m_connection->hasError()) {
        sink.fail(lostConnection());
        return false;
    }
    pumpEvents();
    SampleBuffer frame;
    if (Result<void, CaptureError> grabbed = grab(frame); !grabbed) {
        sink.fail(grabbed.error);
        return false;
    }
    if (frame.imageBuffer)
        sink.deliverVideo(std::move(frame));
    return true;
}

void VideoSource::repeatLast(SampleBuffer& frame, const media::MediaTime& time) const
{
    frame.outputPresentationTimeStamp = time;
    frame.imageBuffer = m_lastImage;
    frame.surface = m_lastSurface;
    frame.frameInfo = m_frameInfo;
    frame.frameInfo->status = FrameStatus::Idle;
}

Result<void, CaptureError> VideoSource::grab(SampleBuffer& frame)
{
    xcb_connection_t* c = m_connection->get();
    const media::MediaTime time = hostTimeNow();
    int width = m_sourceWidth;
    int height = m_sourceHeight;
    bool viewable = true;
    if (m_isWindow) {
        // Both questions go out before the first answer is awaited: one round trip.
        const auto geometryCookie = xcb_get_geometry(c, m_window);
        const auto attributesCookie = xcb_get_window_attributes(c, m_window);
        xcb_generic_error_t* rawError = nullptr;
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, &rawError));
        const Reply<xcb_generic_error_t> error(rawError);
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
        if (!geometry || !attributes)
            return Outcome::failure(m_connection->hasError() ? lostConnection() : windowClosed());
        viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        width = geometry->width;
        height = geometry->height;
    }
    if (m_pipeline->stages().empty() || width != m_sourceWidth || height != m_sourceHeight)
        rebuild(width, height);
    if (!m_image->pixels())
        return Outcome::failure({ CaptureError::Internal, "No shared memory could be had for captured frames." });
    if (m_exclusion) {
        const Area moved = m_exclusion->update();
        if (!moved.isEmpty()) {
            m_damage->force(moved);
            m_coverageKnown = false;
        }
    }

    if ((!m_damage->hasChanges() || !viewable) && m_lastImage) {
        // Nothing new: the last pixels again, marked idle, with no work for the server.
        repeatLast(frame, time);
        return Outcome::success();
    }
    if (!viewable)
        return Outcome::success(); // an unmapped window has no pixels to show yet
    const std::vector<Area> noAreas;
    const std::vector<Area>& excluded = m_exclusion ? m_exclusion->areas() : noAreas;
    if (excluded.empty())
        m_frameInfo.coveredPixels.reset();
    Area changed = m_damage->take(width, height, m_exclusion ? m_exclusion->region() : 0);
    if (changed.isEmpty() && m_lastImage) {
        // The change lies outside the captured area.
        repeatLast(frame, time);
        return Outcome::success();
    }
    if (changed.isEmpty())
        changed = { 0, 0, width, height };

    xcb_pixmap_t windowPixmap = 0;
    if (m_isWindow) {
        windowPixmap = xcb_generate_id(c);
        Reply<xcb_generic_error_t> error(
            xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, m_window, windowPixmap)));
        if (error) { // unmapped or gone since the check above: try again next time
            m_damage->changeAll();
            return Outcome::success();
        }
    }
    // Most of the frame changed, on an X server that would scale on the CPU
    // anyway: one copy there and one pass here cost less than its passes.
    // (Only for frames much smaller than the source: an exact average over a few
    // source pixels shows their fine patterns, which the server's passes blur.)
    const long long sourcePixels = static_cast<long long>(width) * height;
    const bool mostChanged = changed.pixels() * 2 >= sourcePixels
        && sourcePixels >= kStudioMinimumShrink * m_pipeline->width() * m_pipeline->height();
    // (Left-out windows need the passes, which also measure how much of each pixel they cover.)
    if (excluded.empty() && (m_scaling == Scaling::Studio || (m_scaling == Scaling::Auto && mostChanged))) {
        const bool averaged = m_isWindow ? averageHere(windowPixmap, 0, 0, width, height, frame, time)
                                         : averageHere(m_connection->root(), static_cast<int>(m_area.x),
                                             static_cast<int>(m_area.y), width, height, frame, time);
        if (windowPixmap)
            xcb_free_pixmap(c, windowPixmap);
        if (averaged || m_connection->hasError())
            return averaged ? Outcome::success() : Outcome::failure(lostConnection());
        // No shared memory for the whole source: the server's passes instead.
        changed = { 0, 0, width, height };
    }
    if (std::exchange(m_passesStale, false))
        changed = { 0, 0, width, height };

    xcb_render_picture_t windowPicture = 0;
    xcb_render_picture_t source = m_rootPicture;
    if (m_isWindow) {
        windowPicture = xcb_generate_id(c);
        xcb_render_create_picture(c, windowPicture, windowPixmap, m_sourceFormat, 0, nullptr);
        m_pipeline->attachSource(windowPicture, 0, 0);
        source = windowPicture;
    }
    m_pipeline->render(source, changed, excluded);
    if (windowPicture) {
        xcb_render_free_picture(c, windowPicture);
        xcb_free_pixmap(c, windowPixmap);
    }
    const int frameWidth = m_pipeline->width();
    const int frameHeight = m_pipeline->height();
    if (m_exclusion && !m_coverageKnown)
        m_coverageKnown = m_pipeline->measureCoverage(excluded, *m_image, m_coverage);
    const bool covering = m_exclusion && !excluded.empty();
    frame = SampleBuffer::videoFrame(frameWidth, frameHeight, time, SampleBuffer::Pixels::Uninitialised, m_frameInfo);
    std::uint8_t* destination = frame.imageBuffer->baseAddress();
    if (!m_pipeline->readFrame(*m_image, covering ? &m_coverage : nullptr,
            { destination, frameHeight, frameWidth, frame.imageBuffer->bytesPerRow() })) {
        frame = SampleBuffer {};
        return m_connection->hasError() ? Outcome::failure(lostConnection()) : Outcome::success();
    }
    if (covering) {
        // The guessed pixels stay where they are until the windows move: one shared list for those frames.
        std::vector<std::uint8_t> guessed
            = revealCoveredPixels(destination, frameWidth, frameHeight, frame.imageBuffer->bytesPerRow());
        if (guessed.empty())
            m_frameInfo.coveredPixels.reset();
        else if (!m_frameInfo.coveredPixels || *m_frameInfo.coveredPixels != guessed)
            m_frameInfo.coveredPixels = std::make_shared<const std::vector<std::uint8_t>>(std::move(guessed));
        frame.frameInfo->coveredPixels = m_frameInfo.coveredPixels;
    }
    m_lastImage = frame.imageBuffer;
    m_lastSurface = frame.surface;
    return Outcome::success();
}

bool VideoSource::averageHere(xcb_drawable_t drawable, int originX, int originY, int width, int height,
    SampleBuffer& frame, const media::MediaTime& time)
{
    if (!m_sourceImage->reserve(std::size_t(width) * std::size_t(height) * 4)
        || !m_sourceImage->read(drawable, originX, originY, width, height))
        return false;
    const int frameWidth = m_pipeline->width();
    const int frameHeight = m_pipeline->height();
    frame = SampleBuffer::videoFrame(frameWidth, frameHeight, time, SampleBuffer::Pixels::Uninitialised, m_frameInfo);
    media::PixelBuffer& image = *frame.imageBuffer;
    const media::ScaleStatus status
        = media::scaleArgb8888({ m_sourceImage->pixels(), height, width, std::size_t(width) * 4 },
            { image.baseAddress(), frameHeight, frameWidth, image.bytesPerRow() });
    if (status != media::ScaleStatus::Success)
        return false;
    // The X server leaves the padding byte undefined, so its average means nothing: the frame is opaque.
    for (int y = 0; y < frameHeight; ++y) {
        std::uint8_t* row = image.baseAddress() + static_cast<std::size_t>(y) * image.bytesPerRow();
        for (int x = 0; x < frameWidth; ++x)
            row[4 * x + 3] = 0xff;
    }
    m_lastImage = frame.imageBuffer;
    m_lastSurface = frame.surface;
    m_passesStale = true;
    return true;
}

} // namespace corvex::screencapture::x11
