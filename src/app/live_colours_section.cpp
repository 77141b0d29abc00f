#include "app/live_colours_section.h"

#include "app/colour_swatch_view.h"
#include "app/recording_sources.h"
#include "capture/recording_source.h"

#include <QVBoxLayout>

namespace corvex::app {

LiveColoursSection::LiveColoursSection(RecordingSources& sources, QWidget* parent)
    : PanelSection(QStringLiteral("Live colours"), parent)
    , m_sources(sources)
    , m_swatch(new ColourSwatchView(this))
{
    rows()->addWidget(m_swatch);
    // The swatch follows the preview at most ten times a second.
    connect(&sources, &RecordingSources::cropChanged, this, [this] { m_dirty = true; });
    connect(&sources, &RecordingSources::currentChanged, this, &LiveColoursSection::follow);
    follow();
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &LiveColoursSection::updateSwatch);
    m_timer.start();
}

void LiveColoursSection::follow()
{
    disconnect(m_connection);
    m_connection = connect(
        m_sources.current().preview(), &capture::CapturePreview::contentsChanged, this, [this] { m_dirty = true; });
    m_dirty = true;
}

void LiveColoursSection::updateSwatch()
{
    if (!std::exchange(m_dirty, false))
        return;
    m_swatch->setColours(m_sources.current().preview()->colours());
}

} // namespace corvex::app
