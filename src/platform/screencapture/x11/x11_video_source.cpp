#include "platform/screencapture/x11/x11_video_source.h"

#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/x11/covered_pixels.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace corvex::screencapture::x11 {

namespace {

constexpr std::int64_t kDefaultFrameInterval = 1'000'000'000 / 60;
constexpr int kMaxFrameSide = 16384;

xcb_render_fixed_t fixed(double value)
{
    return static_cast<xcb_render_fixed_t>(std::llround(value * 65536.0));
}

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

/// The smallest area holding both.
template <typename Area> Area unite(const Area& a, const Area& b)
{
    if (a.isEmpty())
        return b;
    if (b.isEmpty())
        return a;
    return { std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1) };
}

/// Takes `cut` out of every area (each splits into at most four).
template <typename Area> void subtract(std::vector<Area>& areas, const Area& cut)
{
    std::vector<Area> result;
    for (const Area& a : areas) {
        if (cut.x0 >= a.x1 || cut.x1 <= a.x0 || cut.y0 >= a.y1 || cut.y1 <= a.y0) {
            result.push_back(a);
            continue;
        }
        const int top = std::max(a.y0, cut.y0), bottom = std::min(a.y1, cut.y1);
        const Area pieces[] = { { a.x0, a.y0, a.x1, top }, { a.x0, bottom, a.x1, a.y1 },
            { a.x0, top, std::max(a.x0, cut.x0), bottom }, { std::min(a.x1, cut.x1), top, a.x1, bottom } };
        for (const Area& piece : pieces)
            if (!piece.isEmpty())
                result.push_back(piece);
    }
    areas = std::move(result);
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
    return data != nullptr && data->present;
}

} // namespace

std::unique_ptr<VideoSource> VideoSource::create(
    const ContentFilter& filter, const StreamConfiguration& configuration, CaptureError& error)
{
    std::unique_ptr<VideoSource> source(new VideoSource);
    if (std::optional<CaptureError> failure = source->setUp(filter, configuration)) {
        error = *failure;
        return nullptr;
    }
    return source;
}

