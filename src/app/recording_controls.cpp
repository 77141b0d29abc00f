#include "app/recording_controls.h"

#include "analysis/analysis_recorder.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "app/video_file_authoring.h"
#include "service/app_manager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

QString formatElapsed(qint64 milliseconds)
{
    const qint64 seconds = milliseconds / 1000;
    if (seconds >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, (seconds / 60) % 60, seconds % 60);
    return QString::asprintf("%02lld:%02lld", seconds / 60, seconds % 60);
}

RecordingControls::RecordingControls(analysis::AnalysisRecorder& analysisRecorder, service::AppManager& manager,
    VideoFileAuthoring* videoFile, QWidget* parent)
    : QWidget(parent)
    , m_analysisRecorder(analysisRecorder)
    , m_manager(manager)
    , m_button(new QPushButton(QStringLiteral("Start recording"), this))
    , m_reason(text_styles::label({}, text_styles::caption(), text_styles::secondary(), this))
    , m_elapsed(text_styles::label({}, text_styles::title2(), recordColour(), this))
    , m_frames(text_styles::label({}, text_styles::caption(), text_styles::secondary(), this))
    , m_discard(new QPushButton(QStringLiteral("Discard recording"), this))
    , m_videoFile(videoFile)
    , m_progress(new QProgressBar(this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    m_button->setMinimumHeight(32);
    m_button->setIcon(studioIcon(StudioIcon::Record));
    column->addWidget(m_button);
    m_reason->setWordWrap(true);
    m_reason->setAlignment(Qt::AlignCenter);
    column->addWidget(m_reason);
    auto* clockRow = new QHBoxLayout;
    m_elapsed->setAccessibleName(QStringLiteral("Elapsed recording time"));
    clockRow->addWidget(m_elapsed, 0, Qt::AlignBaseline);
    clockRow->addWidget(m_frames, 1, Qt::AlignBaseline);
    clockRow->addWidget(m_discard, 0, Qt::AlignVCenter);
    column->addLayout(clockRow);
    auto* progressRow = new QHBoxLayout;
    m_progress->setRange(0, 1000);
    m_progress->setAccessibleName(QStringLiteral("Analysis progress"));
    m_cancel->setToolTip(QStringLiteral("Stop analysing the film; nothing of it is kept"));
    progressRow->addWidget(m_progress, 1);
    progressRow->addWidget(m_cancel);
    column->addLayout(progressRow);
    m_progress->hide();
    m_cancel->hide();

    connect(m_button, &QPushButton::clicked, this, &RecordingControls::recordingButtonClicked);
    connect(m_discard, &QPushButton::clicked, this, &RecordingControls::discardClicked);
    connect(m_cancel, &QPushButton::clicked, this, &RecordingControls::cancelClicked);
    if (videoFile) {
        connect(videoFile, &VideoFileAuthoring::activeChanged, this, &RecordingControls::updateState);
        connect(videoFile, &VideoFileAuthoring::stateChanged, this, &RecordingControls::updateState);
        connect(videoFile, &VideoFileAuthoring::progressChanged, this, &RecordingControls::updateProgress);
    }
    connect(&analysisRecorder, &analysis::AnalysisRecorder::startedChanged, this, &RecordingControls::updateState);
    connect(&manager, &service::AppManager::accountChanged, this, &RecordingControls::updateButton);
    connect(&manager, &service::AppManager::accessTokenChanged, this, &RecordingControls::updateButton);
    connect(&manager, &service::AppManager::currentItemChanged, this, &RecordingControls::updateButton);
    m_clockTimer.setInterval(250);
    connect(&m_clockTimer, &QTimer::timeout, this, &RecordingControls::updateClock);
    updateState();
}

bool RecordingControls::fileRoad() const
{
    return m_videoFile && m_videoFile->isActive();
}

void RecordingControls::updateButton()
{
    using FileState = VideoFileAuthoring::State;
    const bool file = fileRoad();
    // On the file road the recording "runs" while the film is analysed and
    // until its recording is saved or thrown away.
    const bool started = file ? m_videoFile->isBusy() : m_analysisRecorder.started();
    m_button->setText(started ? QStringLiteral("Save recording") : QStringLiteral("Start recording"));
    const bool ready
        = m_manager.account().has_value() && m_manager.accessToken().has_value() && m_manager.currentItem().has_value();
    const bool fileReady = !file || m_videoFile->state() == FileState::Ready;
    const bool analysing = file && m_videoFile->state() == FileState::Analysing;
    // A running recording can always be saved: signing out meanwhile must not
    // strand it (it then waits in the outbox until it can be uploaded).
    m_button->setEnabled(started ? !analysing : ready && fileReady);
    QString why;
    if (!ready && !started) {
        if (!m_manager.accessToken())
            why = QStringLiteral("Sign in in the main window to record.");
        else if (!m_manager.account())
            why = QStringLiteral("Waiting for your account from the light-show service…");
        else
            why = QStringLiteral("Choose a movie or an episode in the catalogue to record.");
    } else if (analysing) {
        why = QStringLiteral("Analysing the film…");
    } else if (file && !started) {
        switch (m_videoFile->state()) {
        case FileState::NoFile:
            why = QStringLiteral("Choose a video file above.");
            break;
        case FileState::Opening:
            why = QStringLiteral("Looking at the video file…");
            break;
        case FileState::Invalid:
            why = QStringLiteral("Choose another video file.");
            break;
        default:
            break;
        }
    }
    // Said where it is seen, not only in a tooltip.
    m_button->setToolTip(why);
    m_reason->setText(why);
    m_reason->setVisible(!why.isEmpty());
    if (started) {
        const QColor fill = recordColour();
        m_button->setStyleSheet(
            QStringLiteral("QPushButton { background-color: %1; color: white; font-weight: bold; "
                           "border: none; border-radius: 6px; padding: 6px 16px; }"
                           "QPushButton:pressed { background-color: %2; }"
                           "QPushButton:disabled { background-color: %4; color: #f4f4f4; }"
                           "QPushButton:focus { border: 2px solid %3; }")
                .arg(fill.name(), fill.darker(120).name(), fill.lighter(160).name(), fill.lighter(150).name()));
        m_button->setIcon(studioIcon(StudioIcon::Stop));
    } else {
        m_button->setStyleSheet({});
        m_button->setIcon(studioIcon(StudioIcon::Record));
    }
}

void RecordingControls::updateState()
{
    const bool file = fileRoad();
    const bool started = !file && m_analysisRecorder.started();
    updateButton();
    if (started) {
        if (!m_clock.isValid())
            m_clock.start();
        m_clockTimer.start();
    } else {
        m_clock.invalidate();
        m_clockTimer.stop();
    }
    m_elapsed->setVisible(started);
    m_frames->setVisible(started);
    const bool analysing = file && m_videoFile->state() == VideoFileAuthoring::State::Analysing;
    const bool analysed = file && m_videoFile->state() == VideoFileAuthoring::State::Analysed;
    m_discard->setVisible(started || analysed);
    m_progress->setVisible(analysing || analysed);
    m_cancel->setVisible(analysing);
    updateClock();
    updateProgress();
}

void RecordingControls::updateProgress()
{
    if (!fileRoad() || !m_progress->isVisibleTo(this))
        return;
    const VideoFileAuthoring::Progress progress = m_videoFile->progress();
    const int percent = static_cast<int>(progress.fraction * 100);
    m_progress->setValue(static_cast<int>(progress.fraction * 1000));
    QString text = QStringLiteral("%1 %").arg(percent);
    if (m_videoFile->state() == VideoFileAuthoring::State::Analysed)
        text += QStringLiteral(" · done");
    else if (const QString left = formatTimeLeft(progress.secondsLeft); !left.isEmpty())
        text += QStringLiteral(" · ") + left;
    m_progress->setFormat(text);
}

void RecordingControls::updateClock()
{
    if (!m_clock.isValid()) {
        m_elapsed->clear();
        m_frames->clear();
        return;
    }
    const int frames = m_analysisRecorder.frameCount();
    m_elapsed->setText(QStringLiteral("● ") + formatElapsed(m_clock.elapsed()));
    m_frames->setText(
        QStringLiteral("%1 %2").arg(frames).arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames")));
}

} // namespace corvex::app
