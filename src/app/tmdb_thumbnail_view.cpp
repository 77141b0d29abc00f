#include "app/tmdb_thumbnail_view.h"

#include "app/image_cache.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>

namespace corvex::app {

void paintFilmPlaceholder(QPainter& painter, const QRectF& rect)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill(128, 128, 128);
    fill.setAlphaF(0.2f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRect(rect);
    // A small film strip: a frame with sprocket holes down both sides.
    const double w = std::min(rect.width(), rect.height()) * 0.45;
    const QRectF strip(rect.center().x() - w / 2, rect.center().y() - w * 0.6, w, w * 1.2);
    painter.setBrush(QColor(128, 128, 128));
    painter.drawRoundedRect(strip, 2, 2);
    painter.setBrush(QColor(128, 128, 128).lighter(160));
    const double hole = w * 0.12;
    for (int i = 0; i < 4; ++i) {
        const double y = strip.top() + hole * 0.8 + i * (strip.height() - hole * 1.6) / 3.0 - hole / 2 + hole * 0.3;
        painter.drawRect(QRectF(strip.left() + hole * 0.4, y, hole, hole));
        painter.drawRect(QRectF(strip.right() - hole * 1.4, y, hole, hole));
    }
    painter.drawRect(
        QRectF(strip.left() + hole * 2, strip.top() + hole, strip.width() - hole * 4, strip.height() - hole * 2));
    painter.restore();
}

TMDBThumbnailView::TMDBThumbnailView(ImageCache& cache, std::optional<QUrl> url, QWidget* parent)
    : QWidget(parent)
    , m_url(std::move(url))
{
    setFixedSize(60, 90);
    if (!m_url || !m_url->isValid()) {
        setState(State::Placeholder);
        return;
    }
    if (const std::optional<QImage> image = cache.cached(*m_url)) {
        m_image = *image;
        setState(State::Loaded);
        return;
    }
    connect(&cache, &ImageCache::loaded, this, [this](const QUrl& loadedUrl, const QImage& image) {
        if (loadedUrl != *m_url)
            return;
        m_image = image;
        setState(State::Loaded);
    });
    connect(&cache, &ImageCache::failed, this, [this](const QUrl& failedUrl) {
        if (failedUrl == *m_url && m_state == State::Loading)
            setState(State::Placeholder);
    });
    setState(State::Loading);
    cache.load(*m_url);
}

void TMDBThumbnailView::setState(State state)
{
    m_state = state;
    if (state == State::Loading && m_spinTimer == 0)
        m_spinTimer = startTimer(100);
    if (state != State::Loading && m_spinTimer != 0) {
        killTimer(m_spinTimer);
        m_spinTimer = 0;
    }
    update();
}

void TMDBThumbnailView::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_spinTimer) {
        m_spinStep = (m_spinStep + 1) % 8;
        update();
    }
}

void TMDBThumbnailView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF frame = rect();
    switch (m_state) {
    case State::Placeholder:
        paintFilmPlaceholder(painter, frame);
        break;
    case State::Loaded: {
        QPainterPath clip;
        clip.addRoundedRect(frame, 6, 6);
        painter.setClipPath(clip);
        // Fill: scale to cover the frame, centred, cropping what sticks out.
        const QSizeF scaled = QSizeF(m_image.size()).scaled(frame.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(frame.center().x() - scaled.width() / 2, frame.center().y() - scaled.height() / 2,
            scaled.width(), scaled.height());
        painter.drawImage(target, m_image);
        break;
    }
    case State::Loading: {
        const QPointF centre = frame.center();
        for (int i = 0; i < 8; ++i) {
            QColor dot = palette().color(QPalette::WindowText);
            dot.setAlphaF(0.15f + 0.85f * static_cast<float>((i + 8 - m_spinStep) % 8) / 8.0f);
            painter.setPen(Qt::NoPen);
            painter.setBrush(dot);
            const double angle = i * 3.14159265358979 / 4.0;
            painter.drawEllipse(QPointF(centre.x() + 9 * std::cos(angle), centre.y() + 9 * std::sin(angle)), 2, 2);
        }
        break;
    }
    }
}

} // namespace corvex::app