std::optional<CaptureError> VideoSource::setUp(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    std::string message;
    m_connection = Connection::open(nullptr, message);
    if (!m_connection)
        return CaptureError { CaptureError::NoDisplay, message };
    xcb_connection_t* c = m_connection->get();

    const std::pair<xcb_extension_t*, const char*> required[] = { { &xcb_shm_id, "MIT-SHM" },
        { &xcb_render_id, "RENDER" }, { &xcb_damage_id, "DAMAGE" }, { &xcb_xfixes_id, "XFIXES" } };
    for (const auto& [extension, name] : required)
        if (!extensionPresent(c, extension))
            return CaptureError { CaptureError::NoDisplay,
                std::string("Screen capture needs the X server's ") + name + " extension, which this X server lacks." };
    Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!shm || (shm->major_version == 1 && shm->minor_version < 2))
        return CaptureError { CaptureError::NoDisplay,
            "Screen capture needs MIT-SHM 1.2 (shared memory passed as a file), which this X server lacks." };
    Reply<xcb_render_query_version_reply_t> render(
        xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
    Reply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!render || !xfixes || !damage)
        return lostConnection();
    m_damageEventBase = xcb_get_extension_data(c, &xcb_damage_id)->first_event;

    const xcb_render_query_pict_formats_reply_t* formats = xcb_render_util_query_formats(c);
    const xcb_render_pictforminfo_t* rgb24
        = formats ? xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_RGB_24) : nullptr;
    if (rgb24 == nullptr)
        return CaptureError { CaptureError::NoDisplay, "The X server offers no 24-bit RGB picture format." };
    m_rgb24 = rgb24->id;

    xcb_drawable_t watched = m_connection->root();
    if (filter.kind == ContentFilter::Kind::Window && filter.window) {
        if (!extensionPresent(c, &xcb_composite_id))
            return CaptureError { CaptureError::NoDisplay,
                "Capturing a window needs the X server's Composite extension, which this X server lacks. Capture "
                "a display instead." };
        Reply<xcb_composite_query_version_reply_t> composite(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        m_isWindow = true;
        m_window = filter.window->windowID;
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, m_window), nullptr));
        if (!attributes || !composite)
            return CaptureError { CaptureError::ContentUnavailable, "The window to capture is no longer open." };
        m_sourceFormat = formatForVisual(attributes->visual);
        // Off-screen storage of its own, kept up to date by the server, so a covered window still shows itself.
        xcb_composite_redirect_window(c, m_window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        watched = m_window;
    } else if (filter.kind == ContentFilter::Kind::Display && filter.display) {
        m_area = filter.display->frame;
        const xcb_screen_t* screen = m_connection->screen();
        if (m_area.width < 1 || m_area.height < 1 || m_area.x < 0 || m_area.y < 0
            || m_area.x + m_area.width > screen->width_in_pixels || m_area.y + m_area.height > screen->height_in_pixels)
            return CaptureError { CaptureError::ContentUnavailable, "The display to capture is no longer connected." };
        m_sourceFormat = formatForVisual(screen->root_visual);
        m_rootPicture = xcb_generate_id(c);
        const std::uint32_t values[] = { XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS };
        xcb_render_create_picture(
            c, m_rootPicture, m_connection->root(), m_sourceFormat, XCB_RENDER_CP_SUBWINDOW_MODE, values);
        m_sourceWidth = static_cast<int>(m_area.width);
        m_sourceHeight = static_cast<int>(m_area.height);
        for (const RunningApplication& application : filter.excludedApplications)
            if (application.processID > 0)
                m_excludedProcesses.push_back(application.processID);
        for (const Window& window : filter.exceptedWindows)
            m_exceptedWindows.push_back(window.windowID);
        if (!m_excludedProcesses.empty()) {
            const xcb_render_pictforminfo_t* argb32
                = xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_ARGB_32);
            if (argb32 == nullptr)
                return CaptureError { CaptureError::NoDisplay, "The X server offers no 32-bit ARGB picture format." };
            m_excluding = true;
            m_argb32 = argb32->id;
            m_netWmPid = m_connection->atom("_NET_WM_PID");
            m_excludedRegion = xcb_generate_id(c);
            xcb_xfixes_create_region(c, m_excludedRegion, 0, nullptr);
            // Told when top-level windows appear, go, move or change their stacking.
            const std::uint32_t events[] = { XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY };
            xcb_change_window_attributes(c, m_connection->root(), XCB_CW_EVENT_MASK, events);
        }
    } else {
        return CaptureError { CaptureError::InvalidParameter, "The content filter names nothing to capture." };
    }
    if (m_sourceFormat == 0)
        return CaptureError { CaptureError::InvalidParameter,
            "The content to capture has a visual without a picture format." };

    m_damage = xcb_generate_id(c);
    xcb_damage_create(c, m_damage, watched, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    m_damageRegion = xcb_generate_id(c);
    xcb_xfixes_create_region(c, m_damageRegion, 0, nullptr);

    m_fixedTarget = configuration.width > 0 && configuration.height > 0;
    m_targetWidth = configuration.width;
    m_targetHeight = configuration.height;
    if (m_fixedTarget && (m_targetWidth > kMaxFrameSide || m_targetHeight > kMaxFrameSide))
        return CaptureError { CaptureError::InvalidParameter, "The requested frame size is too large." };
    m_interval = frameIntervalNanoseconds(configuration.minimumFrameInterval, kDefaultFrameInterval);

    xcb_flush(c);
    if (m_connection->hasError())
        return lostConnection();
    return std::nullopt;
}

