#include "app/audio_section.h"

#include "app/audio_levels_view.h"
#include "app/video_file_authoring.h"
#include "capture/screen_recorder.h"

#include <QVBoxLayout>

namespace corvex::app {

AudioSection::AudioSection(capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QWidget* parent)
    : PanelSection(QStringLiteral("Audio"), parent)
    , m_videoFile(videoFile)
    , m_levels(new AudioLevelsView(*screenRecorder.audioLevelsProvider(), this))
    , m_fileLevels(new AudioLevelsView(*videoFile.audioLevels(), this))
{
    rows()->addWidget(m_levels);
    rows()->addWidget(m_fileLevels);
    connect(&videoFile, &VideoFileAuthoring::activeChanged, this, &AudioSection::updateRoad);
    updateRoad();
}

AudioLevelsView* AudioSection::levels() const
{
    return m_videoFile.isActive() ? m_fileLevels : m_levels;
}

void AudioSection::updateRoad()
{
    m_levels->setVisible(!m_videoFile.isActive());
    m_fileLevels->setVisible(m_videoFile.isActive());
}

} // namespace corvex::app
