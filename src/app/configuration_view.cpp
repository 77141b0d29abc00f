#include "app/configuration_view.h"

#include "analysis/analysis_recorder.h"
#include "app/audio_levels_view.h"
#include "app/colour_swatch_view.h"
#include "app/text_styles.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/app_manager.h"
#include "service/sign_in.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

constexpr int kAlignmentOffset = 10;
constexpr int kSectionSpacing = 20;

// A section heading that starts `alignmentOffset` points left of the rows under it.
QLabel* headerView(const QString& title, QWidget* parent)
{
    return text_styles::label(title, text_styles::headline(), text_styles::secondary(), parent);
}

// The rows of a section, indented so that the heading stands out to their left.
QVBoxLayout* sectionRows(QVBoxLayout* column)
{
    auto* rows = new QVBoxLayout;
    rows->setContentsMargins(kAlignmentOffset, 0, 0, 0);
    rows->setSpacing(4);
    column->addLayout(rows);
    return rows;
}

QString formatElapsed(qint64 milliseconds)
{
    const qint64 seconds = milliseconds / 1000;
    if (seconds >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, (seconds / 60) % 60, seconds % 60);
    return QString::asprintf("%02lld:%02lld", seconds / 60, seconds % 60);
}

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

} // namespace

CurrentItemText currentItemText(const std::optional<catalogue::TMDBItem>& item)
{
    if (!item)
        return {};
    if (item->movie && item->movie->title)
        return { *item->movie->title, {} };
    if (item->tvShow && item->tvShow->name) {
        const long long season = item->season ? item->season->season_number : 0;
        const long long episode = item->episode ? item->episode->episode_number : 0;
        return { *item->tvShow->name, QString::asprintf("Season %lld - Ep %lld", season, episode) };
    }
    return {};
}

QString windowOptionText(const QString& displayName, double width, double height)
{
    return displayName + QStringLiteral(" - ") + QString::asprintf("%lf", width) + QStringLiteral("x")
        + QString::asprintf("%lf", height);
}