VideoSource::~VideoSource()
{
    m_worker.stop();
    if (!m_connection)
        return;
    xcb_connection_t* c = m_connection->get();
    freeStages();
    if (m_rootPicture)
        xcb_render_free_picture(c, m_rootPicture);
    if (m_damage)
        xcb_damage_destroy(c, m_damage);
    if (m_damageRegion)
        xcb_xfixes_destroy_region(c, m_damageRegion);
    if (m_excludedRegion)
        xcb_xfixes_destroy_region(c, m_excludedRegion);
    if (m_isWindow)
        xcb_composite_unredirect_window(c, m_window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (m_segment)
        xcb_shm_detach(c, m_segment);
    xcb_flush(c);
    if (m_shared)
        munmap(m_shared, m_sharedSize);
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

void VideoSource::freeStages()
{
    xcb_connection_t* c = m_connection->get();
    for (std::vector<Stage>* stages : { &m_stages, &m_coverageStages }) {
        for (const Stage& stage : *stages) {
            xcb_render_free_picture(c, stage.picture);
            xcb_free_pixmap(c, stage.pixmap);
        }
        stages->clear();
    }
}

void VideoSource::createPixmaps(std::vector<Stage>& stages, std::uint8_t depth, xcb_render_pictformat_t format)
{
    xcb_connection_t* c = m_connection->get();
    for (Stage& stage : stages) {
        stage.pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, depth, stage.pixmap, m_connection->root(), static_cast<std::uint16_t>(stage.width),
            static_cast<std::uint16_t>(stage.height));
        stage.picture = xcb_generate_id(c);
        // Samples just past an edge repeat the edge instead of reading black.
        const std::uint32_t values[] = { XCB_RENDER_REPEAT_PAD };
        xcb_render_create_picture(c, stage.picture, stage.pixmap, format, XCB_RENDER_CP_REPEAT, values);
    }
}

void VideoSource::buildStages(int sourceWidth, int sourceHeight)
{
    freeStages();
    xcb_connection_t* c = m_connection->get();
    const int targetWidth = m_fixedTarget ? m_targetWidth : std::min(sourceWidth, kMaxFrameSide);
    const int targetHeight = m_fixedTarget ? m_targetHeight : std::min(sourceHeight, kMaxFrameSide);
    // Halve while more than twice too large: each pass averages 2 × 2 (or 2 × 1) source pixels exactly.
    int width = sourceWidth;
    int height = sourceHeight;
    while (width > 2 * targetWidth || height > 2 * targetHeight) {
        Stage stage;
        stage.scaleX = width > 2 * targetWidth ? 2 : 1;
        stage.scaleY = height > 2 * targetHeight ? 2 : 1;
        stage.width = width / static_cast<int>(stage.scaleX);
        stage.height = height / static_cast<int>(stage.scaleY);
        m_stages.push_back(stage);
        width = stage.width;
        height = stage.height;
    }
    Stage last;
    last.width = targetWidth;
    last.height = targetHeight;
    last.scaleX = double(width) / targetWidth;
    last.scaleY = double(height) / targetHeight;
    last.box = last.scaleX > 1 || last.scaleY > 1;
    m_stages.push_back(last);

    // 24-bit RGB throughout: the X server's fast paths scale that (an alpha channel would take a slow one).
    createPixmaps(m_stages, 24, m_rgb24);
    if (m_excluding) {
        m_coverageStages = m_stages;
        createPixmaps(m_coverageStages, 32, m_argb32);
        m_coverageKnown = false;
    }

    const std::size_t needed = static_cast<std::size_t>(targetWidth) * static_cast<std::size_t>(targetHeight) * 4;
    if (needed > m_sharedSize) {
        if (m_segment)
            xcb_shm_detach(c, m_segment);
        if (m_shared)
            munmap(m_shared, m_sharedSize);
        m_segment = 0;
        m_shared = nullptr;
        m_sharedSize = 0;
        const int fd = memfd_create("corvex-capture-frame", MFD_CLOEXEC);
        if (fd < 0)
            return;
        void* memory = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(needed)) == 0)
            memory = mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) {
            close(fd);
            return;
        }
        m_shared = static_cast<std::uint8_t*>(memory);
        m_sharedSize = needed;
        m_segment = xcb_generate_id(c);
        xcb_shm_attach_fd(c, m_segment, fd, 0); // passes the descriptor to the server, which closes ours
    }
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_renderAll = true;
}

