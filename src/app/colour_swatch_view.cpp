#include "app/colour_swatch_view.h"

#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/pixel_buffer_resize.h"
#include "analysis/video_analysis_record.h"

#include <QPainter>

namespace corvex::app {

std::optional<std::array<QColor, 9>> sampleSwatch(
    const screencapture::Surface& surface, const std::optional<media::Rect>& crop)
{
    if (!surface.pixels || surface.width <= 0 || surface.height <= 0)
        return std::nullopt;
    // Read only: the resize locks the source for reading.
    const std::shared_ptr<media::PixelBuffer> source = media::PixelBuffer::wrap(surface.width, surface.height,
        surface.bytesPerRow, surface.format, std::const_pointer_cast<std::uint8_t>(surface.pixels));
    if (!source)
        return std::nullopt;
    const std::shared_ptr<media::PixelBuffer> small = analysis::resizePixelBuffer(*source, 5, 5, crop);
    if (!small)
        return std::nullopt;
    VideoAnalysis record = analysis::initialVideoAnalysis();
    analysis::sampleFrame(*small, 0, record);
    if (record.timestamps_size() != 1)
        return std::nullopt;
    std::array<QColor, 9> colours;
    for (const auto& [name, rgb] : analysis::previewColors(record)) {
        if (name.size() != 2)
            continue;
        const int column = name[0] - '0';
        const int row = name[1] - '0';
        if (column < 0 || column > 2 || row < 0 || row > 2)
            continue;
        colours[static_cast<std::size_t>(row * 3 + column)]
            = QColor(static_cast<int>(rgb.r), static_cast<int>(rgb.g), static_cast<int>(rgb.b));
    }
    return colours;
}

ColourSwatchView::ColourSwatchView(QWidget* parent)
    : QWidget(parent)
{
    // Large enough to tell nine neighbouring colours apart at a glance.
    setMinimumSize(120, 48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Live colours"));
}

void ColourSwatchView::setColours(const std::optional<std::array<QColor, 9>>& colours)
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
            painter.setBrush(
                m_colours ? (*m_colours)[static_cast<std::size_t>(row * 3 + column)] : QColor(128, 128, 128, 50));
            painter.drawRect(box.adjusted(0.5, 0.5, -0.5, -0.5));
        }
    }
}

} // namespace corvex::app