ConfigurationView::ConfigurationView(capture::ScreenRecorder& screenRecorder,
    analysis::AnalysisRecorder& analysisRecorder, preview_link::UDPManager& udpManager, service::AppManager& manager,
    UploadQueue& uploads, QWidget* parent)
    : QWidget(parent)
    , m_screenRecorder(screenRecorder)
    , m_analysisRecorder(analysisRecorder)
    , m_udpManager(udpManager)
    , m_manager(manager)
    , m_upload(new RecordingUpload(uploads, this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 12, 12, 12);
    column->setSpacing(6);

    // Movie / Episode
    m_itemSection = new QWidget(this);
    {
        auto* section = new QVBoxLayout(m_itemSection);
        section->setContentsMargins(0, 0, 0, 0);
        section->addWidget(headerView(QStringLiteral("Movie / Episode"), m_itemSection));
        QVBoxLayout* rows = sectionRows(section);
        m_itemTitle = text_styles::label({}, text_styles::body(), {}, m_itemSection);
        m_itemTitle->setWordWrap(true);
        m_itemDetail = text_styles::label({}, text_styles::body(), {}, m_itemSection);
        rows->addWidget(m_itemTitle);
        rows->addWidget(m_itemDetail);
    }
    column->addWidget(m_itemSection);
    column->addSpacing(kSectionSpacing);

    // Video
    m_videoSection = new QWidget(this);
    {
        auto* section = new QVBoxLayout(m_videoSection);
        section->setContentsMargins(0, 0, 0, 0);
        section->addWidget(headerView(QStringLiteral("Video"), m_videoSection));
        QVBoxLayout* rows = sectionRows(section);
        rows->addWidget(new QLabel(QStringLiteral("Capture Type"), m_videoSection));
        m_captureType = new QComboBox(m_videoSection);
        m_captureType->setAccessibleName(QStringLiteral("Capture"));
        m_captureType->addItem(QStringLiteral("Display"));
        m_captureType->addItem(QStringLiteral("Window"));
        rows->addWidget(m_captureType);
        rows->addWidget(new QLabel(QStringLiteral("Screen Content"), m_videoSection));
        m_content = new QStackedWidget(m_videoSection);
        m_displays = new QComboBox(m_content);
        m_displays->setAccessibleName(QStringLiteral("Display"));
        m_windows = new QComboBox(m_content);
        m_windows->setAccessibleName(QStringLiteral("Window"));
        m_windows->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        m_windows->setMinimumContentsLength(10);
        m_displays->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        m_displays->setMinimumContentsLength(10);
        m_content->addWidget(m_displays);
        m_content->addWidget(m_windows);
        m_content->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        rows->addWidget(m_content);
        auto* cropRow = new QHBoxLayout;
        m_cropText = text_styles::label({}, text_styles::caption(), text_styles::secondary(), m_videoSection);
        m_cropText->setToolTip(QStringLiteral("Drag a rectangle on the preview to record only part of the picture"));
        m_resetCropButton = new QPushButton(QStringLiteral("Reset crop"), m_videoSection);
        cropRow->addWidget(m_cropText, 1);
        cropRow->addWidget(m_resetCropButton);
        rows->addLayout(cropRow);
    }
    column->addWidget(m_videoSection);
    column->addSpacing(kSectionSpacing);

    // Audio, with the colours being sampled beside the meter
    column->addWidget(headerView(QStringLiteral("Audio"), this));
    {
        QVBoxLayout* rows = sectionRows(column);
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        m_levels = new AudioLevelsView(*screenRecorder.audioLevelsProvider(), this);
        m_swatch = new ColourSwatchView(this);
        row->addWidget(m_levels, 1, Qt::AlignVCenter);
        row->addWidget(m_swatch, 0, Qt::AlignVCenter);
        rows->addLayout(row);
    }
    column->addSpacing(kSectionSpacing);

    // Realtime preview
    column->addWidget(headerView(QStringLiteral("Realtime preview"), this));
    {
        QVBoxLayout* rows = sectionRows(column);
        m_receivers = new QComboBox(this);
        m_receivers->setAccessibleName(QStringLiteral("Corvex app"));
        rows->addWidget(m_receivers);
    }
    column->addSpacing(kSectionSpacing);

    m_recordingButton = new QPushButton(QStringLiteral("Start recording"), this);
    m_recordingButton->setMinimumHeight(32);
    column->addWidget(m_recordingButton);
    m_recordingStatus = text_styles::label({}, text_styles::caption(), text_styles::secondary(), this);
    m_recordingStatus->setAlignment(Qt::AlignCenter);
    column->addWidget(m_recordingStatus);
    {
        auto* row = new QHBoxLayout;
        m_uploadStatus = text_styles::label({}, text_styles::caption(), {}, this);
        m_uploadStatus->setWordWrap(true);
        m_retryButton = new QPushButton(QStringLiteral("Retry"), this);
        m_retryButton->hide();
        row->addWidget(m_uploadStatus, 1);
        row->addWidget(m_retryButton, 0, Qt::AlignTop);
        column->addLayout(row);
    }
    column->addStretch(1);

    auto* restartRow = new QWidget(this);
    restartRow->setMinimumHeight(60);
    {
        auto* row = new QHBoxLayout(restartRow);
        row->setContentsMargins(0, 0, 0, 0);
        m_restartButton = new QPushButton(QStringLiteral("Restart screen capture"), restartRow);
        row->addWidget(m_restartButton);
    }
    column->addWidget(restartRow);

    // Bindings to the models.
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
        if (index >= 0 && static_cast<std::size_t>(index) < windows.size())
            m_screenRecorder.setSelectedWindow(windows[static_cast<std::size_t>(index)]);
    });
    connect(m_receivers, &QComboBox::activated, this, [this](int index) {
        const QList<preview_link::DiscoveredService> services = m_udpManager.udpClient().discoveredServices();
        if (index <= 0 || index > services.size())
            m_udpManager.setSelectedService(std::nullopt);
        else
            m_udpManager.setSelectedService(services.at(index - 1));
    });
    connect(m_resetCropButton, &QPushButton::clicked, this, [this] { m_screenRecorder.setCrop(std::nullopt); });
    connect(m_recordingButton, &QPushButton::clicked, this, &ConfigurationView::toggleRecording);
    connect(m_retryButton, &QPushButton::clicked, m_upload, [this] { m_upload->retry(); });
    connect(m_upload, &RecordingUpload::changed, this, &ConfigurationView::updateUploadStatus);
    connect(m_restartButton, &QPushButton::clicked, this, [this] { restart(); });

    using capture::ScreenRecorder;
    connect(&screenRecorder, &ScreenRecorder::captureTypeChanged, this, &ConfigurationView::updateCaptureType);
    connect(&screenRecorder, &ScreenRecorder::availableDisplaysChanged, this, &ConfigurationView::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::selectedDisplayChanged, this, &ConfigurationView::updateDisplays);
    connect(&screenRecorder, &ScreenRecorder::availableWindowsChanged, this, &ConfigurationView::updateWindows);
    connect(&screenRecorder, &ScreenRecorder::selectedWindowChanged, this, &ConfigurationView::updateWindows);
    connect(&screenRecorder, &ScreenRecorder::cropChanged, this, &ConfigurationView::updateCrop);
    connect(&udpManager.udpClient(), &preview_link::UDPClient::discoveredServicesChanged, this,
        &ConfigurationView::updateReceivers);
    connect(&udpManager, &preview_link::UDPManager::selectedServiceChanged, this, &ConfigurationView::updateReceivers);
    connect(
        &analysisRecorder, &analysis::AnalysisRecorder::startedChanged, this, &ConfigurationView::updateRecordingState);
    connect(&manager, &service::AppManager::accountChanged, this, &ConfigurationView::updateRecordingButton);
    connect(&manager, &service::AppManager::accessTokenChanged, this, &ConfigurationView::updateRecordingButton);
    connect(&manager, &service::AppManager::currentItemChanged, this, &ConfigurationView::updateItem);
    connect(&manager, &service::AppManager::currentItemChanged, this, &ConfigurationView::updateRecordingButton);

    // The swatch follows the preview at most ten times a second.
    connect(screenRecorder.capturePreview(), &capture::CapturePreview::contentsChanged, this,
        [this] { m_swatchDirty = true; });
    m_swatchTimer.setInterval(100);
    connect(&m_swatchTimer, &QTimer::timeout, this, &ConfigurationView::updateSwatch);
    m_swatchTimer.start();
    m_statusTimer.setInterval(250);
    connect(&m_statusTimer, &QTimer::timeout, this, &ConfigurationView::updateRecordingStatus);

    updateItem();
    updateCaptureType();
    updateDisplays();
    updateWindows();
    updateCrop();
    updateReceivers();
    updateRecordingState();
}

