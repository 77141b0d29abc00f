#include "app/catalogue_views.h"

#include "catalogue/catalogue_client.h"
#include "service/session.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace corvex::app {

std::optional<settings::Endpoints> catalogueEndpoints(const service::Session& manager)
{
    if (const auto* endpoints = std::get_if<settings::Endpoints>(&manager.endpoints()))
        return *endpoints;
    return std::nullopt;
}

std::optional<QUrl> posterUrl(const service::Session& manager, const std::optional<QString>& posterPath)
{
    const std::optional<settings::Endpoints> endpoints = catalogueEndpoints(manager);
    if (!endpoints || !posterPath)
        return std::nullopt;
    return catalogue::CatalogueClient::posterUrl(*endpoints, *posterPath);
}

QString episodeCode(qint64 seasonNumber, qint64 episodeNumber)
{
    return QString::asprintf(
        "S%02lldE%02lld", static_cast<long long>(seasonNumber), static_cast<long long>(episodeNumber));
}

QString seasonTitle(const catalogue::TMDBSeason& season)
{
    if (season.name && !season.name->isEmpty())
        return *season.name;
    return season.season_number == 0 ? QStringLiteral("Specials")
                                     : QStringLiteral("Season %1").arg(season.season_number);
}

QString episodeTitle(const catalogue::TMDBEpisode& episode)
{
    const QString number = QStringLiteral("Episode %1").arg(episode.episode_number);
    return episode.name && !episode.name->isEmpty() ? number + QStringLiteral(": ") + *episode.name : number;
}

QString episodeCountText(qint64 count)
{
    return count == 1 ? QStringLiteral("1 episode") : QStringLiteral("%1 episodes").arg(count);
}

ClickableRow::ClickableRow(QWidget* parent)
    : QFrame(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void ClickableRow::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Q_EMIT clicked();
        return;
    case Qt::Key_Up:
        Q_EMIT stepRequested(-1);
        return;
    case Qt::Key_Down:
        Q_EMIT stepRequested(1);
        return;
    default:
        QFrame::keyPressEvent(event);
    }
}

void ClickableRow::focusInEvent(QFocusEvent* event)
{
    QFrame::focusInEvent(event);
    update();
}

void ClickableRow::focusOutEvent(QFocusEvent* event)
{
    QFrame::focusOutEvent(event);
    update();
}

void ClickableRow::setFill(const QColor& fill, double radius)
{
    m_fill = fill;
    m_radius = radius;
    update();
}

void ClickableRow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
    QFrame::mousePressEvent(event);
}

void ClickableRow::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    QFrame::mouseReleaseEvent(event);
    if (click)
        Q_EMIT clicked();
}

void ClickableRow::paintEvent(QPaintEvent* event)
{
    if (m_fill.alpha() > 0) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_fill);
        painter.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
    }
    if (hasFocus()) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), m_radius, m_radius);
    }
    QFrame::paintEvent(event);
}

} // namespace corvex::app