VideoSource::Area VideoSource::takeDamage(int sourceWidth, int sourceHeight)
{
    xcb_connection_t* c = m_connection->get();
    xcb_damage_subtract(c, m_damage, XCB_NONE, m_damageRegion);
    if (m_excluding) // what excluded windows draw is no change of the frame
        xcb_xfixes_subtract_region(c, m_damageRegion, m_excludedRegion, m_damageRegion);
    const Area forced = std::exchange(m_forced, Area {});
    const Area whole { 0, 0, sourceWidth, sourceHeight };
    if (m_renderAll) {
        m_renderAll = false;
        return whole;
    }
    Reply<xcb_xfixes_fetch_region_reply_t> region(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, m_damageRegion), nullptr));
    if (!region)
        return whole;
    // The bounding box: a few rectangles more cost less than many small passes.
    const xcb_rectangle_t& extents = region->extents;
    const int x = extents.x - static_cast<int>(m_area.x);
    const int y = extents.y - static_cast<int>(m_area.y);
    const Area damaged { std::max(0, x), std::max(0, y), std::min(sourceWidth, x + extents.width),
        std::min(sourceHeight, y + extents.height) };
    return unite(damaged, forced);
}

void VideoSource::renderPass(
    xcb_render_picture_t source, const Stage& stage, double offsetX, double offsetY, const Area& area)
{
    xcb_connection_t* c = m_connection->get();
    const xcb_render_transform_t transform { fixed(stage.scaleX), 0, fixed(offsetX), 0, fixed(stage.scaleY),
        fixed(offsetY), 0, 0, fixed(1) };
    xcb_render_set_picture_transform(c, source, transform);
    if (stage.box) {
        static const char kName[] = "convolution";
        const xcb_render_fixed_t kernel[] = { fixed(2), fixed(2), fixed(0.25), fixed(0.25), fixed(0.25), fixed(0.25) };
        xcb_render_set_picture_filter(c, source, sizeof kName - 1, kName, 6, kernel);
    } else {
        static const char kBilinear[] = "bilinear";
        static const char kNearest[] = "nearest";
        const bool scaled = stage.scaleX != 1 || stage.scaleY != 1;
        xcb_render_set_picture_filter(
            c, source, scaled ? sizeof kBilinear - 1 : sizeof kNearest - 1, scaled ? kBilinear : kNearest, 0, nullptr);
    }
    const auto x = static_cast<std::int16_t>(area.x0);
    const auto y = static_cast<std::int16_t>(area.y0);
    xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, source, XCB_NONE, stage.picture, x, y, 0, 0, x, y,
        static_cast<std::uint16_t>(area.x1 - area.x0), static_cast<std::uint16_t>(area.y1 - area.y0));
}

void VideoSource::pumpEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection->get())) {
        const int type = event->response_type & 0x7f;
        if (type == m_damageEventBase + XCB_DAMAGE_NOTIFY)
            m_damaged = true;
        switch (type) {
        case XCB_REPARENT_NOTIFY:
            m_owners.clear(); // a frame may now hold another client window
            [[fallthrough]];
        case XCB_CREATE_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:
        case XCB_GRAVITY_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
            m_windowsChanged = true;
            break;
        default:
            break;
        }
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
    if (std::optional<CaptureError> error = grab(frame)) {
        sink.fail(*error);
        return false;
    }
    if (frame.imageBuffer)
        sink.deliverVideo(std::move(frame));
    return true;
}

