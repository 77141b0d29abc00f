#include "app/configuration_view.h"

#include "app/audio_section.h"
#include "app/live_colours_section.h"
#include "app/outbox_actions.h"
#include "app/realtime_preview_section.h"
#include "app/recording_controls.h"
#include "app/recording_sources.h"
#include "app/recording_view.h"
#include "app/text_styles.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/session.h"
#include "service/sign_in.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

constexpr int kSectionSpacing = 20;
constexpr int kStatusLines = 4; // of the upload's status

// Hidden, `widget` keeps its place, so that what is below it does not move.
void keepPlace(QWidget* widget)
{
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}

// `text` in at most `lines` lines of `width` in `font`, the last ending in
// "…" when it does not all fit.
QString elideToLines(const QString& text, const QFont& font, int width, int lines)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    for (int line = 0; line < lines; ++line) {
        QTextLine next = layout.createLine();
        if (!next.isValid())
            break;
        next.setLineWidth(width);
    }
    QTextLine beyond = layout.createLine();
    const bool more = beyond.isValid();
    if (more)
        beyond.setLineWidth(width);
    layout.endLayout();
    if (!more)
        return text;
    // The last line shown, cut to make room for the ellipsis.
    const QTextLine last = layout.lineAt(layout.lineCount() - 2);
    const QString tail = QFontMetrics(font).elidedText(text.mid(last.textStart()), Qt::ElideRight, width);
    return text.left(last.textStart()) + tail;
}

// Room for `lines` lines of `label`'s text.
void reserveLines(QLabel* label, int lines)
{
    // (A wrapped label's lines come out a little taller than the font's spacing.)
    label->setMinimumHeight((label->fontMetrics().lineSpacing() + 1) * lines + 2);
    label->setAlignment(label->alignment() | Qt::AlignTop);
}

} // namespace

