#include "app/outbox_dialog.h"

#include "app/outbox_actions.h"
#include "app/text_styles.h"
#include "app/upload_queue.h"
#include "service/session.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

enum Column { Recording, Saved, Account, State };

QString signedInAccount(const service::Session& manager)
{
    return manager.account() ? manager.account()->id : QString();
}

} // namespace

OutboxDialog::OutboxDialog(StudioEnvironment& environment, QWidget* parent)
    : QDialog(parent)
    , m_environment(environment)
    , m_list(new QTreeWidget(this))
    , m_message(new QLabel(this))
    , m_retry(new QPushButton(QStringLiteral("Retry"), this))
    , m_save(new QPushButton(QStringLiteral("Save as File…"), this))
    , m_remove(new QPushButton(QStringLiteral("Remove…"), this))
{
    setWindowTitle(QStringLiteral("Waiting recordings"));
    auto* column = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("These recordings have not reached the service yet. They are kept on this "
                                            "computer until they are uploaded or you remove them."),
        this);
    intro->setWordWrap(true);
    column->addWidget(intro);
    m_list->setHeaderLabels(
        { QStringLiteral("Recording"), QStringLiteral("Saved"), QStringLiteral("Account"), QStringLiteral("State") });
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(true);
    column->addWidget(m_list, 1);
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText); // it may quote the service
    m_message->hide();
    column->addWidget(m_message);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    for (QPushButton* button : { m_retry, m_save, m_remove }) {
        button->setAutoDefault(false);
        buttons->addButton(button, QDialogButtonBox::ActionRole);
    }
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &OutboxDialog::updateButtons);
    connect(m_retry, &QPushButton::clicked, this, [this] { retryChosen(); });
    connect(m_save, &QPushButton::clicked, this, [this] {
        if (const auto entry = chosen(); entry && m_environment.uploads.outbox())
            outbox_actions::saveAs(this, *m_environment.uploads.outbox(), *entry,
                [self = QPointer(this)](const QString& message, bool succeeded) {
                    if (self)
                        self->say(message, succeeded);
                });
    });
    connect(m_remove, &QPushButton::clicked, this, [this] {
        if (const auto entry = chosen(); entry && m_environment.uploads.outbox())
            outbox_actions::confirmRemove(this, *m_environment.uploads.outbox(), *entry,
                [self = QPointer(this), uploads = &m_environment.uploads](const QString& message, bool succeeded) {
                    uploads->refreshCount();
                    if (self)
                        self->say(message, succeeded);
                });
    });
    connect(&environment.uploads, &UploadQueue::entriesChanged, this, &OutboxDialog::fill);
    connect(&environment.uploads, &UploadQueue::retryingAllChanged, this, &OutboxDialog::updateButtons);
    connect(&environment.session, &service::Session::accountChanged, this, &OutboxDialog::fill);
    fill();
    resize(760, 360);
}

void OutboxDialog::fill()
{
    const std::optional<service::Outbox::Entry> was = chosen();
    m_list->clear();
    const QString account = signedInAccount(m_environment.session);
    for (const service::Outbox::Entry& entry : m_environment.uploads.entries()) {
        auto* row = new QTreeWidgetItem(m_list);
        row->setData(Recording, Qt::UserRole, entry.id);
        row->setText(Recording, entry.item.describe());
        row->setText(Saved, QLocale().toString(entry.savedAt.toLocalTime(), QLocale::ShortFormat));
        row->setText(Account, entry.authorText());
        row->setText(State, outbox_actions::stateOf(entry, account));
        row->setToolTip(State, row->text(State));
        if (entry.refusedForGood())
            row->setForeground(State, text_styles::failure(palette()));
        if (was && was->id == entry.id)
            row->setSelected(true);
    }
    const service::Outbox* outbox = m_environment.uploads.outbox();
    for (const QString& id : m_environment.uploads.unreadable()) {
        auto* row = new QTreeWidgetItem(m_list);
        row->setData(Recording, Qt::UserRole, id);
        row->setText(Recording, QStringLiteral("Unknown title (%1)").arg(id));
        row->setText(Account, QStringLiteral("Unknown"));
        if (outbox)
            row->setText(Saved, QLocale().toString(outbox->unreadableEntry(id).savedAt, QLocale::ShortFormat));
        row->setText(State,
            QStringLiteral("Damaged on disk: its description cannot be read, so it will never upload. Save the "
                           "recording as a file to keep it."));
        row->setToolTip(State, row->text(State));
        row->setForeground(State, text_styles::failure(palette()));
        if (was && was->id == id)
            row->setSelected(true);
    }
    for (int i = 0; i < State; ++i)
        m_list->resizeColumnToContents(i);
    if (m_list->selectedItems().isEmpty() && m_list->topLevelItemCount() > 0)
        m_list->topLevelItem(0)->setSelected(true);
    updateButtons();
}

std::optional<service::Outbox::Entry> OutboxDialog::chosen() const
{
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    const QString id = selected.first()->data(Recording, Qt::UserRole).toString();
    for (const service::Outbox::Entry& entry : m_environment.uploads.entries()) {
        if (entry.id == id)
            return entry;
    }
    if (const service::Outbox* outbox = m_environment.uploads.outbox();
        outbox && m_environment.uploads.unreadable().contains(id))
        return outbox->unreadableEntry(id);
    return std::nullopt;
}

void OutboxDialog::updateButtons()
{
    const std::optional<service::Outbox::Entry> entry = chosen();
    const QString account = signedInAccount(m_environment.session);
    // A refusal for good is final, a damaged entry can never be sent, and a
    // recording is only ever sent to its own account.
    const bool neverSent = entry && (entry->refusedForGood() || m_environment.uploads.unreadable().contains(entry->id));
    m_retry->setEnabled(entry && !neverSent && !account.isEmpty() && entry->accountId == account
        && !m_environment.uploads.isRetryingAll());
    m_retry->setVisible(!neverSent);
    m_save->setEnabled(entry.has_value());
    m_remove->setEnabled(entry.has_value());
}

QCoro::Task<> OutboxDialog::retryChosen()
{
    const std::optional<service::Outbox::Entry> entry = chosen();
    if (!entry)
        co_return;
    QPointer<OutboxDialog> self(this);
    m_retry->setEnabled(false);
    say(QStringLiteral("Uploading %1…").arg(outbox_actions::describe(*entry)), true);
    // Named, not a braced temporary in the awaited call: GCC 12 destroys such
    // temporaries twice, which frees the entry under the upload.
    UploadQueue::Pending pending { *entry, {} };
    const UploadQueue::Outcome outcome = co_await m_environment.uploads.retry(std::move(pending));
    if (!self)
        co_return;
    if (outcome.error)
        say(QStringLiteral("It could not be uploaded: %1.").arg(outcome.error->message()), false);
    else if (outcome.alreadySending)
        say(QStringLiteral("It is being uploaded elsewhere right now."), true);
    else if (outcome.gone)
        say(QStringLiteral("It no longer waits: it was uploaded or removed elsewhere."), true);
    else if (outcome.pending)
        say(outbox_actions::stateOf(outcome.pending->entry, signedInAccount(m_environment.session)) + QLatin1Char('.'),
            false);
    else
        say(QStringLiteral("Uploaded %1.").arg(outbox_actions::describe(*entry)), true);
    updateButtons();
}

void OutboxDialog::say(const QString& message, bool succeeded)
{
    m_message->setText(message);
    text_styles::setColour(m_message, succeeded ? text_styles::secondary() : text_styles::failure());
    m_message->show();
}

} // namespace corvex::app
