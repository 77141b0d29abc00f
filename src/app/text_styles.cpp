#include "app/text_styles.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

namespace corvex::app::text_styles {

namespace {

QFont scaled(double factor, QFont::Weight weight)
{
    QFont font = QApplication::font();
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(base * factor);
    font.setWeight(weight);
    return font;
}

} // namespace

QFont largeTitle()
{
    return scaled(2.2, QFont::Normal);
}
QFont title()
{
    return scaled(1.8, QFont::Normal);
}
QFont title2()
{
    return scaled(1.5, QFont::Normal);
}
QFont headline()
{
    return scaled(1.0, QFont::DemiBold);
}
QFont subheadline()
{
    return scaled(0.92, QFont::Normal);
}
QFont body()
{
    return scaled(1.0, QFont::Normal);
}
QFont caption()
{
    return scaled(0.85, QFont::Normal);
}

QColor secondary()
{
    return QColor(140, 140, 146);
}
QColor grey()
{
    return QColor(128, 128, 128);
}
QColor accent()
{
    return QApplication::palette().color(QPalette::Highlight);
}

void makeProminent(QPushButton* button)
{
    const QColor fill = accent();
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: white; border: none; "
                       "border-radius: 6px; padding: 6px 16px; }"
                       "QPushButton:pressed { background-color: %2; }"
                       // The style's own focus ring is gone with its frame: draw one.
                       "QPushButton:focus { border: 2px solid %4; padding: 4px 14px; }"
                       "QPushButton:disabled { background-color: %3; color: #dddddd; }")
            .arg(fill.name(), fill.darker(120).name(), QColor(140, 140, 146).name(), fill.lighter(170).name()));
}

void setColour(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QLabel* label(const QString& text, const QFont& font, const QColor& colour, QWidget* parent)
{
    auto* result = new QLabel(text, parent);
    result->setFont(font);
    if (colour.isValid())
        setColour(result, colour);
    return result;
}

} // namespace corvex::app::text_styles
