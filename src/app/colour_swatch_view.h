#pragma once

#include "platform/media/rect.h"
#include "platform/screencapture/sample_buffer.h"

#include <QColor>
#include <QWidget>

#include <array>
#include <optional>

namespace corvex::app {

/// The nine colours a frame gives the lights, by grid position (row-major:
/// index = row × 3 + column), through the same crop, 5 × 5 shrink and
/// sampling as a recording. None when the frame cannot be sampled.
std::optional<std::array<QColor, 9>> sampleSwatch(
    const screencapture::Surface& surface, const std::optional<media::Rect>& crop);

/// The 3 × 3 grid of the colours being sampled, as wide as it is given.
class ColourSwatchView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ColourSwatchView)

public:
    explicit ColourSwatchView(QWidget* parent = nullptr);

    void setColours(const std::optional<std::array<QColor, 9>>& colours);
    const std::optional<std::array<QColor, 9>>& colours() const { return m_colours; }
    QSize sizeHint() const override { return { 240, 48 }; }
    /// The edge of each cell on a panel of `background`.
    static QColor borderColour(const QColor& background);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<std::array<QColor, 9>> m_colours;
};

} // namespace corvex::app
