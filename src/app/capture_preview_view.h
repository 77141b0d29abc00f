#pragma once

#include "platform/media/rect.h"

#include <QPoint>
#include <QRectF>
#include <QWidget>

#include <optional>

class QPainter;

namespace corvex::app {

class RecordingSources;

/// The live picture of what is captured, with the crop drawn over it. Dragging
/// a rectangle sets the recorder's crop (fractions of the frame); not while a
/// recording runs. While `stopped` is set the picture is dimmed, under a large
/// note when there is one (“Uploaded”), else under a "no entry" sign with a
/// line of text when there is something to say. It shows the picture of the
/// source in use (a film's frames as they are analysed). A crop that black
/// bars suggest is outlined, dashed, until it is the crop in use, with its
/// label on the bar, where it does not hide the picture.
class CapturePreviewView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturePreviewView)

public:
    explicit CapturePreviewView(RecordingSources& sources, QWidget* parent = nullptr);

    /// The words that go with the outline of a suggested crop.
    static QString suggestionText() { return QStringLiteral("Detected picture: “Use detected crop” records only this"); }
    /// Where the suggestion's words go in a view of `bounds`, for the crop
    /// `proposed` there: on the widest bar, or inside the outline when no bar has room.
    static QRectF suggestionLabelRect(const QRectF& bounds, const QRectF& proposed, const QSizeF& text);

    void setStopped(bool stopped, const QString& message = {}, const QString& note = {});
    bool isStopped() const { return m_stopped; }
    /// What is said over a stopped preview.
    QString stoppedMessage() const { return m_stoppedMessage; }
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
    void follow();
    void paintSuggestion(QPainter& painter, const QRectF& bounds);

    RecordingSources& m_sources;
    QList<QMetaObject::Connection> m_connections; // to the source in use
    bool m_stopped = false;
    QString m_stoppedMessage;
    QString m_note;
    std::optional<QPoint> m_dragStart;
    QPoint m_dragEnd;
};

/// Draws the "no entry" sign (a ring with a bar), centred in `rect`.
void paintNoSign(QPainter& painter, const QRectF& rect, double size, const QColor& colour);

} // namespace corvex::app
