#include "app/audio_section.h"

#include "app/audio_levels_view.h"
#include "app/recording_sources.h"
#include "capture/recording_source.h"

#include <QVBoxLayout>

namespace corvex::app {

AudioSection::AudioSection(RecordingSources& sources, QWidget* parent)
    : PanelSection(QStringLiteral("Audio"), parent)
    , m_levels(new AudioLevelsView(*sources.current().audioLevels(), this))
{
    rows()->addWidget(m_levels);
    connect(&sources, &RecordingSources::currentChanged, this,
        [this, &sources] { m_levels->setProvider(*sources.current().audioLevels()); });
}

} // namespace corvex::app
