#pragma once

#include "app/panel_section.h"

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

class AudioLevelsView;

/// "Audio": the level meter of the captured sound.
class AudioSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioSection)

public:
    explicit AudioSection(capture::ScreenRecorder& screenRecorder, QWidget* parent = nullptr);

    AudioLevelsView* levels() const { return m_levels; }

private:
    AudioLevelsView* m_levels;
};

} // namespace corvex::app
