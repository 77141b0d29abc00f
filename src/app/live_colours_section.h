#pragma once

#include "app/panel_section.h"

#include <QTimer>

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

class ColourSwatchView;
class VideoFileAuthoring;

/// "Live colours": the nine colours the lights get from the picture as it is
/// now, through the same crop and sampling as a recording.
class LiveColoursSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveColoursSection)

public:
    LiveColoursSection(
        capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QWidget* parent = nullptr);

    ColourSwatchView* swatch() const { return m_swatch; }

private:
    void updateSwatch();

    capture::ScreenRecorder& m_screenRecorder;
    VideoFileAuthoring& m_videoFile;
    ColourSwatchView* m_swatch;
    QTimer m_timer;
    bool m_dirty = false;
};

} // namespace corvex::app
