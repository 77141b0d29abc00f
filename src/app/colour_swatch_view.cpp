#include "app/colour_swatch_view.h"

#include <QPainter>

namespace corvex::app {

ColourSwatchView::ColourSwatchView(QWidget* parent)
    : QWidget(parent)
{
    // Large enough to tell nine neighbouring colours apart at a glance.
    setMinimumSize(120, 48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Live colours"));
}

void ColourSwatchView::setColours(const std::optional<analysis::GridColours>& colours)
{
    if (m_colours == colours)
        return;
    m_colours = colours;
    update();
}

QColor ColourSwatchView::borderColour(const QColor& background)
{
    // Mid grey, on the far side of the background: a black cell on a dark
    // panel and a white one on a light panel keep their edges.
    return background.lightness() < 128 ? QColor(150, 150, 150) : QColor(96, 96, 96);
}

void ColourSwatchView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // Cells keep the grid's places (top row = top of the picture) with a thin
    // gap, so that two equal neighbours still read as two lights.
    constexpr double gap = 2;
    const double cellWidth = (width() - 2 * gap) / 3.0;
    const double cellHeight = (height() - 2 * gap) / 3.0;
    painter.setPen(QPen(borderColour(palette().color(backgroundRole())), 1));
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QRectF box(column * (cellWidth + gap), row * (cellHeight + gap), cellWidth, cellHeight);
            const analysis::RGB* rgb = m_colours ? &(*m_colours)[static_cast<std::size_t>(row * 3 + column)] : nullptr;
            painter.setBrush(rgb ? QColor(int(rgb->r), int(rgb->g), int(rgb->b)) : QColor(128, 128, 128, 50));
            painter.drawRect(box.adjusted(0.5, 0.5, -0.5, -0.5));
        }
    }
}

} // namespace corvex::app
