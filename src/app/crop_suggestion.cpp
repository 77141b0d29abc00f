#include "app/crop_suggestion.h"

#include "app/video_file_authoring.h"
#include "capture/screen_recorder.h"
#include "platform/media/pixel_buffer.h"

#include <cstring>

namespace corvex::app {

namespace {

// Proposals this close to each other (a hundredth of the picture) are one.
bool same(const std::optional<media::Rect>& a, const std::optional<media::Rect>& b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    constexpr double kSlack = 0.01;
    return std::abs(a->x - b->x) < kSlack && std::abs(a->y - b->y) < kSlack && std::abs(a->width - b->width) < kSlack
        && std::abs(a->height - b->height) < kSlack;
}

} // namespace

CropSuggestion::CropSuggestion(capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QObject* parent)
    : QObject(parent)
    , m_screenRecorder(screenRecorder)
    , m_videoFile(videoFile)
{
    using capture::ScreenRecorder;
    connect(
        screenRecorder.capturePreview(), &capture::CapturePreview::contentsChanged, this, [this] { m_dirty = true; });
    // Another picture starts the evidence afresh.
    connect(&screenRecorder, &ScreenRecorder::captureTypeChanged, this, &CropSuggestion::restartLive);
    connect(&screenRecorder, &ScreenRecorder::selectedDisplayChanged, this, &CropSuggestion::restartLive);
    connect(&screenRecorder, &ScreenRecorder::selectedWindowChanged, this, &CropSuggestion::restartLive);
    connect(&screenRecorder, &ScreenRecorder::cropChanged, this, &CropSuggestion::changed);
    connect(&videoFile, &VideoFileAuthoring::proposedCropChanged, this, &CropSuggestion::changed);
    connect(&videoFile, &VideoFileAuthoring::activeChanged, this, &CropSuggestion::changed);
    m_timer.setInterval(1000 / kLiveLooksPerSecond);
    connect(&m_timer, &QTimer::timeout, this, &CropSuggestion::look);
    m_timer.start();
}

std::optional<media::Rect> CropSuggestion::proposal() const
{
    return m_videoFile.isActive() ? m_videoFile.proposedCrop() : m_live;
}

bool CropSuggestion::isNew() const
{
    const std::optional<media::Rect> proposed = proposal();
    return proposed && !same(proposed, m_screenRecorder.crop());
}

void CropSuggestion::apply()
{
    if (const std::optional<media::Rect> proposed = proposal())
        m_screenRecorder.setCrop(proposed);
}

void CropSuggestion::restartLive()
{
    m_detector = analysis::BlackBarDetector();
    m_dirty = false;
    setLive(std::nullopt);
}

void CropSuggestion::setLive(const std::optional<media::Rect>& crop)
{
    if (same(m_live, crop))
        return;
    m_live = crop;
    if (!m_videoFile.isActive())
        Q_EMIT changed();
}

void CropSuggestion::look()
{
    if (!m_dirty || m_videoFile.isActive())
        return;
    m_dirty = false;
    const std::shared_ptr<const screencapture::Surface>& surface = m_screenRecorder.capturePreview()->contents();
    if (!surface || !surface->pixels || surface->format != media::PixelFormat::BGRA || surface->width <= 0
        || surface->height <= 0)
        return;
    // A copy: the detector wants a buffer of its own, and the captured
    // frames are small (a few tens of kilobytes).
    const auto created = media::PixelBuffer::create(surface->width, surface->height, media::PixelFormat::BGRA);
    if (!created.buffer)
        return;
    media::PixelBuffer& copy = *created.buffer;
    const std::size_t row = std::min(copy.bytesPerRow(), surface->bytesPerRow);
    for (int y = 0; y < surface->height; ++y)
        std::memcpy(copy.baseAddress() + y * copy.bytesPerRow(), surface->pixels.get() + y * surface->bytesPerRow, row);
    m_detector.addFrame(copy);
    setLive(m_detector.proposedCrop());
}

} // namespace corvex::app
