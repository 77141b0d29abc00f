#include "app/outbox_bar.h"

#include "app/elided_label.h"
#include "app/outbox_dialog.h"
#include "app/outbox_retry.h"
#include "service/session.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace corvex::app {

OutboxBar::OutboxBar(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
    , m_label(new ElidedLabel(this))
    , m_retry(new QPushButton(QStringLiteral("Retry uploads"), this))
    , m_open(new QPushButton(QStringLiteral("Outbox…"), this))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    // The message takes the bar's width and is cut with "…" beyond it; the
    // whole text is in its tooltip.
    row->addWidget(m_label, 1);
    row->addWidget(m_retry);
    row->addWidget(m_open);
    m_countdown.setInterval(1000);
    connect(&m_countdown, &QTimer::timeout, this, &OutboxBar::update);
    connect(m_retry, &QPushButton::clicked, this, [this] { retryUploads(); });
    connect(m_open, &QPushButton::clicked, this, [this] { openOutbox(); });
    UploadQueue& uploads = environment.uploads;
    connect(&uploads, &UploadQueue::entriesChanged, this, &OutboxBar::update);
    connect(&uploads, &UploadQueue::retryingAllChanged, this, &OutboxBar::update);
    connect(&uploads, &UploadQueue::delivered, this, &OutboxBar::follow);
    connect(&environment.outboxRetry, &OutboxRetry::plannedChanged, this, &OutboxBar::update);
    connect(&environment.session, &service::Session::accountChanged, this, &OutboxBar::update);
    // News of uploads is about the author who was signed in.
    connect(&environment.session, &service::Session::accessTokenChanged, this, [this] {
        m_uploaded = 0;
        update();
    });
    update();
}

void OutboxBar::follow(const UploadQueue::Delivered& delivered)
{
    // A recording that had waited (not a first upload, which its window reports) reached the service.
    if (delivered.delivery == UploadQueue::Delivery::Sent && delivered.pending.entry.attempts > 0)
        ++m_uploaded;
    update();
}

void OutboxBar::update()
{
    const std::optional<service::Account>& account = m_environment.session.account();
    int mine = 0;
    int refused = 0;
    int unknown = 0;
    int others = 0;
    QStringList waitingFor;
    QString lastError;
    for (const service::Outbox::Entry& entry : m_environment.uploads.entries()) {
        if (entry.accountId.isEmpty()) {
            ++unknown;
        } else if (account && entry.accountId != account->id) {
            ++others;
            if (!waitingFor.contains(entry.authorText()))
                waitingFor.append(entry.authorText());
        } else if (entry.refusedForGood()) {
            ++refused;
        } else {
            ++mine;
            if (!entry.lastError.isEmpty())
                lastError = entry.lastError; // the newest attempt's, as the entries are oldest first
        }
    }
    const bool retrying = m_environment.uploads.isRetryingAll();
    const Backoff& next = m_environment.outboxRetry.backoff();
    QStringList parts;
    if (retrying) {
        parts << QStringLiteral("Uploading the recordings that were waiting…");
    } else {
        if (m_uploaded > 0)
            parts << (m_uploaded == 1 ? QStringLiteral("The waiting recording was uploaded.")
                                      : QStringLiteral("%1 waiting recordings were uploaded.").arg(m_uploaded));
        if (mine > 0) {
            QString text = mine == 1 ? QStringLiteral("1 recording is waiting to be uploaded.")
                                     : QStringLiteral("%1 recordings are waiting to be uploaded.").arg(mine);
            if (!account)
                text += QStringLiteral(" Sign in to send it.");
            else if (!lastError.isEmpty())
                text += QStringLiteral(" Last attempt: %1.").arg(lastError);
            if (account && next.isScheduled()) {
                const auto seconds = (next.remaining().count() + 999) / 1000;
                text += QStringLiteral(" Trying again in %1 s.").arg(seconds);
            }
            parts << text;
        }
        if (refused > 0)
            parts << QStringLiteral("%1 refused for good by the service will never upload: save or remove %2 under "
                                    "Outbox…")
                         .arg(refused)
                         .arg(refused == 1 ? QStringLiteral("it") : QStringLiteral("them"));
        if (others > 0)
            parts << QStringLiteral("%1 made under another account %2 for %3.")
                         .arg(others)
                         .arg(others == 1 ? QStringLiteral("waits") : QStringLiteral("wait"))
                         .arg(waitingFor.join(QStringLiteral(" or ")));
        if (unknown > 0)
            parts << QStringLiteral("%1 of unknown author %2 until sent with 'corvex outbox --send'.")
                         .arg(unknown)
                         .arg(unknown == 1 ? QStringLiteral("waits") : QStringLiteral("wait"));
        if (const qsizetype damaged = m_environment.uploads.unreadable().size(); damaged > 0)
            parts << QStringLiteral("%1 damaged on disk will never upload: save or remove %2 under Outbox…")
                         .arg(damaged)
                         .arg(damaged == 1 ? QStringLiteral("it") : QStringLiteral("them"));
    }
    const QString text = parts.join(QLatin1Char(' '));
    m_label->setFullText(text);
    m_label->setVisible(!text.isEmpty());
    m_retry->setVisible(mine > 0 && account);
    m_retry->setEnabled(!retrying);
    m_open->setVisible(m_environment.uploads.waitingCount() > 0);
    if (account && mine > 0 && next.isScheduled() && !retrying)
        m_countdown.start();
    else
        m_countdown.stop();
}

QCoro::Task<> OutboxBar::retryUploads()
{
    QPointer<OutboxBar> self(this);
    m_uploaded = 0;
    co_await m_environment.uploads.retryAll();
    if (self)
        update();
}

OutboxDialog* OutboxBar::openOutbox()
{
    if (!m_dialog) {
        m_dialog = new OutboxDialog(m_environment, window());
        m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_dialog->show();
    m_dialog->raise();
    m_dialog->activateWindow();
    return m_dialog;
}

} // namespace corvex::app
