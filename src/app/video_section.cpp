#include "app/video_section.h"

#include "app/desktop_choice_view.h"
#include "app/text_styles.h"
#include "capture/screen_recorder.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItemModel>
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

QComboBox* picker(const QString& name, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setAccessibleName(name);
    // Long window titles must not widen the 280-point panel.
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(10);
    return box;
}

} // namespace

QString windowOptionText(const QString& displayName, double width, double height)
{
    return displayName + QStringLiteral(" - ") + QString::asprintf("%lf", width) + QStringLiteral("x")
        + QString::asprintf("%lf", height);
}

VideoSection::VideoSection(capture::ScreenRecorder& screenRecorder, QWidget* parent)
    : PanelSection(QStringLiteral("Video"), parent)
    , m_screenRecorder(screenRecorder)
    , m_captureType(picker(QStringLiteral("Capture"), this))
    , m_content(new QStackedWidget(this))
    , m_displays(picker(QStringLiteral("Display"), m_content))
    , m_windows(picker(QStringLiteral("Window"), m_content))
    , m_emptyHint(hintLabel(noWindowsText(), this))
    , m_cropText(text_styles::label({}, text_styles::caption(), text_styles::secondary(), this))
    , m_resetCropButton(new QPushButton(QStringLiteral("Reset crop"), this))
{
    rows()->addWidget(new QLabel(QStringLiteral("Capture Type"), this));
    m_captureType->addItem(QStringLiteral("Display"));
    m_captureType->addItem(QStringLiteral("Window"));
    rows()->addWidget(m_captureType);
    rows()->addWidget(new QLabel(QStringLiteral("Screen Content"), this));
    m_windows->setPlaceholderText(QStringLiteral("No windows to record"));
    m_displays->setPlaceholderText(QStringLiteral("No displays to record"));
    m_content->addWidget(m_displays);
    m_content->addWidget(m_windows);
    m_content->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    rows()->addWidget(m_content);
    rows()->addWidget(m_emptyHint);
    if (screencapture::DesktopChooser* chooser = screenRecorder.backend()->desktopChooser())
        showDesktopChoice(*chooser);
    auto* cropRow = new QHBoxLayout;
    m_cropText->setToolTip(QStringLiteral("Drag a rectangle on the preview to record only part of the picture"));
    cropRow->addWidget(m_cropText, 1);
    cropRow->addWidget(m_resetCropButton);
    rows()->addLayout(cropRow);

    connect(m_captureType, &QComboBox::activated, this, [this](int index) {
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
    connect(m_resetCropButton, &QPushButton::clicked, this, [this] { m_screenRecorder.setCrop(std::nullopt); });

    using capture::ScreenRecorder;
    connect(&screenRecorder, &ScreenRecorder::captureTypeChanged, this, &VideoSection::updateCaptureType);
    connect(&screenRecorder, &ScreenRecorder::availableDisplaysChanged, this, &VideoSection::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::selectedDisplayChanged, this, &VideoSection::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::availableWindowsChanged, this, &VideoSection::updateWindows);
    connect(&screenRecorder, &ScreenRecorder::selectedWindowChanged, this, &VideoSection::updateWindows);
    connect(&screenRecorder, &ScreenRecorder::cropChanged, this, &VideoSection::updateCrop);
    // The list is empty until the first look at the screen: say why only after it.
    connect(&screenRecorder, &ScreenRecorder::availableContentRefreshed, this, [this] {
        m_looked = true;
        updateEmptyHint();
    });

    updateCaptureType();
    updateDisplays();
    updateWindows();
    updateCrop();
    m_emptyHint->hide();
}

void VideoSection::showDesktopChoice(screencapture::DesktopChooser& chooser)
{
    // Nothing can be listed here: the desktop's dialog picks a display or, where
    // it offers them, a window. Our own window list would stay empty for good.
    m_desktopChoice = new DesktopChoiceView(m_screenRecorder, chooser, this);
    rows()->insertWidget(rows()->indexOf(m_content), m_desktopChoice);
    m_content->hide();
    if (auto* types = qobject_cast<QStandardItemModel*>(m_captureType->model())) {
        QStandardItem* window = types->item(1);
        window->setEnabled(false);
        window->setToolTip(QStringLiteral("Pick a window in the desktop's dialog (Choose…) where it offers one"));
    }
}

void VideoSection::updateCaptureType()
{
    const bool window = m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window;
    m_captureType->setCurrentIndex(window ? 1 : 0);
    m_content->setCurrentWidget(window ? static_cast<QWidget*>(m_windows) : m_displays);
    updateEmptyHint();
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
    const bool window = m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window;
    m_emptyHint->setVisible(window && m_looked && m_screenRecorder.availableWindows().empty());
}

void VideoSection::updateCrop()
{
    const std::optional<media::Rect> crop = m_screenRecorder.crop();
    m_cropText->setText(describeCrop(crop));
    m_resetCropButton->setEnabled(crop.has_value());
}

} // namespace corvex::app
