#pragma once

#include "app/panel_section.h"

namespace corvex::app {

class AudioLevelsView;
class RecordingSources;

/// "Audio": the level meter of the sound of the source in use.
class AudioSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioSection)

public:
    explicit AudioSection(RecordingSources& sources, QWidget* parent = nullptr);

    AudioLevelsView* levels() const { return m_levels; }

private:
    AudioLevelsView* m_levels;
};

} // namespace corvex::app
