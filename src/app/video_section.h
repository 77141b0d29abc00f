#pragma once

#include "app/panel_section.h"
#include "app/portal_file_chooser.h"

#include <QPointer>

class QComboBox;
class QFileDialog;
class QPushButton;
class QStackedWidget;

namespace corvex::capture {
class ScreenRecorder;
class VideoFileSource;
} // namespace corvex::capture

namespace corvex::screencapture {
class DesktopChooser;
}

namespace corvex::app {

class ElidedLabel;
class DesktopChoiceView;
class RecordingSources;

/// "Firefox: Page - 1280.000000x720.000000": a window as the picker lists it.
QString windowOptionText(const QString& displayName, double width, double height);

/// "Video": what is captured (a display, a window or a video file, and
/// which) and the crop, with the crop that black bars suggest.
class VideoSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoSection)

public:
    static QString noWindowsText()
    {
        return QStringLiteral("No windows to record: windows that do not name their process are left out");
    }

    /// The capture type picker's entry for the file road.
    static QString videoFileOption() { return QStringLiteral("Video file"); }

    /// The settings key that keeps the folder the file chooser opens in.
    static QString folderKey() { return QStringLiteral("recording/videoFolder"); }

    explicit VideoSection(RecordingSources& sources, QWidget* parent = nullptr);

    QComboBox* captureTypePicker() const { return m_captureType; }
    QComboBox* displayPicker() const { return m_displays; }
    QComboBox* windowPicker() const { return m_windows; }
    QPushButton* resetCropButton() const { return m_resetCropButton; }
    QLabel* emptyHint() const { return m_emptyHint; }
    QPushButton* chooseFileButton() const { return m_chooseFile; }
    /// Why the chosen file cannot be used, or what it is.
    QLabel* fileMessage() const { return m_fileMessage; }
    QLabel* soundNote() const { return m_soundNote; }
    QPushButton* useDetectedCropButton() const { return m_useDetectedCrop; }
    /// The open file chooser, if any.
    QFileDialog* fileDialog() const;
    /// Opens the desktop's file chooser (its portal's; Qt's own where the
    /// desktop has none or it fails) in the folder a film was last chosen from.
    void chooseFile();
    /// The desktop's chooser, asked first.
    PortalFileChooser& portalChooser() { return m_portalChooser; }
    static QString fileDialogTitle() { return QStringLiteral("Choose a video file"); }
    static QStringList videoPatterns()
    {
        return { "*.mp4", "*.m4v", "*.mkv", "*.mov", "*.webm", "*.avi", "*.ts", "*.mts", "*.m2ts", "*.mpg", "*.mpeg",
            "*.wmv", "*.ogv" };
    }
    /// The folder the file chooser opens in: the last one, else Videos, else home.
    static QString lastFolder();
    /// What the desktop's dialog picked, where it picks (Wayland); null elsewhere.
    DesktopChoiceView* desktopChoice() const { return m_desktopChoice; }

Q_SIGNALS:
    /// The author picked a window from the list (not a change the model made).
    void windowChosen();
    /// The author chose a film to analyse.
    void filmChosen();

private:
    void updateCaptureType();
    void updateDisplays();
    void updateWindows();
    void updateCrop();
    void updateEmptyHint();
    void updateFile();
    void updateSuggestion();
    void showDesktopChoice(screencapture::DesktopChooser& chooser);
    void openOwnFileDialog();
    void chooseFilm(const QString& path);

    RecordingSources& m_sources;
    capture::ScreenRecorder& m_screenRecorder;
    capture::VideoFileSource& m_videoFile;
    PortalFileChooser m_portalChooser;
    QComboBox* m_captureType;
    QStackedWidget* m_content;
    QComboBox* m_displays;
    QComboBox* m_windows;
    QLabel* m_emptyHint;
    ElidedLabel* m_cropText;
    QPushButton* m_resetCropButton;
    QLabel* m_screenContentLabel;
    QWidget* m_filePage;
    ElidedLabel* m_fileName;
    QPushButton* m_chooseFile;
    QLabel* m_fileMessage;
    QLabel* m_soundNote;
    QPushButton* m_useDetectedCrop;
    // The chooser deletes itself when closed.
    QPointer<QFileDialog> m_fileDialog;
    DesktopChoiceView* m_desktopChoice = nullptr;
    bool m_looked = false; // the screen's content was listed at least once
};

} // namespace corvex::app