std::optional<CaptureError> VideoSource::grab(SampleBuffer& frame)
{
    xcb_connection_t* c = m_connection->get();
    const media::MediaTime time = hostTimeNow();
    xcb_pixmap_t windowPixmap = 0;
    xcb_render_picture_t windowPicture = 0;
    int width = m_sourceWidth;
    int height = m_sourceHeight;
    bool viewable = true;
    if (m_isWindow) {
        xcb_generic_error_t* rawError = nullptr;
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, m_window), &rawError));
        const Reply<xcb_generic_error_t> error(rawError);
        if (!geometry)
            return m_connection->hasError() ? lostConnection() : windowClosed();
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, m_window), nullptr));
        if (!attributes)
            return m_connection->hasError() ? lostConnection() : windowClosed();
        viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        width = geometry->width;
        height = geometry->height;
    }
    if (m_stages.empty() || width != m_sourceWidth || height != m_sourceHeight) {
        buildStages(width, height);
        m_damaged = true;
        m_lastFrame.reset();
    }
    if (!m_shared)
        return CaptureError { CaptureError::Internal, "No shared memory could be had for captured frames." };
    if (m_excluding && m_windowsChanged)
        updateExclusion();

    if ((!m_damaged || !viewable) && m_lastFrame) {
        // Nothing new: the last pixels again, marked idle, with no work for the server.
        frame = *m_lastFrame;
        frame.outputPresentationTimeStamp = time;
        frame.sampleAttachments->front()[frame_info::kStatus] = static_cast<std::int64_t>(FrameStatus::Idle);
        return std::nullopt;
    }
    if (!viewable)
        return std::nullopt; // an unmapped window has no pixels to show yet
    m_damaged = false;
    Area changed = takeDamage(width, height);
    if (changed.isEmpty() && m_lastFrame) {
        // The change lies outside the captured area.
        frame = *m_lastFrame;
        frame.outputPresentationTimeStamp = time;
        frame.sampleAttachments->front()[frame_info::kStatus] = static_cast<std::int64_t>(FrameStatus::Idle);
        return std::nullopt;
    }
    if (changed.isEmpty())
        changed = { 0, 0, width, height };

    xcb_render_picture_t source = m_rootPicture;
    double offsetX = m_area.x;
    double offsetY = m_area.y;
    if (m_isWindow) {
        windowPixmap = xcb_generate_id(c);
        Reply<xcb_generic_error_t> error(
            xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, m_window, windowPixmap)));
        if (error) // unmapped or gone since the check above: try again next time
            return std::nullopt;
        windowPicture = xcb_generate_id(c);
        xcb_render_create_picture(c, windowPicture, windowPixmap, m_sourceFormat, 0, nullptr);
        source = windowPicture;
        offsetX = 0;
        offsetY = 0;
    }
    for (std::size_t i = 0; i < m_stages.size(); ++i) {
        if (i > 0) {
            source = m_stages[i - 1].picture;
            offsetX = 0;
            offsetY = 0;
        }
        // Each destination pixel reads source pixels near scale × (its centre): one pixel of margin covers that.
        const Stage& stage = m_stages[i];
        changed = { std::max(0, static_cast<int>(std::floor(changed.x0 / stage.scaleX)) - 1),
            std::max(0, static_cast<int>(std::floor(changed.y0 / stage.scaleY)) - 1),
            std::min(stage.width, static_cast<int>(std::ceil(changed.x1 / stage.scaleX)) + 1),
            std::min(stage.height, static_cast<int>(std::ceil(changed.y1 / stage.scaleY)) + 1) };
        renderPass(source, stage, offsetX, offsetY, changed);
        if (i == 0 && m_excluding)
            fillExcluded(stage, { 0, 0, 0, 0xffff }); // black: they add nothing to the averages
    }
    if (windowPicture) {
        xcb_render_free_picture(c, windowPicture);
        xcb_free_pixmap(c, windowPixmap);
    }
    const Stage& last = m_stages.back();
    if (m_excluding && !m_coverageKnown)
        measureCoverage();
    if (!readBack(last))
        return m_connection->hasError() ? lostConnection() : std::optional<CaptureError>();

    frame = SampleBuffer::videoFrame(last.width, last.height, time);
    std::uint8_t* destination = frame.imageBuffer->baseAddress();
    const std::size_t rowBytes = static_cast<std::size_t>(last.width) * 4;
    for (int y = 0; y < last.height; ++y) {
        std::uint8_t* row = destination + static_cast<std::size_t>(y) * frame.imageBuffer->bytesPerRow();
        std::memcpy(row, m_shared + static_cast<std::size_t>(y) * rowBytes, rowBytes);
        // The X server leaves the padding byte undefined. It becomes the visible share of the pixel's area.
        for (int x = 0; x < last.width; ++x)
            row[4 * x + 3] = m_excluding ? m_coverage[std::size_t(y) * std::size_t(last.width) + std::size_t(x)] : 0xff;
    }
    if (m_excluding)
        revealCoveredPixels(destination, last.width, last.height, frame.imageBuffer->bytesPerRow());
    Attachments& info = frame.sampleAttachments->front();
    info[frame_info::kContentScale] = double(last.width) / double(width);
    info[frame_info::kScaleFactor] = 1.0;
    m_lastFrame = frame;
    return std::nullopt;
}

