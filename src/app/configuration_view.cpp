#include "app/configuration_view.h"

#include "analysis/analysis_recorder.h"
#include "app/audio_section.h"
#include "app/crop_suggestion.h"
#include "app/live_colours_section.h"
#include "app/realtime_preview_section.h"
#include "app/recording_controls.h"
#include "app/text_styles.h"
#include "app/video_file_authoring.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/app_manager.h"
#include "service/sign_in.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

constexpr int kSectionSpacing = 20;

} // namespace

ConfigurationView::ConfigurationView(capture::ScreenRecorder& screenRecorder,
    analysis::AnalysisRecorder& analysisRecorder, preview_link::UDPManager& udpManager, service::AppManager& manager,
    UploadQueue& uploads, QWidget* parent)
    : QWidget(parent)
    , m_screenRecorder(screenRecorder)
    , m_analysisRecorder(analysisRecorder)
    , m_manager(manager)
    , m_upload(new RecordingUpload(uploads, this))
    , m_videoFile(new VideoFileAuthoring(this))
    , m_cropSuggestion(new CropSuggestion(screenRecorder, *m_videoFile, this))
    , m_itemSection(new ItemSection(manager, this))
    , m_videoSection(new VideoSection(screenRecorder, *m_videoFile, *m_cropSuggestion, this))
    , m_audioSection(new AudioSection(screenRecorder, *m_videoFile, this))
    , m_liveColoursSection(new LiveColoursSection(screenRecorder, *m_videoFile, this))
    , m_previewSection(new RealtimePreviewSection(udpManager, this))
    , m_controls(new RecordingControls(analysisRecorder, manager, m_videoFile, this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 8, 12, 8);
    column->setSpacing(4);
    for (QWidget* section : std::initializer_list<QWidget*> {
             m_itemSection, m_videoSection, m_audioSection, m_liveColoursSection, m_previewSection }) {
        column->addWidget(section);
        column->addSpacing(section == m_previewSection ? kSectionSpacing / 2 : kSectionSpacing);
    }

    // When the recorded window closes, what to do next is said here, in the panel.
    m_lostBox = new QWidget(this);
    {
        auto* box = new QVBoxLayout(m_lostBox);
        box->setContentsMargins(0, 0, 0, 0);
        m_captureNotice = text_styles::label({}, text_styles::body(), RecordingControls::recordColour(), m_lostBox);
        m_captureNotice->setWordWrap(true);
        box->addWidget(m_captureNotice);
    }
    m_lostBox->hide();
    column->addWidget(m_lostBox);

    column->addWidget(m_controls);
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

    connect(m_controls, &RecordingControls::recordingButtonClicked, this, &ConfigurationView::toggleRecording);
    connect(m_controls, &RecordingControls::discardClicked, this, &ConfigurationView::discard);
    connect(m_controls, &RecordingControls::cancelClicked, m_videoFile, &VideoFileAuthoring::cancel);
    connect(m_videoFile, &VideoFileAuthoring::activeChanged, this, &ConfigurationView::updateCaptureState);
    connect(m_videoFile, &VideoFileAuthoring::stateChanged, this, [this] {
        if (m_videoFile->isBusy())
            clearFinishedMessage();
        updateEnabling();
    });
    connect(m_retryButton, &QPushButton::clicked, m_upload, [this] { m_upload->retry(); });
    connect(m_upload, &RecordingUpload::changed, this, &ConfigurationView::updateUploadStatus);
    connect(m_restartButton, &QPushButton::clicked, this, [this] { restart(); });
    // A window picked after the recorded one closed carries the recording on.
    connect(m_videoSection, &VideoSection::windowChosen, this, [this] {
        if (m_windowLost)
            restart();
    });
    connect(&analysisRecorder, &analysis::AnalysisRecorder::startedChanged, this, [this] {
        if (m_analysisRecorder.started())
            clearFinishedMessage();
        updateCaptureState();
    });
    connect(&screenRecorder, &capture::ScreenRecorder::isRunningChanged, this, &ConfigurationView::updateCaptureState);
    // "Uploaded" belongs to the author who was signed in.
    connect(&manager, &service::AppManager::accessTokenChanged, this, [this] {
        if (!m_manager.accessToken())
            clearFinishedMessage();
    });
    updateCaptureState();
}

ConfigurationView::~ConfigurationView() = default;

QPushButton* ConfigurationView::recordingButton() const
{
    return m_controls->recordingButton();
}
QPushButton* ConfigurationView::discardButton() const
{
    return m_controls->discardButton();
}
QPushButton* ConfigurationView::resetCropButton() const
{
    return m_videoSection->resetCropButton();
}
QComboBox* ConfigurationView::captureTypePicker() const
{
    return m_videoSection->captureTypePicker();
}
QComboBox* ConfigurationView::displayPicker() const
{
    return m_videoSection->displayPicker();
}
QComboBox* ConfigurationView::windowPicker() const
{
    return m_videoSection->windowPicker();
}
QComboBox* ConfigurationView::receiverPicker() const
{
    return m_previewSection->receiverPicker();
}
QLabel* ConfigurationView::itemTitle() const
{
    return m_itemSection->title();
}
QLabel* ConfigurationView::itemDetail() const
{
    return m_itemSection->detail();
}
ColourSwatchView* ConfigurationView::swatch() const
{
    return m_liveColoursSection->swatch();
}
AudioLevelsView* ConfigurationView::levels() const
{
    return m_audioSection->levels();
}

