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

class CropSuggestion;
class VideoFileAuthoring;

/// The live picture of what is captured, with the crop drawn over it. Dragging
/// a rectangle sets the recorder's crop (fractions of the frame); not while a
/// recording runs. While `stopped` is set the picture is dimmed, under a large
/// note when there is one (“Uploaded”), else under a "no entry" sign with a
/// line of text when there is something to say. On the file road it shows
/// the frames of the film as they are analysed. A crop that black bars
/// suggest is outlined, dashed, until it is the crop in use.
class CapturePreviewView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturePreviewView)

public:
    CapturePreviewView(capture::ScreenRecorder& screenRecorder, analysis::AnalysisRecorder& analysisRecorder,
        QWidget* parent = nullptr);

    /// The window's file road and crop suggestion (set once, after construction).
    void setVideoFile(VideoFileAuthoring* videoFile, CropSuggestion* cropSuggestion);

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
    bool fileRoad() const;

    capture::ScreenRecorder& m_screenRecorder;
    analysis::AnalysisRecorder& m_analysisRecorder;
    VideoFileAuthoring* m_videoFile = nullptr;
    CropSuggestion* m_cropSuggestion = nullptr;
    bool m_stopped = false;
    QString m_stoppedMessage;
    QString m_note;
    std::optional<QPoint> m_dragStart;
    QPoint m_dragEnd;
};

/// Draws the "no entry" sign (a ring with a bar), centred in `rect`.
void paintNoSign(class QPainter& painter, const QRectF& rect, double size, const QColor& colour);

} // namespace corvex::app
