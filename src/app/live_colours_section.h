#pragma once

#include "app/panel_section.h"

#include <QTimer>

namespace corvex::app {

class ColourSwatchView;
class RecordingSources;

/// "Live colours": the nine colours the lights get from the picture as it is
/// now, through the same crop and sampling as a recording; empty while there
/// is no picture.
class LiveColoursSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveColoursSection)

public:
    explicit LiveColoursSection(RecordingSources& sources, QWidget* parent = nullptr);

    ColourSwatchView* swatch() const { return m_swatch; }

private:
    void follow();
    void updateSwatch();

    RecordingSources& m_sources;
    ColourSwatchView* m_swatch;
    QMetaObject::Connection m_connection;
    QTimer m_timer;
    bool m_dirty = false;
};

} // namespace corvex::app
