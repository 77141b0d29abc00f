#pragma once

#include "platform/screencapture/desktop_chooser.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

/// "Screen Content" where the desktop's own dialog picks what is shared (Wayland):
/// what the author chose there, a "Choose…" button that asks again, and, while
/// a whole display is shared, the warning that the studio's windows are in it.
class DesktopChoiceView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopChoiceView)

public:
    static QString notChosenText() { return QStringLiteral("Not chosen yet"); }
    /// "Display: 1920 x 1080", "Window: 800 x 600", or "Not chosen yet".
    static QString choiceText(const screencapture::DesktopChoice& choice);
    /// The warning shown while a whole display is shared.
    static QString ownWindowsText(bool windowsOffered);

    DesktopChoiceView(
        capture::ScreenRecorder& screenRecorder, screencapture::DesktopChooser& chooser, QWidget* parent = nullptr);

    QLabel* choiceLabel() const { return m_choice; }
    QPushButton* chooseButton() const { return m_choose; }
    QLabel* ownWindowsHint() const { return m_ownWindows; }

    /// Reads the choice again (the model's refreshes and frames call it).
    void refresh();

private:
    void chooseAgain();

    capture::ScreenRecorder& m_screenRecorder;
    screencapture::DesktopChooser& m_chooser;
    QLabel* m_choice;
    QPushButton* m_choose;
    QLabel* m_ownWindows;
};

} // namespace corvex::app
