#include "app/audio_section.h"

#include "app/audio_levels_view.h"
#include "capture/screen_recorder.h"

#include <QVBoxLayout>

namespace corvex::app {

AudioSection::AudioSection(capture::ScreenRecorder& screenRecorder, QWidget* parent)
    : PanelSection(QStringLiteral("Audio"), parent)
    , m_levels(new AudioLevelsView(*screenRecorder.audioLevelsProvider(), this))
{
    rows()->addWidget(m_levels);
}

} // namespace corvex::app
