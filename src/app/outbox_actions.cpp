#include "app/outbox_actions.h"

#include <QDir>
#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>

namespace corvex::app::outbox_actions {

QString titleOf(const catalogue::TMDBItem& item)
{
    if (item.movie)
        return item.movie->title.value_or(QStringLiteral("Untitled film"));
    if (item.tvShow && item.season && item.episode)
        return QStringLiteral("%1 S%2E%3")
            .arg(item.tvShow->name.value_or(QStringLiteral("Untitled show")))
            .arg(item.season->season_number, 2, 10, QLatin1Char('0'))
            .arg(item.episode->episode_number, 2, 10, QLatin1Char('0'));
    return QStringLiteral("Untitled");
}

namespace {

// A file name from the title, without what file systems or shells trip over.
QString fileNameFor(const service::Outbox::Entry& entry)
{
    QString name = titleOf(entry.item);
    for (QChar& c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-'))
            c = QLatin1Char(' ');
    }
    name = name.simplified().replace(QLatin1Char(' '), QLatin1Char('-'));
    return QStringLiteral("%1-%2.corvex").arg(name, entry.savedAt.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmm")));
}

} // namespace

QString describe(const service::Outbox::Entry& entry)
{
    return QStringLiteral("“%1”, saved %2, %3")
        .arg(titleOf(entry.item),
            QLocale().toString(entry.savedAt.toLocalTime(), QLocale::ShortFormat), entry.authorText());
}

QString stateOf(const service::Outbox::Entry& entry, const QString& signedInAccount)
{
    if (entry.refusedForGood())
        return QStringLiteral("Refused for good (status %1): it will never upload").arg(entry.lastStatus);
    if (entry.accountId.isEmpty())
        return QStringLiteral("Its account is not known: send it with 'corvex outbox --send %1'").arg(entry.id);
    if (!signedInAccount.isEmpty() && entry.accountId != signedInAccount)
        return QStringLiteral("Waits for %1 to sign in").arg(entry.authorText());
    if (!entry.lastError.isEmpty())
        return QStringLiteral("Not uploaded yet: %1").arg(entry.lastError);
    return QStringLiteral("Waiting to be uploaded");
}

void saveAs(QWidget* parent, const service::Outbox& outbox, const service::Outbox::Entry& entry, Done done)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    auto* dialog = new QFileDialog(parent, QStringLiteral("Save the recording as"), folder);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Corvex recordings (*.corvex)"));
    dialog->setDefaultSuffix(QStringLiteral("corvex"));
    dialog->selectFile(fileNameFor(entry));
    // The outbox outlives every window; the entry is copied.
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [&outbox, entry, done](const QString& path) {
        if (const Result<void> saved = outbox.saveRecording(entry.id, path); !saved) {
            done(QStringLiteral("The recording could not be saved: %1.").arg(saved.error), false);
            return;
        }
        done(QStringLiteral("Saved %1 as %2. It still waits in the outbox.").arg(describe(entry), path), true);
    });
    dialog->open();
}

QMessageBox* confirmRemove(QWidget* parent, service::Outbox& outbox, const service::Outbox::Entry& entry, Done done)
{
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Remove a waiting recording"),
        QStringLiteral("Remove the recording %1 from the outbox?").arg(describe(entry)), QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText); // it names the title
    box->setInformativeText(entry.refusedForGood()
            ? QStringLiteral("The service refused it for good. Removed, it is deleted from this computer; save it as "
                             "a file first to keep it.")
            : QStringLiteral("It has not been uploaded. Removed, it is deleted from this computer and never "
                             "uploaded; save it as a file first to keep it."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* confirm = box->addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // Return on a destructive question does nothing harmful.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [&outbox, entry, done, confirm](QAbstractButton* button) {
        if (button != confirm)
            return;
        if (const auto removed = outbox.remove(entry.id); !removed) {
            switch (removed.error.status) {
            case service::Outbox::TakeStatus::Busy:
                done(QStringLiteral("The recording is being uploaded right now, so it was not removed."), false);
                return;
            case service::Outbox::TakeStatus::Gone:
                done(QStringLiteral("The recording no longer waits in the outbox: it was uploaded or removed "
                                    "elsewhere."),
                    true);
                return;
            case service::Outbox::TakeStatus::Failed:
                break;
            }
            done(QStringLiteral("The recording could not be removed: %1.").arg(removed.error.message), false);
            return;
        }
        done(QStringLiteral("Removed %1 from the outbox.").arg(describe(entry)), true);
    });
    box->open();
    return box;
}

} // namespace corvex::app::outbox_actions