ConfigurationView::ConfigurationView(RecordingSources& sources, preview_link::UDPManager& udpManager,
    service::Session& manager, UploadQueue& uploads, std::optional<catalogue::TMDBItem> item, QWidget* parent)
    : QWidget(parent)
    , m_sources(sources)
    , m_manager(manager)
    , m_item(std::move(item))
    , m_upload(new RecordingUpload(uploads, this))
    , m_scroll(new QScrollArea(this))
    , m_itemSection(new ItemSection(m_item, this))
    , m_videoSection(new VideoSection(sources, this))
    , m_audioSection(new AudioSection(sources, this))
    , m_liveColoursSection(new LiveColoursSection(sources, this))
    , m_previewSection(new RealtimePreviewSection(udpManager, this))
    , m_controls(new RecordingControls(sources, manager, m_item.has_value(), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 8);
    column->setSpacing(4);

    // The sections scroll where the window is too low for them all; they are
    // never squeezed over each other.
    auto* sections = new QWidget(m_scroll);
    auto* sectionColumn = new QVBoxLayout(sections);
    sectionColumn->setContentsMargins(16, 8, 12, 0);
    sectionColumn->setSpacing(4);
    // When the recording loses its picture, what to do next is said where
    // the colours were.
    m_lostBox = new QWidget(sections);
    {
        auto* box = new QVBoxLayout(m_lostBox);
        box->setContentsMargins(0, 0, 0, 0);
        m_captureNotice = text_styles::label({}, text_styles::body(), RecordingControls::recordColour(), m_lostBox);
        m_captureNotice->setWordWrap(true);
        box->addWidget(m_captureNotice);
    }
    m_lostBox->hide();
    for (QWidget* section : std::initializer_list<QWidget*> {
             m_itemSection, m_videoSection, m_audioSection, m_liveColoursSection, m_lostBox, m_previewSection }) {
        sectionColumn->addWidget(section);
        if (section != m_previewSection && section != m_liveColoursSection)
            sectionColumn->addSpacing(kSectionSpacing);
    }
    sectionColumn->addStretch(1);
    m_scroll->setWidget(sections);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    // However low the window, a few rows of the sections show at a time.
    m_scroll->setMinimumHeight(160);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    sections->setAutoFillBackground(false);
    column->addWidget(m_scroll, 1);

    // Below: the controls, in rows that keep their room whether or not they
    // have something to show, so that the recording button never moves.
    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(16, 0, 12, 0);
    footer->setSpacing(4);
    footer->addWidget(m_controls);
    {
        m_uploadStatus = text_styles::label({}, text_styles::caption(), {}, this);
        m_uploadStatus->setWordWrap(true);
        m_uploadStatus->setTextFormat(Qt::PlainText); // it may quote the service
        // Its lines, whatever the news: the controls above never move for it.
        reserveLines(m_uploadStatus, kStatusLines);
        m_uploadStatus->setMaximumHeight(m_uploadStatus->minimumHeight());
        // Retry, or for a recording refused for good, keeping and removing it:
        // a row of one button's height whichever shows.
        auto* actions = new QWidget(this);
        auto* row = new QHBoxLayout(actions);
        row->setContentsMargins(0, 0, 0, 0);
        m_retryButton = new QPushButton(QStringLiteral("Retry"), actions);
        m_saveAsButton = new QPushButton(QStringLiteral("Save as File…"), actions);
        m_removeButton = new QPushButton(QStringLiteral("Remove…"), actions);
        actions->setMinimumHeight(m_retryButton->sizeHint().height());
        row->addStretch(1);
        for (QPushButton* button : { m_saveAsButton, m_removeButton, m_retryButton }) {
            button->hide();
            row->addWidget(button);
        }
        footer->addWidget(m_uploadStatus);
        footer->addWidget(actions);
    }
    m_restartRow = new QWidget(this);
    m_restartRow->setMinimumHeight(60);
    keepPlace(m_restartRow);
    {
        auto* row = new QHBoxLayout(m_restartRow);
        row->setContentsMargins(0, 0, 0, 0);
        m_restartButton = new QPushButton(QStringLiteral("Restart screen capture"), m_restartRow);
        row->addWidget(m_restartButton);
    }
    footer->addWidget(m_restartRow);
    column->addLayout(footer);

    connect(m_controls, &RecordingControls::recordingButtonClicked, this, &ConfigurationView::toggleRecording);
    connect(m_controls, &RecordingControls::discardClicked, this, &ConfigurationView::discard);
    connect(m_controls, &RecordingControls::cancelClicked, this, [this] { m_sources.current().discardRecording(); });
    connect(&sources, &RecordingSources::currentChanged, this, [this] {
        follow();
        updateCaptureState();
    });
    connect(m_retryButton, &QPushButton::clicked, m_upload, [this] { m_upload->retry(); });
    connect(m_saveAsButton, &QPushButton::clicked, this, [this, &uploads] {
        if (const auto entry = m_upload->waitingEntry(); entry && uploads.outbox())
            outbox_actions::saveAs(
                this, *uploads.outbox(), *entry, [upload = QPointer(m_upload)](const QString& message, bool succeeded) {
                    if (upload)
                        upload->reportKept(message, succeeded);
                });
    });
    connect(m_removeButton, &QPushButton::clicked, this, [this, &uploads] {
        if (const auto entry = m_upload->waitingEntry(); entry && uploads.outbox())
            outbox_actions::confirmRemove(this, *uploads.outbox(), *entry,
                [upload = QPointer(m_upload), &uploads](const QString& message, bool succeeded) {
                    if (upload)
                        upload->reportRemoved(message, succeeded);
                    uploads.refreshCount();
                });
    });
    connect(m_upload, &RecordingUpload::changed, this, &ConfigurationView::updateUploadStatus);
    connect(m_restartButton, &QPushButton::clicked, this, [this] { restart(); });
    // A window picked after the recorded one closed carries the recording on.
    connect(m_videoSection, &VideoSection::windowChosen, this, [this] {
        if (isWindowLost())
            restart();
    });
    // News of the last recording does not hang over the next film.
    connect(m_videoSection, &VideoSection::filmChosen, this, &ConfigurationView::clearFinishedMessage);
    // "Uploaded" belongs to the author who was signed in.
    connect(&manager, &service::Session::accessTokenChanged, this, [this] {
        if (!m_manager.accessToken())
            clearFinishedMessage();
    });
    follow();
    updateCaptureState();
}

