#include "app/recording_controls.h"

#include "app/recording_sources.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "capture/recording_source.h"
#include "capture/video_file_source.h"
#include "service/session.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace corvex::app {

QString formatElapsed(qint64 milliseconds)
{
    const qint64 seconds = milliseconds / 1000;
    if (seconds >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, (seconds / 60) % 60, seconds % 60);
    return QString::asprintf("%02lld:%02lld", seconds / 60, seconds % 60);
}

QString formatTimeLeft(double seconds)
{
    const QString clock = capture::filmClock(seconds);
    return clock.isEmpty() ? QString() : clock + QStringLiteral(" left");
}

RecordingControls::RecordingControls(
    RecordingSources& sources, service::Session& manager, bool hasItem, QWidget* parent)
    : QWidget(parent)
    , m_sources(sources)
    , m_manager(manager)
    , m_hasItem(hasItem)
    , m_button(new QPushButton(QStringLiteral("Start recording"), this))
    , m_reason(text_styles::label({}, text_styles::caption(), text_styles::secondary(), this))
    , m_elapsed(text_styles::label({}, text_styles::title2(), recordColour(), this))
    , m_frames(text_styles::label({}, text_styles::caption(), text_styles::secondary(), this))
    , m_discard(new QPushButton(QStringLiteral("Discard recording"), this))
    , m_progress(new QProgressBar(this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
    , m_rows(new QStackedWidget(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    m_button->setMinimumHeight(32);
    m_button->setIcon(studioIcon(StudioIcon::Record));
    column->addWidget(m_button);
    m_reason->setWordWrap(true);
    column->addWidget(m_reason);
    // The clock and the progress take turns in one row, which keeps its room
    // whether or not it shows something: nothing here moves when a recording
    // starts or ends.
    auto* clockPage = new QWidget(m_rows);
    m_clockRow = new QHBoxLayout(clockPage);
    m_clockRow->setContentsMargins(0, 0, 0, 0);
    m_elapsed->setAccessibleName(QStringLiteral("Elapsed recording time"));
    m_clockRow->addWidget(m_elapsed, 0, Qt::AlignBaseline);
    m_clockRow->addWidget(m_frames, 1, Qt::AlignBaseline);
    m_clockRow->addWidget(m_discard, 0, Qt::AlignVCenter);
    auto* progressPage = new QWidget(m_rows);
    m_progressRow = new QHBoxLayout(progressPage);
    m_progressRow->setContentsMargins(0, 0, 0, 0);
    m_progress->setRange(0, 1000);
    m_progress->setAccessibleName(QStringLiteral("Analysis progress"));
    m_cancel->setToolTip(QStringLiteral("Stop analysing the film; nothing of it is kept"));
    m_progressRow->addWidget(m_progress, 1);
    m_progressRow->addWidget(m_cancel);
    m_rows->addWidget(clockPage);
    m_rows->addWidget(progressPage);
    column->addWidget(m_rows);
    m_reason->setMinimumHeight(2 * m_reason->fontMetrics().lineSpacing());
    m_reason->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // Cancel and Discard take turns beside the bar, which has the room of one.
    for (QWidget* row : std::initializer_list<QWidget*> { m_reason, m_elapsed, m_frames }) {
        QSizePolicy policy = row->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        row->setSizePolicy(policy);
    }

    connect(m_button, &QPushButton::clicked, this, &RecordingControls::recordingButtonClicked);
    connect(m_discard, &QPushButton::clicked, this, &RecordingControls::discardClicked);
    connect(m_cancel, &QPushButton::clicked, this, &RecordingControls::cancelClicked);
    connect(&sources, &RecordingSources::currentChanged, this, &RecordingControls::follow);
    connect(&manager, &service::Session::accountChanged, this, &RecordingControls::updateButton);
    connect(&manager, &service::Session::accessTokenChanged, this, &RecordingControls::updateButton);
    m_clockTimer.setInterval(250);
    connect(&m_clockTimer, &QTimer::timeout, this, &RecordingControls::updateClock);
    follow();
}

void RecordingControls::follow()
{
    for (const QMetaObject::Connection& connection : std::as_const(m_connections))
        disconnect(connection);
    capture::RecordingSource& source = m_sources.current();
    m_connections = {
        connect(&source, &capture::RecordingSource::recordingStateChanged, this, &RecordingControls::updateState),
        connect(&source, &capture::RecordingSource::progressChanged, this, &RecordingControls::updateProgress),
    };
    updateState();
}

void RecordingControls::updateButton()
{
    using State = capture::RecordingSource::State;
    const capture::RecordingSource& source = m_sources.current();
    const State state = source.recordingState();
    const bool started = source.isBusy();
    m_button->setText(started ? QStringLiteral("Save recording") : QStringLiteral("Start recording"));
    const bool ready = m_manager.account().has_value() && m_manager.accessToken().has_value() && m_hasItem;
    // A running recording can always be saved: signing out meanwhile must not
    // strand it (it then waits in the outbox until it can be uploaded).
    m_button->setEnabled(started ? source.canSave() : ready && state == State::Ready);
    QString why;
    if (!ready && !started) {
        if (!m_manager.accessToken())
            why = QStringLiteral("Sign in in the main window to record.");
        else if (!m_manager.account())
            why = QStringLiteral("Waiting for your account from the light-show service…");
        else
            why = QStringLiteral("Choose a movie or an episode in the catalogue to record.");
    } else {
        why = source.nextStep();
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
    using State = capture::RecordingSource::State;
    const capture::RecordingSource& source = m_sources.current();
    const State state = source.recordingState();
    updateButton();
    const bool clock = state == State::Recording || state == State::Interrupted;
    // The clock counts recorded time: it stands while no picture comes.
    if (state == State::Recording) {
        if (!m_clock.isValid())
            m_clock.start();
        m_clockTimer.start();
    } else {
        if (m_clock.isValid())
            m_recordedMs += m_clock.elapsed();
        m_clock.invalidate();
        m_clockTimer.stop();
        if (!clock)
            m_recordedMs = 0;
    }
    m_elapsed->setVisible(clock);
    m_frames->setVisible(clock);
    const bool progress = source.progress().has_value();
    m_rows->setCurrentIndex(progress ? 1 : 0);
    // Discard goes with the row on show: beside the clock, keeping its room, or
    // beside a finished film's bar in the room Cancel leaves.
    (progress ? m_progressRow : m_clockRow)->addWidget(m_discard, 0, Qt::AlignVCenter);
    QSizePolicy policy = m_discard->sizePolicy();
    policy.setRetainSizeWhenHidden(!progress);
    m_discard->setSizePolicy(policy);
    m_discard->setVisible(clock || state == State::Finished);
    m_cancel->setVisible(state == State::Analysing);
    updateClock();
    updateProgress();
}

void RecordingControls::updateProgress()
{
    const std::optional<capture::RecordingSource::Progress> progress = m_sources.current().progress();
    if (!progress)
        return;
    const int percent = static_cast<int>(progress->fraction * 100);
    m_progress->setValue(static_cast<int>(progress->fraction * 1000));
    QString text = QStringLiteral("%1 %").arg(percent);
    if (m_sources.current().recordingState() == capture::RecordingSource::State::Finished)
        text += QStringLiteral(" · done");
    else if (const QString left = formatTimeLeft(progress->secondsLeft); !left.isEmpty())
        text += QStringLiteral(" · ") + left;
    m_progress->setFormat(text);
}

void RecordingControls::updateClock()
{
    if (!m_elapsed->isVisibleTo(this)) {
        m_elapsed->clear();
        m_frames->clear();
        return;
    }
    const int frames = m_sources.current().frameCount();
    m_elapsed->setText(
        QStringLiteral("● ") + formatElapsed(m_recordedMs + (m_clock.isValid() ? m_clock.elapsed() : 0)));
    m_frames->setText(
        QStringLiteral("%1 %2").arg(frames).arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames")));
}

} // namespace corvex::app
