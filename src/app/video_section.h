#pragma once

#include "app/panel_section.h"

class QComboBox;
class QPushButton;
class QStackedWidget;

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::screencapture {
class DesktopChooser;
}

namespace corvex::app {

class DesktopChoiceView;

/// "Firefox: Page - 1280.000000x720.000000": a window as the picker lists it.
QString windowOptionText(const QString& displayName, double width, double height);

/// "Video": what is captured (a display or a window, and which) and the crop.
class VideoSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoSection)

public:
    static QString noWindowsText()
    {
        return QStringLiteral("No windows to record: windows that do not name their process are left out");
    }

    explicit VideoSection(capture::ScreenRecorder& screenRecorder, QWidget* parent = nullptr);

    QComboBox* captureTypePicker() const { return m_captureType; }
    QComboBox* displayPicker() const { return m_displays; }
    QComboBox* windowPicker() const { return m_windows; }
    QPushButton* resetCropButton() const { return m_resetCropButton; }
    QLabel* emptyHint() const { return m_emptyHint; }
    /// What the desktop's dialog picked, where it picks (Wayland); null elsewhere.
    DesktopChoiceView* desktopChoice() const { return m_desktopChoice; }

Q_SIGNALS:
    /// The author picked a window from the list (not a change the model made).
    void windowChosen();

private:
    void updateCaptureType();
    void updateDisplays();
    void updateWindows();
    void updateCrop();
    void updateEmptyHint();
    void showDesktopChoice(screencapture::DesktopChooser& chooser);

    capture::ScreenRecorder& m_screenRecorder;
    QComboBox* m_captureType;
    QStackedWidget* m_content;
    QComboBox* m_displays;
    QComboBox* m_windows;
    QLabel* m_emptyHint;
    QLabel* m_cropText;
    QPushButton* m_resetCropButton;
    DesktopChoiceView* m_desktopChoice = nullptr;
    bool m_looked = false; // the screen's content was listed at least once
};

} // namespace corvex::app