void ConfigurationView::follow()
{
    disconnect(m_sourceConnection);
    m_sourceConnection = connect(&m_sources.current(), &capture::RecordingSource::recordingStateChanged, this, [this] {
        if (m_sources.current().isBusy())
            clearFinishedMessage();
        updateCaptureState();
    });
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
ElidedLabel* ConfigurationView::itemTitle() const
{
    return m_itemSection->title();
}
ColourSwatchView* ConfigurationView::swatch() const
{
    return m_liveColoursSection->swatch();
}

bool ConfigurationView::isWindowLost() const
{
    return !m_sources.isFile() && m_sources.screen().isWindowLost();
}

void ConfigurationView::updateCaptureState()
{
    const capture::RecordingSource& source = m_sources.current();
    const bool interrupted = source.recordingState() == capture::RecordingSource::State::Interrupted;
    m_captureNotice->setText(interrupted ? source.message() : QString());
    m_lostBox->setVisible(interrupted);
    // Said where it is seen, however far the sections were scrolled.
    if (interrupted)
        QTimer::singleShot(0, m_scroll, [this] { m_scroll->ensureWidgetVisible(m_lostBox); });
    // Nothing is sampled meanwhile; the notice takes the colours' place.
    m_liveColoursSection->setVisible(!interrupted);
    // A film is not captured: there is nothing to restart.
    m_restartRow->setVisible(!m_sources.isFile());
    const bool started = source.isBusy();
    m_itemSection->setEnabled(!started);
    // While the recorded window is gone, the window picker is the way on.
    m_videoSection->setEnabled(!started || isWindowLost());
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
    if (!m_sources.current().canSave())
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
    QPointer<capture::RecordingSource> source(&m_sources.current());
    connect(box, &QMessageBox::buttonClicked, this, [this, confirm, source](QAbstractButton* button) {
        // The question is about the recording it was asked for, if it is still there.
        if (button != confirm || !source || !source->canSave())
            return;
        source->discardRecording();
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
    capture::RecordingSource& source = m_sources.current();
    if (source.canSave()) {
        save();
        return;
    }
    if (!source.startRecording(m_sources.crop()))
        return;
    m_upload->recordingStarted(m_manager.account() ? m_manager.account()->id : QString());
    setOutcome(Outcome::None);
    Q_EMIT userStoppedChanged(false);
}

bool ConfigurationView::hasRecordingInProgress() const
{
    return m_sources.current().isBusy();
}

bool ConfigurationView::canSaveNow() const
{
    return m_sources.current().canSave();
}

void ConfigurationView::throwAway()
{
    m_sources.current().discardRecording();
}

void ConfigurationView::save()
{
    capture::RecordingSource& source = m_sources.current();
    if (!source.canSave())
        return;
    const std::optional<QByteArray> recording = source.takeRecording();
    Q_EMIT userStoppedChanged(true);
    if (!recording) {
        setOutcome(Outcome::NotUploaded);
        m_upload->reportNothingToUpload();
        return;
    }
    m_upload->upload(*recording, m_item);
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
    // Cut to its room, whole in the tooltip.
    const int width = m_uploadStatus->contentsRect().width() > 50 ? m_uploadStatus->contentsRect().width()
                                                                  : RecordingView::kPanelWidth - 28;
    m_uploadStatus->setText(elideToLines(m_upload->status(), m_uploadStatus->font(), width, kStatusLines));
    m_uploadStatus->setToolTip(m_upload->status());
    m_retryButton->setVisible(m_upload->retryVisible());
    m_retryButton->setEnabled(m_upload->canRetry());
    m_saveAsButton->setVisible(m_upload->isRefusedForGood());
    m_removeButton->setVisible(m_upload->isRefusedForGood());
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
    co_await m_sources.screen().start();
    (void)self;
}

} // namespace corvex::app
