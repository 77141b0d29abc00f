#include "app/capture_preview_view.h"

#include "app/recording_sources.h"
#include "capture/capture_preview.h"
#include "capture/video_file_source.h"

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QFontMetricsF>
#include <QPainterPath>
#include <QRegion>

#include <algorithm>

namespace corvex::app {

namespace {

constexpr int kMinimumDrag = 6; // pixels: anything smaller is a click

// The surface as an image without copying; valid while the surface lives.
QImage imageOf(const screencapture::Surface& surface)
{
    if (!surface.pixels || surface.width <= 0 || surface.height <= 0)
        return {};
    // BGRA bytes in memory are 0xAARRGGBB words on a little-endian machine; the
    // alpha byte of captured frames is not meaningful, so it is ignored.
    return QImage(surface.pixels.get(), surface.width, surface.height, static_cast<qsizetype>(surface.bytesPerRow),
        surface.format == media::PixelFormat::BGRA ? QImage::Format_RGB32 : QImage::Format_Invalid);
}

// Where windows left out of the capture (the studio's own) hid the picture, the
// frame holds colours guessed from around them: hatched instead, so that the
// author does not take them for the film.
void paintHidden(QPainter& painter, const QRectF& bounds, const screencapture::Surface& surface,
    const screencapture::CoveredPixels& hidden)
{
    if (!hidden || hidden->size() != std::size_t(surface.width) * std::size_t(surface.height))
        return;
    // Edges rounded once, so that neighbouring runs meet without gaps.
    const auto at = [&](int x, int y) {
        return QPoint(qRound(bounds.x() + x * bounds.width() / surface.width),
            qRound(bounds.y() + y * bounds.height() / surface.height));
    };
    QRegion region;
    for (int y = 0; y < surface.height; ++y) {
        const std::uint8_t* row = hidden->data() + std::size_t(y) * std::size_t(surface.width);
        for (int x = 0; x < surface.width;) {
            const int start = x;
            while (x < surface.width && row[x])
                ++x;
            if (x > start)
                region += QRect(at(start, y), at(x, y + 1) - QPoint(1, 1));
            while (x < surface.width && !row[x])
                ++x;
        }
    }
    painter.save();
    painter.setClipRegion(region);
    painter.fillRect(bounds, QColor(40, 40, 40));
    painter.fillRect(bounds, QBrush(QColor(110, 110, 110), Qt::BDiagPattern));
    painter.restore();
}

} // namespace

void paintNoSign(QPainter& painter, const QRectF& rect, double size, const QColor& colour)
{
    const double diameter = std::min({ size, rect.width() * 0.8, rect.height() * 0.8 });
    if (diameter <= 4)
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, diameter * 0.11);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QPointF centre = rect.center();
    const double radius = diameter / 2 - pen.widthF() / 2;
    painter.drawEllipse(centre, radius, radius);
    const double d = radius * 0.7071;
    painter.drawLine(QPointF(centre.x() - d, centre.y() - d), QPointF(centre.x() + d, centre.y() + d));
    painter.restore();
}

CapturePreviewView::CapturePreviewView(RecordingSources& sources, QWidget* parent)
    : QWidget(parent)
    , m_sources(sources)
{
    setCursor(Qt::CrossCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&sources, &RecordingSources::cropChanged, this, qOverload<>(&QWidget::update));
    connect(&sources, &RecordingSources::currentChanged, this, &CapturePreviewView::follow);
    follow();
}

void CapturePreviewView::follow()
{
    for (const QMetaObject::Connection& connection : std::as_const(m_connections))
        disconnect(connection);
    capture::RecordingSource& source = m_sources.current();
    m_connections = {
        connect(source.preview(), &capture::CapturePreview::contentsChanged, this, qOverload<>(&QWidget::update)),
        connect(&source, &capture::RecordingSource::recordingStateChanged, this,
            [this] {
                // A recording that starts ends a drag.
                if (!canCrop())
                    m_dragStart.reset();
                update();
            }),
    };
    update();
}

void CapturePreviewView::setStopped(bool stopped, const QString& message, const QString& note)
{
    if (m_stopped == stopped && m_stoppedMessage == message && m_note == note)
        return;
    m_stopped = stopped;
    m_stoppedMessage = message;
    m_note = note;
    update();
}

bool CapturePreviewView::canCrop() const
{
    return !m_sources.current().isBusy();
}

std::optional<media::Rect> CapturePreviewView::cropForDrag(QPoint from, QPoint to) const
{
    if (width() <= 0 || height() <= 0)
        return std::nullopt;
    const QRectF dragged = QRectF(QPointF(from), QPointF(to)).normalized().intersected(QRectF(rect()));
    if (dragged.width() < kMinimumDrag || dragged.height() < kMinimumDrag)
        return std::nullopt;
    const double w = width();
    const double h = height();
    return media::Rect { dragged.x() / w, dragged.y() / h, dragged.width() / w, dragged.height() / h };
}

void CapturePreviewView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !canCrop()) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_dragStart = event->position().toPoint();
    m_dragEnd = *m_dragStart;
    update();
}

void CapturePreviewView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragStart)
        return;
    m_dragEnd = event->position().toPoint();
    update();
}

void CapturePreviewView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_dragStart || event->button() != Qt::LeftButton)
        return;
    const QPoint start = *m_dragStart;
    m_dragStart.reset();
    if (canCrop()) {
        if (const std::optional<media::Rect> crop = cropForDrag(start, event->position().toPoint()))
            m_sources.setCrop(crop);
    }
    update();
}

