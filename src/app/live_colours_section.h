#pragma once

#include "app/panel_section.h"

#include <QTimer>

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

class ColourSwatchView;

/// "Live colours": the nine colours the lights get from the picture as it is
/// now, through the same crop and sampling as a recording.
class LiveColoursSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveColoursSection)

public:
    explicit LiveColoursSection(capture::ScreenRecorder& screenRecorder, QWidget* parent = nullptr);

    ColourSwatchView* swatch() const { return m_swatch; }

private:
    void updateSwatch();

    capture::ScreenRecorder& m_screenRecorder;
    ColourSwatchView* m_swatch;
    QTimer m_timer;
    bool m_dirty = false;
};

} // namespace corvex::app