void ConfigurationView::updateCaptureState()
{
    const bool started = m_analysisRecorder.started();
    const std::optional<screencapture::CaptureError>& error = m_screenRecorder.lastError();
    const bool lost = started && !m_videoFile->isActive() && !m_screenRecorder.isRunning()
        && m_screenRecorder.captureType() == capture::ScreenRecorder::CaptureType::window && error
        && error->code == screencapture::CaptureError::ContentUnavailable;
    m_windowLost = lost;
    m_captureNotice->setText(lost ? QStringLiteral("The window you were recording was closed. Save what was "
                                                   "recorded, or choose another window above to go on.")
                                  : QString());
    m_lostBox->setVisible(lost);
    // Nothing is sampled meanwhile; the notice takes the colours' place.
    m_liveColoursSection->setVisible(!lost);
    updateEnabling();
}

void ConfigurationView::updateEnabling()
{
    const bool started = m_analysisRecorder.started() || m_videoFile->isBusy();
    m_itemSection->setEnabled(!started);
    // While the recorded window is gone, the window picker is the way on.
    m_videoSection->setEnabled(!started || m_windowLost);
    m_videoSection->captureTypePicker()->setEnabled(!started);
}

void ConfigurationView::setOutcome(Outcome outcome)
{
    if (m_outcome == outcome)
        return;
    m_outcome = outcome;
    Q_EMIT outcomeChanged(outcome);
}

void ConfigurationView::clearFinishedMessage()
{
    // A failure stays while its recording waits for Retry; news of a finished
    // upload does not outlive the next recording or the author's sign-out.
    if (!m_upload->clearFinished())
        return;
    if (m_outcome != Outcome::NotUploaded)
        setOutcome(Outcome::None);
}

void ConfigurationView::discard()
{
    const bool file = m_videoFile->isActive();
    if (file ? m_videoFile->state() != VideoFileAuthoring::State::Analysed : !m_analysisRecorder.started())
        return;
    if (m_discardConfirmation)
        m_discardConfirmation->close();
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Recording"),
        QStringLiteral("Discard this recording?"), QMessageBox::NoButton, this);
    box->setInformativeText(QStringLiteral("What was recorded so far is thrown away and not uploaded."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* confirm = box->addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // As on Linux desktops, Return on a destructive question does nothing harmful.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirm, file](QAbstractButton* button) {
        if (button != confirm)
            return;
        if (file) {
            if (m_videoFile->state() != VideoFileAuthoring::State::Analysed)
                return;
            m_videoFile->discard();
        } else {
            if (!m_analysisRecorder.started())
                return;
            m_analysisRecorder.stop();
        }
        setOutcome(Outcome::Discarded);
        Q_EMIT userStoppedChanged(true);
    });
    m_discardConfirmation = box;
    box->open();
}

void ConfigurationView::toggleRecording()
{
    if (!recordingButton()->isEnabled())
        return;
    if (m_videoFile->isActive()) {
        if (m_videoFile->state() == VideoFileAuthoring::State::Analysed) {
            saveAnalysedFile();
        } else if (m_videoFile->start(m_screenRecorder.crop())) {
            m_upload->recordingStarted(m_manager.account() ? m_manager.account()->id : QString());
            setOutcome(Outcome::None);
            Q_EMIT userStoppedChanged(false);
        }
        return;
    }
    if (m_analysisRecorder.started()) {
        save();
        return;
    }
    m_analysisRecorder.start();
    m_upload->recordingStarted(m_manager.account() ? m_manager.account()->id : QString());
    setOutcome(Outcome::None);
    Q_EMIT userStoppedChanged(false);
}

bool ConfigurationView::hasRecordingInProgress() const
{
    return m_analysisRecorder.started() || m_videoFile->isBusy();
}

bool ConfigurationView::canSaveNow() const
{
    return m_videoFile->isActive() ? m_videoFile->state() == VideoFileAuthoring::State::Analysed
                                   : m_analysisRecorder.started();
}

void ConfigurationView::throwAway()
{
    if (m_videoFile->isActive()) {
        m_videoFile->cancel();
        m_videoFile->discard();
        return;
    }
    if (m_analysisRecorder.started())
        m_analysisRecorder.stop();
}

void ConfigurationView::save()
{
    if (m_videoFile->isActive()) {
        if (m_videoFile->state() == VideoFileAuthoring::State::Analysed)
            saveAnalysedFile();
        return;
    }
    const std::optional<QByteArray> recording = m_analysisRecorder.stop();
    Q_EMIT userStoppedChanged(true);
    if (!recording) {
        setOutcome(Outcome::NotUploaded);
        m_upload->reportNothingToUpload();
        return;
    }
    m_upload->upload(*recording);
}

void ConfigurationView::saveAnalysedFile()
{
    // From here on exactly as a recording of the screen is saved.
    const std::optional<QByteArray> recording = m_videoFile->takeRecording();
    Q_EMIT userStoppedChanged(true);
    if (!recording) {
        setOutcome(Outcome::NotUploaded);
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
    // The preview tells the same story as the status line. A note that the
    // main window is sending the recording leaves it at "Uploading", and a
    // cleared status line leaves the outcome to whoever cleared it.
    if (m_upload->isUploading())
        setOutcome(Outcome::Uploading);
    else if (m_upload->tone() == RecordingUpload::Tone::Success)
        setOutcome(Outcome::Uploaded);
    else if (m_upload->tone() == RecordingUpload::Tone::Failure)
        setOutcome(Outcome::NotUploaded);
}

QCoro::Task<> ConfigurationView::restart()
{
    QPointer<ConfigurationView> self(this);
    Q_EMIT userStoppedChanged(false);
    co_await m_screenRecorder.start();
    (void)self;
}

} // namespace corvex::app
