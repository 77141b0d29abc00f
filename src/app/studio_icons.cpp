#include "app/studio_icons.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

#include <cmath>

namespace corvex::app {

namespace {

constexpr double kMinimumContrast = 0.35;

// Perceived lightness, 0 to 1 (Rec. 709 weights on the gamma-encoded values,
// which is close enough to tell light from dark).
double lightness(const QColor& colour)
{
    return 0.2126 * colour.redF() + 0.7152 * colour.greenF() + 0.0722 * colour.blueF();
}

QColor contrasting(const QColor& background)
{
    return lightness(background) < 0.5 ? QColor(235, 235, 240) : QColor(40, 40, 44);
}

// Draws the icon on a 24-unit grid, scaled to `size` pixels.
QPixmap paint(StudioIcon icon, const QColor& foreground, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    QPen pen(foreground, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (icon) {
    case StudioIcon::Add:
        painter.drawLine(QPointF(12, 4), QPointF(12, 20));
        painter.drawLine(QPointF(4, 12), QPointF(20, 12));
        break;
    case StudioIcon::Delete: {
        // A bin: lid, handle and body with two ribs.
        painter.drawLine(QPointF(4, 6.5), QPointF(20, 6.5));
        painter.drawPolyline(QPolygonF({ QPointF(9, 6.5), QPointF(9, 4), QPointF(15, 4), QPointF(15, 6.5) }));
        painter.drawPolyline(QPolygonF({ QPointF(6, 6.5), QPointF(7, 20), QPointF(17, 20), QPointF(18, 6.5) }));
        painter.drawLine(QPointF(10.5, 10), QPointF(10.5, 16.5));
        painter.drawLine(QPointF(13.5, 10), QPointF(13.5, 16.5));
        break;
    }
    case StudioIcon::Logout:
        // A door frame open on the right, with an arrow leaving through it.
        painter.drawPolyline(QPolygonF({ QPointF(13, 4), QPointF(5, 4), QPointF(5, 20), QPointF(13, 20) }));
        painter.drawLine(QPointF(10, 12), QPointF(20, 12));
        painter.drawPolyline(QPolygonF({ QPointF(16.5, 8.5), QPointF(20, 12), QPointF(16.5, 15.5) }));
        break;
    case StudioIcon::Find:
        painter.drawEllipse(QPointF(10, 10), 5.5, 5.5);
        painter.drawLine(QPointF(14.2, 14.2), QPointF(20, 20));
        break;
    case StudioIcon::Record:
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 80, 80)); // light enough to stand out on black too
        painter.drawEllipse(QPointF(12, 12), 6.5, 6.5);
        break;
    case StudioIcon::Stop:
        painter.setPen(Qt::NoPen);
        painter.setBrush(foreground);
        painter.drawRoundedRect(QRectF(6.5, 6.5, 11, 11), 1.5, 1.5);
        break;
    case StudioIcon::Refresh: {
        QPainterPath arc;
        arc.arcMoveTo(QRectF(5, 5, 14, 14), 60);
        arc.arcTo(QRectF(5, 5, 14, 14), 60, 300);
        painter.drawPath(arc);
        painter.drawPolyline(QPolygonF({ QPointF(15.5, 3.5), QPointF(15.5, 7.9), QPointF(19.8, 7.9) }));
        break;
    }
    case StudioIcon::Copy:
        painter.drawRoundedRect(QRectF(8, 8, 11, 12), 1.5, 1.5);
        painter.drawPolyline(QPolygonF({ QPointF(5, 16), QPointF(5, 4), QPointF(15, 4) }));
        break;
    }
    return pixmap;
}

} // namespace

QString themeIconName(StudioIcon icon)
{
    switch (icon) {
    case StudioIcon::Add:
        return QStringLiteral("list-add");
    case StudioIcon::Delete:
        return QStringLiteral("edit-delete");
    case StudioIcon::Logout:
        return QStringLiteral("system-log-out");
    case StudioIcon::Find:
        return QStringLiteral("edit-find");
    case StudioIcon::Record:
        return QStringLiteral("media-record");
    case StudioIcon::Stop:
        return QStringLiteral("media-playback-stop");
    case StudioIcon::Refresh:
        return QStringLiteral("view-refresh");
    case StudioIcon::Copy:
        return QStringLiteral("edit-copy");
    }
    return {};
}

QIcon drawnIcon(StudioIcon icon, const QColor& foreground)
{
    QIcon result;
    for (const int size : { 16, 22, 24, 32, 48, 64 })
        result.addPixmap(paint(icon, foreground, size));
    return result;
}

double iconContrast(const QIcon& icon, const QColor& background)
{
    const QImage image = icon.pixmap(QSize(24, 24)).toImage().convertToFormat(QImage::Format_ARGB32);
    double weight = 0;
    double sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const double alpha = qAlpha(line[x]) / 255.0;
            if (alpha <= 0)
                continue;
            weight += alpha;
            sum += alpha * lightness(QColor::fromRgb(line[x]));
        }
    }
    if (weight < 1)
        return 0;
    return std::abs(sum / weight - lightness(background));
}

QIcon studioIcon(StudioIcon icon, const QColor& background)
{
    const QColor behind = background.isValid() ? background : QApplication::palette().color(QPalette::Window);
    const QIcon themed = QIcon::fromTheme(themeIconName(icon));
    // Themes made for light windows give dark icons that vanish on black.
    if (!themed.isNull() && iconContrast(themed, behind) >= kMinimumContrast)
        return themed;
    return drawnIcon(icon, contrasting(behind));
}

} // namespace corvex::app
