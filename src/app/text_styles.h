#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

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

/// The WCAG 2 contrast ratio of two opaque colours, from 1 to 21.
double contrastRatio(const QColor& first, const QColor& second);

// Text colours for `palette` (the application's by default). Each reads at
// 4.5:1 or better on the palette's window, base and alternate base colours,
// whatever the desktop's theme: a colour that would not is mixed toward the
// palette's text colour until it does.
QColor secondary(const QPalette& palette);
QColor secondary();
QColor grey(const QPalette& palette);
QColor grey();
/// The colour of a failure's message.
QColor failure(const QPalette& palette);
QColor failure();
QColor accent();

/// The main window's palette: light text on its black background.
QPalette darkPalette();

/// A label in the given font and colour (an invalid colour keeps the palette's).
QLabel* label(const QString& text, const QFont& font, const QColor& colour = {}, QWidget* parent = nullptr);
/// Draws a button filled with the accent colour, for the one action that
/// matters most; Return presses it when it has the focus.
void makeProminent(QPushButton* button);
/// Sets a label's text colour.
void setColour(QWidget* widget, const QColor& colour);

} // namespace corvex::app::text_styles
