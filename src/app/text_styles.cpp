#include "app/text_styles.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include <cmath>

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

namespace {

double luminance(const QColor& colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

QColor mixed(const QColor& first, const QColor& second, double firstShare)
{
    const auto channel = [firstShare](int a, int b) { return qRound(a * firstShare + b * (1 - firstShare)); };
    return QColor(channel(first.red(), second.red()), channel(first.green(), second.green()),
        channel(first.blue(), second.blue()));
}

constexpr double kReadableRatio = 4.5;

// `wanted`, or the first mix of it toward the palette's text colour that reads
// on every background text of ours sits on.
QColor readable(const QColor& wanted, const QPalette& palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    for (int step = 0; step <= 20; ++step) {
        const QColor candidate = mixed(text, wanted, step / 20.0);
        bool reads = true;
        for (const QPalette::ColorRole role : { QPalette::Window, QPalette::Base, QPalette::AlternateBase })
            reads = reads && contrastRatio(candidate, palette.color(role)) >= kReadableRatio;
        if (reads)
            return candidate;
    }
    return text;
}

bool isDark(const QPalette& palette)
{
    return luminance(palette.color(QPalette::Window)) < 0.18;
}

} // namespace

double contrastRatio(const QColor& first, const QColor& second)
{
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor secondary(const QPalette& palette)
{
    return readable(mixed(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.62), palette);
}
QColor secondary()
{
    return secondary(QApplication::palette());
}
QColor grey(const QPalette& palette)
{
    return readable(mixed(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.5), palette);
}
QColor grey()
{
    return grey(QApplication::palette());
}
QColor failure(const QPalette& palette)
{
    return readable(isDark(palette) ? QColor(255, 105, 97) : QColor(200, 30, 30), palette);
}
QColor failure()
{
    return failure(QApplication::palette());
}
QColor accent()
{
    return QApplication::palette().color(QPalette::Highlight);
}

QPalette darkPalette()
{
    QPalette palette;
    const QColor text(235, 235, 240);
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(28, 28, 30));
    palette.setColor(QPalette::AlternateBase, QColor(36, 36, 40));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(44, 44, 48));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, QColor(44, 44, 48));
    palette.setColor(QPalette::ToolTipText, text);
    // Dark enough that white text on a selected row reads.
    palette.setColor(QPalette::Highlight, QColor(0, 96, 204));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(150, 150, 156));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(110, 110, 115));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(110, 110, 115));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(110, 110, 115));
    return palette;
}

void makeProminent(QPushButton* button)
{
    // Return presses it when it has the focus, in any window (not only in dialogs).
    button->setAutoDefault(true);
    // The accent, darkened until its white label reads.
    QColor fill = accent();
    while (contrastRatio(fill, Qt::white) < kReadableRatio && fill.value() > 0)
        fill = fill.darker(110);
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
