#pragma once

#include "platform/media/rect.h"

#include <QPoint>
#include <QWidget>

#include <optional>

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

/// The live picture of what is captured, with the crop drawn over it. Dragging
/// a rectangle sets the recorder's crop (fractions of the frame); not while a
/// recording runs. While `stopped` is set the picture is dimmed, under a large
/// note when there is one (“Uploaded”), else under a "no entry" sign with a
/// line of text when there is something to say.
class CapturePreviewView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturePreviewView)

public:
    CapturePreviewView(capture::ScreenRecorder& screenRecorder, analysis::AnalysisRecorder& analysisRecorder,
        QWidget* parent = nullptr);

    void setStopped(bool stopped, const QString& message = {}, const QString& note = {});
    bool isStopped() const { return m_stopped; }
    /// The large note shown instead of the sign; empty when the sign shows.
    QString note() const { return m_note; }
    /// The crop a drag between two points of this view selects; none when
    /// the drag is too small to mean a rectangle.
    std::optional<media::Rect> cropForDrag(QPoint from, QPoint to) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool canCrop() const;

    capture::ScreenRecorder& m_screenRecorder;
    analysis::AnalysisRecorder& m_analysisRecorder;
    bool m_stopped = false;
    QString m_stoppedMessage;
    QString m_note;
    std::optional<QPoint> m_dragStart;
    QPoint m_dragEnd;
};

/// Draws the "no entry" sign (a ring with a bar), centred in `rect`.
void paintNoSign(class QPainter& painter, const QRectF& rect, double size, const QColor& colour);

} // namespace corvex::app
