#include "app/video_section.h"

#include "app/desktop_choice_view.h"
#include "app/elided_label.h"
#include "app/recording_sources.h"
#include "app/text_styles.h"
#include "capture/screen_recorder.h"
#include "capture/video_file_source.h"
#include "platform/settings/store.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

QString describeCrop(const std::optional<media::Rect>& crop)
{
    if (!crop)
        return QStringLiteral("Crop: whole frame");
    return QStringLiteral("Crop: %1% × %2% at %3%, %4%")
        .arg(qRound(crop->width * 100))
        .arg(qRound(crop->height * 100))
        .arg(qRound(crop->x * 100))
        .arg(qRound(crop->y * 100));
}

constexpr int kVideoFileIndex = 2;

// A wrapping label in this panel's nested layouts does not get taller by
// itself when its text grows: it is given the height its text needs.
void fitHeight(QLabel* label)
{
    const int width = label->width() > 50 ? label->width() : 230;
    label->setMinimumHeight(label->text().isEmpty() ? 0 : label->heightForWidth(width));
}

} // namespace

QString VideoSection::lastFolder()
{
    const QString last = settings::Store().value(folderKey()).value_or(QString());
    if (!last.isEmpty() && QDir(last).exists())
        return last;
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    return QDir(videos).exists() ? videos : QDir::homePath();
}

QString windowOptionText(const QString& displayName, double width, double height)
{
    return displayName + QStringLiteral(" - ") + QString::asprintf("%lf", width) + QStringLiteral("x")
        + QString::asprintf("%lf", height);
}

VideoSection::VideoSection(RecordingSources& sources, QWidget* parent)
    : PanelSection(QStringLiteral("Video"), parent)
    , m_sources(sources)
    , m_screenRecorder(sources.screen())
    , m_videoFile(sources.file())
    , m_captureType(picker(QStringLiteral("Capture"), this))
    , m_content(new QStackedWidget(this))
    , m_displays(picker(QStringLiteral("Display"), m_content))
    , m_windows(picker(QStringLiteral("Window"), m_content))
    , m_emptyHint(hintLabel(noWindowsText(), this))
    , m_cropText(new ElidedLabel(this))
    , m_resetCropButton(new QPushButton(QStringLiteral("Reset crop"), this))
    , m_screenContentLabel(new QLabel(QStringLiteral("Screen Content"), this))
    , m_filePage(new QWidget(m_content))
    , m_fileName(new ElidedLabel(m_filePage))
    , m_chooseFile(new QPushButton(QStringLiteral("Choose…"), m_filePage))
    , m_fileMessage(hintLabel({}, this))
    , m_soundNote(hintLabel({}, this))
    , m_useDetectedCrop(new QPushButton(QStringLiteral("Use detected crop"), this))
{
    rows()->addWidget(new QLabel(QStringLiteral("Capture Type"), this));
    m_captureType->addItem(QStringLiteral("Display"));
    m_captureType->addItem(QStringLiteral("Window"));
    m_captureType->addItem(videoFileOption());
    rows()->addWidget(m_captureType);
    rows()->addWidget(m_screenContentLabel);
    m_windows->setPlaceholderText(QStringLiteral("No windows to record"));
    m_displays->setPlaceholderText(QStringLiteral("No displays to record"));
    m_content->addWidget(m_displays);
    m_content->addWidget(m_windows);
    {
        auto* row = new QHBoxLayout(m_filePage);
        row->setContentsMargins(0, 0, 0, 0);
        m_fileName->setAccessibleName(QStringLiteral("Video file"));
        m_fileName->setFullText(QStringLiteral("No file chosen"));
        m_chooseFile->setAccessibleName(QStringLiteral("Choose a video file"));
        row->addWidget(m_fileName, 1);
        row->addWidget(m_chooseFile);
    }
    m_content->addWidget(m_filePage);
    m_content->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    rows()->addWidget(m_content);
    rows()->addWidget(m_emptyHint);
    rows()->addWidget(m_fileMessage);
    rows()->addWidget(m_soundNote);
    if (screencapture::DesktopChooser* chooser = m_screenRecorder.backend()->desktopChooser())
        showDesktopChoice(*chooser);
    auto* cropRow = new QHBoxLayout;
    // "Crop: 60% × 60% at 10%, 15%" beside its button ends in "…" rather than widening the panel.
    m_cropText->setFont(text_styles::caption());
    text_styles::setColour(m_cropText, text_styles::secondary());
    cropRow->addWidget(m_cropText, 1);
    cropRow->addWidget(m_resetCropButton);
    rows()->addLayout(cropRow);
    m_useDetectedCrop->setToolTip(QStringLiteral("Black bars were found around the picture: record only the picture"));
    // Its place is kept while it is hidden: nothing below it moves when it comes.
    QSizePolicy keep = m_useDetectedCrop->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    m_useDetectedCrop->setSizePolicy(keep);
    rows()->addWidget(m_useDetectedCrop, 0, Qt::AlignLeft);

    connect(m_captureType, &QComboBox::activated, this, [this](int index) {
        m_sources.setFile(index == kVideoFileIndex);
        if (index == kVideoFileIndex) {
            if (m_videoFile.stage() == capture::VideoFileSource::Stage::NoFile)
                chooseFile();
            return;
        }
        m_screenRecorder.setCaptureType(
            index == 1 ? capture::ScreenRecorder::CaptureType::window : capture::ScreenRecorder::CaptureType::display);
    });
    connect(m_displays, &QComboBox::activated, this, [this](int index) {
        const auto displays = m_screenRecorder.availableDisplays();
        if (index >= 0 && static_cast<std::size_t>(index) < displays.size())
            m_screenRecorder.setSelectedDisplay(displays[static_cast<std::size_t>(index)]);
    });
    connect(m_windows, &QComboBox::activated, this, [this](int index) {
        const auto windows = m_screenRecorder.availableWindows();
        if (index >= 0 && static_cast<std::size_t>(index) < windows.size()) {
            m_screenRecorder.setSelectedWindow(windows[static_cast<std::size_t>(index)]);
            Q_EMIT windowChosen();
        }
    });
    connect(m_resetCropButton, &QPushButton::clicked, this, [this] { m_sources.setCrop(std::nullopt); });
    connect(m_useDetectedCrop, &QPushButton::clicked, &m_sources, &RecordingSources::useProposedCrop);
    connect(m_chooseFile, &QPushButton::clicked, this, &VideoSection::chooseFile);
    connect(&m_portalChooser, &PortalFileChooser::chosen, this, &VideoSection::chooseFilm);
    connect(&m_portalChooser, &PortalFileChooser::unavailable, this, [this](const QString& reason) {
        if (!reason.isEmpty())
            qWarning("The desktop's file chooser failed (%s); using Corvex Studio's own.", qPrintable(reason));
        openOwnFileDialog();
    });
    connect(&m_videoFile, &capture::RecordingSource::messageChanged, this, &VideoSection::updateFile);
    connect(&sources, &RecordingSources::currentChanged, this, &VideoSection::updateCaptureType);
    connect(&sources, &RecordingSources::cropChanged, this, &VideoSection::updateCrop);

    using capture::ScreenRecorder;
    const ScreenRecorder& screenRecorder = m_screenRecorder;
    connect(&screenRecorder, &ScreenRecorder::captureTypeChanged, this, &VideoSection::updateCaptureType);
    connect(&screenRecorder, &ScreenRecorder::availableDisplaysChanged, this, &VideoSection::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::selectedDisplayChanged, this, &VideoSection::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::availableWindowsChanged, this, &VideoSection::updateWindows);
    connect(&screenRecorder, &ScreenRecorder::selectedWindowChanged, this, &VideoSection::updateWindows);
    // The list is empty until the first look at the screen: say why only after it.
    connect(&screenRecorder, &ScreenRecorder::availableContentRefreshed, this, [this] {
        m_looked = true;
        updateEmptyHint();
    });

    updateCaptureType();
    updateDisplays();
    updateWindows();
    updateCrop();
    updateFile();
    m_emptyHint->hide();
}

