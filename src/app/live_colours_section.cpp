#include "app/live_colours_section.h"

#include "app/colour_swatch_view.h"
#include "app/video_file_authoring.h"
#include "capture/screen_recorder.h"

#include <QVBoxLayout>

namespace corvex::app {

LiveColoursSection::LiveColoursSection(
    capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QWidget* parent)
    : PanelSection(QStringLiteral("Live colours"), parent)
    , m_screenRecorder(screenRecorder)
    , m_videoFile(videoFile)
    , m_swatch(new ColourSwatchView(this))
{
    rows()->addWidget(m_swatch);
    // The swatch follows the preview at most ten times a second.
    connect(
        screenRecorder.capturePreview(), &capture::CapturePreview::contentsChanged, this, [this] { m_dirty = true; });
    connect(&screenRecorder, &capture::ScreenRecorder::cropChanged, this, [this] { m_dirty = true; });
    connect(videoFile.preview(), &capture::CapturePreview::contentsChanged, this, [this] { m_dirty = true; });
    connect(&videoFile, &VideoFileAuthoring::activeChanged, this, [this] { m_dirty = true; });
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &LiveColoursSection::updateSwatch);
    m_timer.start();
}

void LiveColoursSection::updateSwatch()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    m_swatch->setColours(
        (m_videoFile.isActive() ? m_videoFile.preview() : m_screenRecorder.capturePreview())->colours());
}

} // namespace corvex::app
