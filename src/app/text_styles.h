#pragma once

#include <QColor>
#include <QFont>

class QLabel;
class QPushButton;
class QWidget;

namespace corvex::app::text_styles {

// The named text styles and colours of the studio's windows, derived from the
// application font so that they follow the desktop's size settings.
QFont largeTitle();
QFont title();
QFont title2();
QFont headline();
QFont subheadline();
QFont body();
QFont caption();

QColor secondary();
QColor grey();
QColor accent();

/// A label in the given font and colour (an invalid colour keeps the palette's).
QLabel* label(const QString& text, const QFont& font, const QColor& colour = {}, QWidget* parent = nullptr);
/// Draws a button filled with the accent colour, for the one action that matters most.
void makeProminent(QPushButton* button);
/// Sets a label's text colour.
void setColour(QWidget* widget, const QColor& colour);

} // namespace corvex::app::text_styles
