// corvex outbox: the recordings that have not reached the service yet, listed
// or sent again. A recording goes only to the account it was made under.

#include "cli_support.h"
#include "commands.h"

#include "service/app_manager.h"
#include "service/outbox.h"

#include <QCommandLineParser>

#include <QCoroTask>

namespace corvex::cli {

using service::AppManager;

namespace {

// Why an entry is not sent by a retry, for the outbox listing; empty when it is.
QString authorNote(
    const service::Outbox::Entry& entry, const std::optional<QString>& signedIn, const std::optional<QString>& token)
{
    if (entry.accountId.isEmpty()) {
        if (token && !entry.tokenHash.isEmpty() && entry.tokenHash == service::Outbox::tokenHash(*token))
            return {};
        return QStringLiteral("of unknown author: send it with 'corvex outbox --send ID' if it is yours");
    }
    if (signedIn && *signedIn == entry.accountId)
        return {};
    return QStringLiteral("waiting for its author (account %1)").arg(entry.accountId);
}

} // namespace

int runOutbox(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption retryOption(
        QStringLiteral("retry"), QStringLiteral("Upload every waiting recording of the signed-in account again."));
    const QCommandLineOption sendOption(QStringLiteral("send"),
        QStringLiteral("Upload one waiting recording; one of unknown author becomes the signed-in account's."),
        QStringLiteral("ID"));
    parser.addOption(retryOption);
    parser.addOption(sendOption);
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("List the recordings that have not reached the service yet, or retry them. A recording "
                           "leaves the outbox only when its upload succeeded, and goes only to the account it was "
                           "made under."),
            0, 0))
        return *exit;
    AppManager* shared = serviceManager();
    if (!shared)
        return Failure;
    service::Outbox* outbox = shared->outbox();
    if (!parser.isSet(retryOption) && !parser.isSet(sendOption)) {
        std::optional<QString> signedIn;
        if (shared->accessToken()) {
            const auto owner = QCoro::waitFor(shared->requestAccount());
            if (owner.account)
                signedIn = owner.account->id;
        }
        const auto entries = outbox->entries();
        if (entries.isEmpty())
            printOut(QStringLiteral("the outbox is empty"));
        for (const auto& entry : entries) {
            QString notes;
            if (!entry.lastError.isEmpty())
                notes += QStringLiteral("  last error: ") + entry.lastError;
            const QString author = authorNote(entry, signedIn, shared->accessToken());
            if (!author.isEmpty())
                notes += QStringLiteral("  ") + author;
            if (outbox->isTaken(entry.id))
                notes += QStringLiteral("  being sent now");
            printOut(QStringLiteral("%1  %2  saved %3  attempts %4%5")
                         .arg(entry.id, entry.item.describe(), entry.savedAt.toString(Qt::ISODate))
                         .arg(entry.attempts)
                         .arg(notes));
        }
        return Success;
    }
    if (!requireToken(*shared))
        return Failure;

    using Delivery = AppManager::Delivery;
    const auto report = [](const QString& id, const catalogue::TMDBItem& item, const QString& entryAuthor,
                            const AppManager::DeliveryResult& result) {
        service::Outbox::Entry entry;
        entry.accountId = entryAuthor;
        const QString what = QStringLiteral("%1 (%2)").arg(id, item.describe());
        switch (result.delivery) {
        case Delivery::Sent:
            printOut(QStringLiteral("uploaded %1").arg(what));
            return true;
        case Delivery::Failed:
            printError(QStringLiteral("%1: %2").arg(what, result.error ? result.error->message() : QString()));
            return false;
        case Delivery::Busy:
            printOut(QStringLiteral("%1: being sent by another program; left to it").arg(what));
            return true;
        case Delivery::Gone:
            printOut(QStringLiteral("%1: no longer waiting (sent meanwhile)").arg(what));
            return true;
        case Delivery::OtherAuthor:
        case Delivery::UnknownAuthor:
            printOut(QStringLiteral("%1: not sent, %2").arg(what, authorNote(entry, std::nullopt, std::nullopt)));
            return true;
        }
        return false;
    };

    if (parser.isSet(sendOption)) {
        const QString id = parser.value(sendOption);
        const auto entry = outbox->entry(id);
        if (!entry) {
            printError(QStringLiteral("no recording '%1' waits in the outbox; 'corvex outbox' lists them").arg(id));
            return Failure;
        }
        const auto result
            = QCoro::waitFor(shared->retry(AppManager::Parcel { *entry, {} }, AppManager::Adopt::UnknownAuthor));
        const bool fine = report(entry->id, entry->item, entry->accountId, result);
        return fine && result.delivery == Delivery::Sent ? Success : Failure;
    }

    const auto retried = QCoro::waitFor(shared->retryOutbox());
    if (retried.error) {
        printError(QStringLiteral("nothing was sent: %1").arg(retried.error->message()));
        return Failure;
    }
    if (retried.results.isEmpty())
        printOut(QStringLiteral("the outbox is empty"));
    int status = Success;
    for (const auto& result : retried.results) {
        if (!report(result.id, result.item, result.accountId, result.result))
            status = Failure;
    }
    return status;
}

} // namespace corvex::cli
