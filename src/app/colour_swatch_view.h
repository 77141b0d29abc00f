#pragma once

#include "analysis/frame_sampler.h"

#include <QWidget>

#include <optional>

namespace corvex::app {

/// The 3 × 3 grid of the colours being sampled (as the capture sampled them,
/// by grid position), as wide as it is given.
class ColourSwatchView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ColourSwatchView)

public:
    explicit ColourSwatchView(QWidget* parent = nullptr);

    void setColours(const std::optional<analysis::GridColours>& colours);
    const std::optional<analysis::GridColours>& colours() const { return m_colours; }
    QSize sizeHint() const override { return { 240, 48 }; }
    /// The edge of each cell on a panel of `background`.
    static QColor borderColour(const QColor& background);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<analysis::GridColours> m_colours;
};

} // namespace corvex::app