ConfigurationView::~ConfigurationView() = default;

void ConfigurationView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Each time the receiver picker comes on screen, look for receivers afresh.
    m_udpManager.udpClient().startDiscovery();
}

void ConfigurationView::updateItem()
{
    const CurrentItemText text = currentItemText(m_manager.currentItem());
    m_itemTitle->setText(text.title);
    m_itemTitle->setVisible(!text.title.isEmpty());
    m_itemDetail->setText(text.detail);
    m_itemDetail->setVisible(!text.detail.isEmpty());
}

void ConfigurationView::updateRecordingButton()
{
    const bool started = m_analysisRecorder.started();
    m_recordingButton->setText(started ? QStringLiteral("Save recording") : QStringLiteral("Start recording"));
    const bool ready
        = m_manager.account().has_value() && m_manager.accessToken().has_value() && m_manager.currentItem().has_value();
    // A running recording can always be saved: signing out meanwhile must not
    // strand it (it then waits in the outbox until it can be uploaded).
    m_recordingButton->setEnabled(ready || started);
    if (!ready && !started) {
        QString why;
        if (!m_manager.accessToken())
            why = QStringLiteral("Sign in in the main window to record.");
        else if (!m_manager.account())
            why = QStringLiteral("Waiting for your account from the light-show service…");
        else
            why = QStringLiteral("Choose a movie or an episode in the catalogue to record.");
        m_recordingButton->setToolTip(why);
    } else {
        m_recordingButton->setToolTip({});
    }
}

void ConfigurationView::updateRecordingState()
{
    const bool started = m_analysisRecorder.started();
    m_itemSection->setEnabled(!started);
    m_videoSection->setEnabled(!started);
    updateRecordingButton();
    if (started) {
        if (!m_recordingClock.isValid())
            m_recordingClock.start();
        m_statusTimer.start();
    } else {
        m_recordingClock.invalidate();
        m_statusTimer.stop();
    }
    updateRecordingStatus();
}