VideoSource::Owner VideoSource::ownerOf(xcb_window_t window, int depth)
{
    xcb_connection_t* c = m_connection->get();
    Owner owner;
    owner.excepted = std::find(m_exceptedWindows.begin(), m_exceptedWindows.end(), window) != m_exceptedWindows.end();
    if (const std::optional<std::uint32_t> pid = m_connection->cardinal(window, m_netWmPid)) {
        owner.processID = *pid;
        return owner;
    }
    // A window manager's frame: the client window is inside it.
    if (depth > 0) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                const Owner inner = ownerOf(children[i], depth - 1);
                if (inner.processID != 0)
                    return { inner.processID, owner.excepted || inner.excepted };
            }
        }
    }
    return owner;
}

std::vector<VideoSource::Area> VideoSource::visibleExcludedAreas()
{
    xcb_connection_t* c = m_connection->get();
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, m_connection->root()), nullptr));
    if (!tree)
        return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies(count);
    std::vector<xcb_get_geometry_cookie_t> geometryCookies(count);
    for (std::size_t i = 0; i < count; ++i) {
        attributeCookies[i] = xcb_get_window_attributes(c, children[i]);
        geometryCookies[i] = xcb_get_geometry(c, children[i]);
    }
    // Bottom to top: an excluded window adds its rectangle, any other window hides what lies under it.
    std::vector<Area> visible;
    std::unordered_map<xcb_window_t, Owner> owners;
    for (std::size_t i = 0; i < count; ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE
            || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
            continue;
        const int border = 2 * geometry->border_width;
        const Area rectangle { geometry->x, geometry->y, geometry->x + geometry->width + border,
            geometry->y + geometry->height + border };
        const auto known = m_owners.find(children[i]);
        const Owner owner = known != m_owners.end() ? known->second : ownerOf(children[i], 2);
        owners.emplace(children[i], owner);
        const bool excluded = !owner.excepted
            && std::find(m_excludedProcesses.begin(), m_excludedProcesses.end(), owner.processID)
                != m_excludedProcesses.end();
        if (excluded)
            visible.push_back(rectangle);
        else
            subtract(visible, rectangle);
    }
    m_owners = std::move(owners);

    std::vector<Area> onDisplay;
    const int left = static_cast<int>(m_area.x), top = static_cast<int>(m_area.y);
    for (const Area& area : visible) {
        const Area clipped { std::max(0, area.x0 - left), std::max(0, area.y0 - top),
            std::min(m_sourceWidth, area.x1 - left), std::min(m_sourceHeight, area.y1 - top) };
        if (!clipped.isEmpty())
            onDisplay.push_back(clipped);
    }
    return onDisplay;
}