QFileDialog* VideoSection::fileDialog() const
{
    return m_fileDialog;
}

void VideoSection::chooseFile()
{
    if (m_fileDialog) {
        m_fileDialog->raise();
        return;
    }
    if (m_portalChooser.isOpen())
        return; // the desktop's dialog is up
    // The desktop's own chooser where its portal has one; Qt's where it has none or fails.
    m_portalChooser.open({ fileDialogTitle(), lastFolder(), QStringLiteral("Videos"), videoPatterns() });
}

void VideoSection::chooseFilm(const QString& path)
{
    settings::Store().setValue(folderKey(), QFileInfo(path).absolutePath());
    m_videoFile.choose(path);
    Q_EMIT filmChosen();
}

void VideoSection::openOwnFileDialog()
{
    m_fileDialog = new QFileDialog(window(), fileDialogTitle(), lastFolder(),
        QStringLiteral("Videos (%1);;All files (*)").arg(videoPatterns().join(QLatin1Char(' '))));
    m_fileDialog->setFileMode(QFileDialog::ExistingFile);
    m_fileDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_fileDialog, &QFileDialog::fileSelected, this, &VideoSection::chooseFilm);
    // Shown without a nested event loop: the preview and the meter go on.
    m_fileDialog->open();
}

void VideoSection::updateFile()
{
    using Stage = capture::VideoFileSource::Stage;
    const Stage stage = m_videoFile.stage();
    m_fileName->setFullText(
        m_videoFile.path().isEmpty() ? QStringLiteral("No file chosen") : QFileInfo(m_videoFile.path()).fileName());
    m_fileName->setToolTip(m_videoFile.path());
    // The reader names the whole path; the file's name is enough beside the chooser.
    QString message = m_videoFile.message();
    if (!m_videoFile.path().isEmpty())
        message.replace(m_videoFile.path(), QFileInfo(m_videoFile.path()).fileName());
    m_fileMessage->setText(message);
    m_fileMessage->setToolTip(m_videoFile.message());
    fitHeight(m_fileMessage);
    text_styles::setColour(
        m_fileMessage, m_videoFile.isMessageAFailure() ? text_styles::failure() : text_styles::secondary());
    m_fileMessage->setVisible(m_sources.isFile() && !m_videoFile.message().isEmpty());
    m_soundNote->setText(m_videoFile.soundNote());
    m_soundNote->setToolTip(m_videoFile.soundNote().isEmpty()
            ? QString()
            : QStringLiteral("Receivers find their place in a show by listening to the film; without sound they "
                             "cannot."));
    fitHeight(m_soundNote);
    m_soundNote->setVisible(m_sources.isFile() && stage != Stage::Invalid && !m_videoFile.soundNote().isEmpty());
}

