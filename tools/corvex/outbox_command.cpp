// corvex outbox: the recordings that have not reached the service yet, listed
// or sent again. A recording goes only to the account it was made under.

#include "cli_support.h"
#include "commands.h"

#include "service/outbox.h"
#include "service/session.h"
#include "service/upload_delivery.h"

#include <QCommandLineParser>
#include <QTextStream>

#include <QCoroTask>

namespace corvex::cli {

using service::Session;
using service::UploadDelivery;

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
    return QStringLiteral("waiting for its author, %1, to sign in").arg(entry.authorText());
}

// What becomes of an entry that failed: tried again, or refused for good.
QString failureNote(const service::Outbox::Entry& entry)
{
    if (entry.lastError.isEmpty())
        return {};
    if (entry.refusedForGood())
        return QStringLiteral("  refused for good: %1; it will never upload: %2")
            .arg(entry.lastError, keepRefusedAdvice(entry.id));
    return QStringLiteral("  last error (it is tried again): ") + entry.lastError;
}

// Asks on standard input; only "y" or "yes" agrees.
bool confirmed(const QString& question)
{
    printOut(question + QStringLiteral(" [y/N]"));
    QTextStream input(stdin);
    const QString answer = input.readLine().trimmed().toLower();
    return answer == QLatin1StringView("y") || answer == QLatin1StringView("yes");
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
    const QCommandLineOption saveOption(QStringLiteral("save"),
        QStringLiteral("Write one waiting recording to FILE (given after the options), to keep it outside the outbox."),
        QStringLiteral("ID"));
    const QCommandLineOption removeOption(QStringLiteral("remove"),
        QStringLiteral("Remove one waiting recording for good, after asking; it is then never uploaded."),
        QStringLiteral("ID"));
    const QCommandLineOption yesOption(QStringLiteral("yes"), QStringLiteral("With --remove: do not ask."));
    parser.addOptions({ retryOption, sendOption, saveOption, removeOption, yesOption });
    parser.addPositionalArgument(
        QStringLiteral("FILE"), QStringLiteral("With --save: where to write it."), QStringLiteral("[FILE]"));
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("List the recordings that have not reached the service yet, retry them, keep one in a file "
                           "or remove it. A recording leaves the outbox only when its upload succeeded or you "
                           "removed it, and goes only to the account it was made under."),
            0, 1))
        return *exit;
    const int actions = int(parser.isSet(retryOption)) + int(parser.isSet(sendOption)) + int(parser.isSet(saveOption))
        + int(parser.isSet(removeOption));
    if (actions > 1) {
        printError(QStringLiteral("give at most one of --retry, --send ID, --save ID FILE and --remove ID; run "
                                  "'corvex outbox --help'"));
        return Usage;
    }
    if (parser.isSet(saveOption) != (parser.positionalArguments().size() == 1)) {
        printError(parser.isSet(saveOption) ? QStringLiteral("--save ID FILE needs the file to write the recording to")
                                            : QStringLiteral("unexpected argument '%1'; run 'corvex outbox --help'")
                                                  .arg(parser.positionalArguments().value(0)));
        return Usage;
    }
    UploadDelivery* uploads = serviceUploads();
    if (!uploads)
        return Failure;
    Session* shared = &uploads->session();
    service::Outbox* outbox = uploads->outbox();
    if (const QString problem = outbox->folderProblem(); !problem.isEmpty()) {
        printError(QStringLiteral("the outbox cannot be used: %1").arg(problem));
        return Failure;
    }
    if (parser.isSet(saveOption)) {
        const QString id = parser.value(saveOption);
        const QString file = parser.positionalArguments().first();
        if (const Result<void> saved = outbox->saveRecording(id, file); !saved) {
            printError(saved.error);
            return Failure;
        }
        printOut(QStringLiteral("saved %1 to %2; it still waits in the outbox").arg(id, file));
        return Success;
    }
    // The entry an option names; none, with the problem printed, when none waits under that id.
    const auto waiting = [&parser, outbox](const QCommandLineOption& option) {
        const QString id = parser.value(option);
        std::optional<service::Outbox::Entry> entry = outbox->entry(id);
        if (!entry)
            printError(QStringLiteral("no recording '%1' waits in the outbox; 'corvex outbox' lists them").arg(id));
        return entry;
    };
    if (parser.isSet(removeOption)) {
        const QString id = parser.value(removeOption);
        QString what;
        if (outbox->unreadable().contains(id)) {
            what = QStringLiteral("%1 (its description cannot be read)").arg(id);
        } else if (const auto entry = waiting(removeOption)) {
            what = QStringLiteral("%1 (%2, saved %3, made under %4)")
                       .arg(id, entry->item.describe(), entry->savedAt.toString(Qt::ISODate), entry->authorText());
        } else {
            return Failure;
        }
        if (!parser.isSet(yesOption)
            && !confirmed(QStringLiteral("Remove %1 from the outbox? It will never be uploaded.").arg(what))) {
            printOut(QStringLiteral("kept %1").arg(id));
            return Failure;
        }
        if (const auto removed = outbox->remove(id); !removed) {
            printError(removed.error.status == service::Outbox::TakeStatus::Busy
                    ? QStringLiteral("%1 is being sent right now; try again when that ended").arg(id)
                    : removed.error.message);
            return Failure;
        }
        printOut(QStringLiteral("removed %1").arg(what));
        return Success;
    }
    if (!parser.isSet(retryOption) && !parser.isSet(sendOption)) {
        std::optional<QString> signedIn;
        if (shared->accessToken()) {
            const auto owner = QCoro::waitFor(shared->requestAccount());
            if (owner.account)
                signedIn = owner.account->id;
        }
        const auto [entries, unreadable] = outbox->contents();
        if (entries.isEmpty() && unreadable.isEmpty())
            printOut(QStringLiteral("the outbox is empty"));
        for (const QString& id : unreadable)
            printOut(QStringLiteral("%1  cannot be sent: its description %2/%1.json cannot be read; the recording "
                                    "is kept: 'corvex outbox --save %1 FILE' copies it out, '--remove %1' removes it")
                         .arg(id, outbox->folder()));
        for (const auto& entry : entries) {
            QString notes = failureNote(entry);
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

    using Delivery = UploadDelivery::Delivery;
    const auto report = [](const QString& id, const catalogue::TMDBItem& item, const QString& entryAuthor,
                            const UploadDelivery::DeliveryResult& result) {
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
        const auto entry = waiting(sendOption);
        if (!entry)
            return Failure;
        const auto result = QCoro::waitFor(
            uploads->retry(UploadDelivery::Parcel { *entry, {} }, UploadDelivery::Adopt::UnknownAuthor));
        const bool fine = report(entry->id, entry->item, entry->accountId, result);
        return fine && result.delivery == Delivery::Sent ? Success : Failure;
    }

    const auto retried = QCoro::waitFor(uploads->retryOutbox());
    if (retried.error) {
        printError(QStringLiteral("nothing was sent: %1").arg(retried.error->message()));
        return Failure;
    }
    if (retried.results.isEmpty() && retried.refusedLeft == 0)
        printOut(QStringLiteral("the outbox is empty"));
    int status = Success;
    for (const auto& result : retried.results) {
        if (!report(result.id, result.item, result.accountId, result.result))
            status = Failure;
    }
    if (retried.refusedLeft > 0)
        printOut(QStringLiteral("left: %1 recording(s) the service refused for good before; 'corvex outbox' lists them")
                     .arg(retried.refusedLeft));
    return status;
}

} // namespace corvex::cli
