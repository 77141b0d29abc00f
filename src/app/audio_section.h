#pragma once

#include "app/panel_section.h"

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

class AudioLevelsView;
class VideoFileAuthoring;

/// "Audio": the level meter of the captured sound, or of the film being analysed.
class AudioSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioSection)

public:
    AudioSection(capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QWidget* parent = nullptr);

    /// The meter of the road in use.
    AudioLevelsView* levels() const;

private:
    void updateRoad();

    VideoFileAuthoring& m_videoFile;
    AudioLevelsView* m_levels;
    AudioLevelsView* m_fileLevels;
};

} // namespace corvex::app