void ConfigurationView::updateRecordingStatus()
{
    if (!m_analysisRecorder.started() || !m_recordingClock.isValid()) {
        m_recordingStatus->clear();
        m_recordingStatus->hide();
        return;
    }
    const int frames = m_analysisRecorder.frameCount();
    m_recordingStatus->setText(QStringLiteral("Recording %1 · %2 %3")
                                   .arg(formatElapsed(m_recordingClock.elapsed()))
                                   .arg(frames)
                                   .arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames")));
    m_recordingStatus->show();
}

void ConfigurationView::updateCaptureType()
{
    const bool window = m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window;
    m_captureType->setCurrentIndex(window ? 1 : 0);
    m_content->setCurrentWidget(window ? static_cast<QWidget*>(m_windows) : m_displays);
}

void ConfigurationView::updateDisplays()
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

void ConfigurationView::updateWindows()
{
    const auto windows = m_screenRecorder.availableWindows();
    const auto selected = m_screenRecorder.selectedWindow();
    const QSignalBlocker blocker(m_windows);
    m_windows->clear();
    int current = -1;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const screencapture::Window& window = windows[i];
        m_windows->addItem(
            windowOptionText(capture::ScreenRecorder::displayName(window), window.frame.width, window.frame.height));
        if (selected && window.windowID == selected->windowID)
            current = static_cast<int>(i);
    }
    m_windows->setCurrentIndex(current);
}

void ConfigurationView::updateCrop()
{
    const std::optional<media::Rect> crop = m_screenRecorder.crop();
    m_cropText->setText(describeCrop(crop));
    m_resetCropButton->setEnabled(crop.has_value());
    m_swatchDirty = true;
}

void ConfigurationView::updateReceivers()
{
    const QList<preview_link::DiscoveredService> services = m_udpManager.udpClient().discoveredServices();
    const std::optional<preview_link::DiscoveredService> selected = m_udpManager.selectedService();
    const QSignalBlocker blocker(m_receivers);
    m_receivers->clear();
    m_receivers->addItem(QStringLiteral("None"));
    int current = 0;
    for (qsizetype i = 0; i < services.size(); ++i) {
        m_receivers->addItem(services.at(i).name);
        if (selected && services.at(i).name == selected->name)
            current = static_cast<int>(i + 1);
    }
    m_receivers->setCurrentIndex(current);
}

void ConfigurationView::updateSwatch()
{
    if (!m_swatchDirty)
        return;
    m_swatchDirty = false;
    const auto& surface = m_screenRecorder.capturePreview()->contents();
    m_swatch->setColours(surface ? sampleSwatch(*surface, m_screenRecorder.crop()) : std::nullopt);
}

void ConfigurationView::toggleRecording()
{
    if (!m_recordingButton->isEnabled())
        return;
    if (m_analysisRecorder.started()) {
        save();
        return;
    }
    m_analysisRecorder.start();
    m_upload->recordingStarted(m_manager.account() ? m_manager.account()->id : QString());
    Q_EMIT userStoppedChanged(false);
}

void ConfigurationView::save()
{
    const std::optional<QByteArray> recording = m_analysisRecorder.stop();
    Q_EMIT userStoppedChanged(true);
    if (!recording) {
        m_upload->reportNothingToUpload();
        return;
    }
    m_upload->upload(*recording);
}

void ConfigurationView::updateUploadStatus()
{
    switch (m_upload->tone()) {
    case RecordingUpload::Tone::Neutral:
        text_styles::setColour(m_uploadStatus, text_styles::secondary());
        break;
    case RecordingUpload::Tone::Success:
        text_styles::setColour(m_uploadStatus, QColor(52, 170, 80));
        break;
    case RecordingUpload::Tone::Failure:
        text_styles::setColour(m_uploadStatus, Qt::red);
        break;
    }
    m_uploadStatus->setText(m_upload->status());
    m_retryButton->setVisible(m_upload->retryVisible());
    m_retryButton->setEnabled(m_upload->canRetry());
}

QCoro::Task<> ConfigurationView::restart()
{
    QPointer<ConfigurationView> self(this);
    Q_EMIT userStoppedChanged(false);
    co_await m_screenRecorder.start();
    (void)self;
}

} // namespace corvex::app