QRectF CapturePreviewView::suggestionLabelRect(const QRectF& bounds, const QRectF& proposed, const QSizeF& text)
{
    constexpr double kMargin = 4;
    const double top = proposed.top() - bounds.top();
    const double bottom = bounds.bottom() - proposed.bottom();
    const double left = proposed.left() - bounds.left();
    const double right = bounds.right() - proposed.right();
    // A letterbox's bar above or below, else a pillarbox's beside: wherever
    // the words fit in their height (and, beside, in a column as wide as the bar).
    if (std::max(top, bottom) >= text.height() + 2 * kMargin) {
        const double y = top >= bottom ? bounds.top() + (top - text.height()) / 2
                                       : proposed.bottom() + (bottom - text.height()) / 2;
        return QRectF(bounds.left() + kMargin, y, bounds.width() - 2 * kMargin, text.height());
    }
    if (std::max(left, right) >= 3 * text.height()) {
        const double x = left >= right ? bounds.left() : proposed.right();
        return QRectF(x + kMargin, bounds.top() + kMargin, std::max(left, right) - 2 * kMargin,
            bounds.height() - 2 * kMargin);
    }
    return proposed.adjusted(6, 4, -6, -4);
}

void CapturePreviewView::paintSuggestion(QPainter& painter, const QRectF& bounds)
{
    const std::optional<media::Rect> proposed = m_sources.newCropProposal();
    if (!proposed || m_dragStart || !canCrop())
        return;
    const QRectF shown(proposed->x * bounds.width(), proposed->y * bounds.height(), proposed->width * bounds.width(),
        proposed->height * bounds.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    // Amber dashes over a black line: one of the two shows on any picture,
    // also on orange and yellow scenes.
    const QRectF outline = shown.adjusted(1.5, 1.5, -1.5, -1.5);
    painter.setPen(QPen(Qt::black, 4));
    painter.drawRect(outline);
    painter.setPen(QPen(QColor(255, 191, 0), 2, Qt::DashLine));
    painter.drawRect(outline);
    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    const QRectF label = suggestionLabelRect(bounds, shown,
        QSizeF(metrics.horizontalAdvance(suggestionText()), metrics.height()));
    const int flags = Qt::AlignCenter | Qt::TextWordWrap;
    // The words in amber with a black rim, which reads on the bar and on the picture alike.
    painter.setPen(Qt::black);
    for (const QPointF offset : { QPointF(-1, 0), QPointF(1, 0), QPointF(0, -1), QPointF(0, 1) })
        painter.drawText(label.translated(offset), flags, suggestionText());
    painter.setPen(QColor(255, 191, 0));
    painter.drawText(label, flags, suggestionText());
    painter.restore();
}

void CapturePreviewView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF bounds = rect();
    painter.fillRect(bounds, Qt::black);
    const std::shared_ptr<const screencapture::Surface> surface = m_sources.current().preview()->contents();
    if (surface) {
        const QImage image = imageOf(*surface);
        if (!image.isNull()) {
            painter.drawImage(bounds, image);
            paintHidden(painter, bounds, *surface, m_sources.current().preview()->coveredPixels());
        }
    } else if (m_sources.isFile() && !m_stopped) {
        // Between films: say what the picture will be.
        QString hint;
        switch (m_sources.file().stage()) {
        case capture::VideoFileSource::Stage::Analysing:
            break;
        case capture::VideoFileSource::Stage::Ready:
        case capture::VideoFileSource::Stage::Analysed:
            hint = QStringLiteral("The film shows here while it is analysed.");
            break;
        default:
            hint = QStringLiteral("Choose a video file in the panel.");
            break;
        }
        painter.setPen(QColor(200, 200, 200));
        painter.drawText(bounds.adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, hint);
    }

    paintSuggestion(painter, bounds);

    // The crop: the rest of the picture darkened, the kept part outlined.
    std::optional<QRectF> kept;
    if (m_dragStart) {
        kept = QRectF(QPointF(*m_dragStart), QPointF(m_dragEnd)).normalized();
    } else if (const std::optional<media::Rect> crop = m_sources.crop()) {
        kept = QRectF(crop->x * bounds.width(), crop->y * bounds.height(), crop->width * bounds.width(),
            crop->height * bounds.height());
    }
    if (kept) {
        QPainterPath outside;
        outside.addRect(bounds);
        QPainterPath inside;
        inside.addRect(*kept);
        painter.fillPath(outside.subtracted(inside), QColor(0, 0, 0, 130));
        painter.setPen(QPen(QColor(255, 255, 255, 220), 1, m_dragStart ? Qt::DashLine : Qt::SolidLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(kept->adjusted(0.5, 0.5, -0.5, -0.5));
    }

    if (m_stopped) {
        painter.fillRect(bounds, QColor(0, 0, 0, 128));
        if (!m_note.isEmpty()) {
            // A state, not an error: plain large text where the sign would be.
            QFont font = painter.font();
            font.setBold(true);
            font.setPixelSize(std::clamp(static_cast<int>(bounds.height() / 14), 14, 32));
            painter.setFont(font);
            painter.setPen(QColor(240, 240, 240));
            painter.drawText(bounds.adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, m_note);
            return;
        }
        const double grey = 0.3 * 255;
        paintNoSign(painter, bounds, 250,
            QColor::fromRgb(static_cast<int>(grey), static_cast<int>(grey), static_cast<int>(grey)));
        if (!m_stoppedMessage.isEmpty()) {
            painter.setPen(QColor(230, 230, 230));
            QFont font = painter.font();
            font.setBold(true);
            painter.setFont(font);
            painter.drawText(bounds.adjusted(12, 12, -12, -12), Qt::AlignHCenter | Qt::AlignBottom | Qt::TextWordWrap,
                m_stoppedMessage);
        }
    }
}

} // namespace corvex::app