void VideoSource::updateExclusion()
{
    m_windowsChanged = false;
    std::vector<Area> now = visibleExcludedAreas();
    if (now == m_excluded)
        return;
    // Where excluded areas went, the display shows again; where they came, it goes.
    for (const Area& area : m_excluded)
        m_forced = unite(m_forced, area);
    for (const Area& area : now)
        m_forced = unite(m_forced, area);
    m_excluded = std::move(now);
    m_coverageKnown = false;
    std::vector<xcb_rectangle_t> rectangles;
    for (const Area& area : m_excluded)
        rectangles.push_back(
            { static_cast<std::int16_t>(area.x0 + m_area.x), static_cast<std::int16_t>(area.y0 + m_area.y),
                static_cast<std::uint16_t>(area.x1 - area.x0), static_cast<std::uint16_t>(area.y1 - area.y0) });
    xcb_xfixes_set_region(
        m_connection->get(), m_excludedRegion, static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
    m_damaged = true;
}

void VideoSource::fillExcluded(const Stage& stage, const xcb_render_color_t& colour)
{
    // Every stage pixel that any excluded source pixel falls in: nothing of those windows shows.
    std::vector<xcb_rectangle_t> rectangles;
    for (const Area& area : m_excluded) {
        const int x0 = static_cast<int>(std::floor(area.x0 / stage.scaleX));
        const int y0 = static_cast<int>(std::floor(area.y0 / stage.scaleY));
        const int x1 = std::min(stage.width, static_cast<int>(std::ceil(area.x1 / stage.scaleX)));
        const int y1 = std::min(stage.height, static_cast<int>(std::ceil(area.y1 / stage.scaleY)));
        if (x1 > x0 && y1 > y0)
            rectangles.push_back({ static_cast<std::int16_t>(x0), static_cast<std::int16_t>(y0),
                static_cast<std::uint16_t>(x1 - x0), static_cast<std::uint16_t>(y1 - y0) });
    }
    if (rectangles.empty())
        return;
    xcb_render_fill_rectangles(m_connection->get(), XCB_RENDER_PICT_OP_SRC, stage.picture, colour,
        static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
}

bool VideoSource::readBack(const Stage& stage)
{
    xcb_connection_t* c = m_connection->get();
    const Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(c,
        xcb_shm_get_image(c, stage.pixmap, 0, 0, static_cast<std::uint16_t>(stage.width),
            static_cast<std::uint16_t>(stage.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0),
        nullptr));
    return image != nullptr;
}

void VideoSource::measureCoverage()
{
    xcb_connection_t* c = m_connection->get();
    const Stage& last = m_coverageStages.back();
    const std::size_t count = std::size_t(last.width) * std::size_t(last.height);
    m_coverageKnown = true;
    if (m_excluded.empty()) {
        m_coverage.assign(count, 0xff);
        return;
    }
    // A mask of what is visible through the passes of the frame: what they
    // make of it is how much of each frame pixel's area is visible. (Only when
    // the excluded windows move: the mask's passes take the server's slow path.)
    const Stage& first = m_coverageStages.front();
    const xcb_render_color_t opaque { 0, 0, 0, 0xffff };
    const xcb_rectangle_t all { 0, 0, static_cast<std::uint16_t>(first.width),
        static_cast<std::uint16_t>(first.height) };
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, first.picture, opaque, 1, &all);
    fillExcluded(first, { 0, 0, 0, 0 });
    for (std::size_t i = 1; i < m_coverageStages.size(); ++i) {
        const Stage& stage = m_coverageStages[i];
        renderPass(m_coverageStages[i - 1].picture, stage, 0, 0, { 0, 0, stage.width, stage.height });
    }
    m_coverage.assign(count, 0xff);
    if (!readBack(last)) {
        m_coverageKnown = false; // try again with the next frame
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
        m_coverage[i] = m_shared[4 * i + 3];
}

} // namespace corvex::screencapture::x11