void VideoSection::updateSuggestion()
{
    m_useDetectedCrop->setVisible(m_sources.newCropProposal().has_value());
}

void VideoSection::showDesktopChoice(screencapture::DesktopChooser& chooser)
{
    // Nothing can be listed here: the desktop's dialog picks a display or, where
    // it offers them, a window. Our own window list would stay empty for good.
    m_desktopChoice = new DesktopChoiceView(m_screenRecorder, chooser, this);
    rows()->insertWidget(rows()->indexOf(m_content), m_desktopChoice);
    m_content->hide();
    // The window road, where the dialog offers single windows: it then offers only them.
    const auto offerWindows = [this, &chooser] {
        if (auto* types = qobject_cast<QStandardItemModel*>(m_captureType->model())) {
            QStandardItem* window = types->item(1);
            window->setEnabled(chooser.offersWindows());
            window->setToolTip(chooser.offersWindows()
                    ? QStringLiteral("The desktop's dialog offers single windows: share the player's window")
                    : QStringLiteral("The desktop's dialog offers only whole displays here"));
        }
    };
    offerWindows();
    connect(&m_screenRecorder, &capture::ScreenRecorder::availableContentRefreshed, this, offerWindows);
}

void VideoSection::updateCaptureType()
{
    const bool file = m_sources.isFile();
    const bool window = m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window;
    m_captureType->setCurrentIndex(file ? kVideoFileIndex : window ? 1 : 0);
    m_content->setCurrentWidget(file ? m_filePage : window ? static_cast<QWidget*>(m_windows) : m_displays);
    m_screenContentLabel->setText(file ? QStringLiteral("File") : QStringLiteral("Screen Content"));
    if (m_desktopChoice) {
        // Where the desktop's dialog picks the screen content, only the file road has a page of its own.
        m_desktopChoice->setVisible(!file);
        m_content->setVisible(file);
    }
    updateEmptyHint();
    updateFile();
    updateSuggestion();
}

void VideoSection::updateDisplays()
{
    const auto displays = m_screenRecorder.availableDisplays();
    const auto selected = m_screenRecorder.selectedDisplay();
    const QSignalBlocker blocker(m_displays);
    m_displays->clear();
    int current = -1;
    for (std::size_t i = 0; i < displays.size(); ++i) {
        m_displays->addItem(capture::ScreenRecorder::displayName(displays[i]));
        if (selected && displays[i].displayID == selected->displayID)
            current = static_cast<int>(i);
    }
    m_displays->setCurrentIndex(current);
}

void VideoSection::updateWindows()
{
    const auto windows = m_screenRecorder.availableWindows();
    const auto selected = m_screenRecorder.selectedWindow();
    const QSignalBlocker blocker(m_windows);
    m_windows->clear();
    int current = -1;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const screencapture::Window& window = windows[i];
        const QString text
            = windowOptionText(capture::ScreenRecorder::displayName(window), window.frame.width, window.frame.height);
        m_windows->addItem(text);
        m_windows->setItemData(static_cast<int>(i), text, Qt::ToolTipRole);
        if (selected && window.windowID == selected->windowID)
            current = static_cast<int>(i);
    }
    m_windows->setCurrentIndex(current);
    m_windows->setToolTip(current >= 0 ? m_windows->itemText(current) : QString());
    updateEmptyHint();
}

void VideoSection::updateEmptyHint()
{
    if (m_desktopChoice) {
        m_emptyHint->hide();
        return;
    }
    const bool window
        = !m_sources.isFile() && m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window;
    m_emptyHint->setVisible(window && m_looked && m_screenRecorder.availableWindows().empty());
}

void VideoSection::updateCrop()
{
    const std::optional<media::Rect> crop = m_screenRecorder.crop();
    m_cropText->setFullText(describeCrop(crop));
    m_cropText->setToolTip(describeCrop(crop)
        + QStringLiteral(". Drag a rectangle on the preview to record only part of the picture."));
    m_resetCropButton->setEnabled(crop.has_value());
    updateSuggestion();
}

} // namespace corvex::app
