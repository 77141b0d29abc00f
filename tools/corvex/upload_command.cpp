// corvex upload: sends a recorded light show to the service, keeping it in
// the studio's outbox until the service accepted it.

#include "cli_support.h"
#include "commands.h"

#include "analysis/video_analysis_record.h"
#include "service/session.h"
#include "service/upload_delivery.h"

#include <QCommandLineParser>

#include <QCoroTask>

namespace corvex::cli {

using service::Session;
using service::UploadDelivery;

int runUpload(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.pb"), QStringLiteral("A recorded light show."));
    // Named one by one: a name wider than the help's first column is cut in two there.
    parser.addPositionalArgument(
        QStringLiteral("SEASON"), QStringLiteral("With --tv: the season number."), QStringLiteral("[SEASON"));
    parser.addPositionalArgument(
        QStringLiteral("EPISODE"), QStringLiteral("With --tv: the episode number."), QStringLiteral("EPISODE]"));
    const QCommandLineOption movieOption(
        QStringLiteral("movie"), QStringLiteral("Upload for the movie with this catalogue id."), QStringLiteral("ID"));
    const QCommandLineOption tvOption(QStringLiteral("tv"),
        QStringLiteral("Upload for an episode of the TV show with this catalogue id; give SEASON and EPISODE after "
                       "the file."),
        QStringLiteral("SHOW"));
    parser.addOptions({ movieOption, tvOption });
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("Upload a recorded light show for a movie or a TV episode. The recording is kept in the "
                           "outbox until the service accepted it ('corvex outbox')."),
            1, 3))
        return *exit;
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(movieOption) == parser.isSet(tvOption)
        || (parser.isSet(movieOption) ? positional.size() != 1 : positional.size() != 3)) {
        printError(QStringLiteral("give either --movie ID, or --tv SHOW with SEASON EPISODE after the file; "
                                  "run 'corvex upload --help'"));
        return Usage;
    }
    catalogue::TMDBItem item;
    if (parser.isSet(movieOption)) {
        const auto id = parseInteger(parser.value(movieOption), QStringLiteral("movie id"));
        if (!id)
            return Usage;
        item = catalogue::TMDBItem::forMovie({ *id, {}, {}, {}, {} });
    } else {
        const auto show = parseInteger(parser.value(tvOption), QStringLiteral("show id"));
        const auto season = parseInteger(positional.at(1), QStringLiteral("season number"));
        const auto episode = parseInteger(positional.at(2), QStringLiteral("episode number"));
        if (!show || !season || !episode)
            return Usage;
        item = catalogue::TMDBItem::forEpisode({ *show, {}, {}, {}, {} }, { 0, *season, {}, {} }, { 0, *episode, {} });
    }

    const Result<QByteArray> read = readFile(positional.first());
    if (!read) {
        printError(read.error);
        return Failure;
    }
    const QByteArray& bytes = *read.value;
    VideoAnalysis record;
    if (!record.ParseFromArray(bytes.constData(), static_cast<int>(bytes.size()))) {
        printError(QStringLiteral("%1 is not a light-show record").arg(positional.first()));
        return Failure;
    }
    if (const auto violation = analysis::findInvariantViolation(record)) {
        printError(QStringLiteral("%1 is not a valid light show: %2")
                       .arg(positional.first(), QString::fromStdString(*violation)));
        return Failure;
    }
    if (record.timestamps_size() == 0) {
        printError(QStringLiteral("%1 has no frames: there is no light show in it to upload").arg(positional.first()));
        return Failure;
    }

    UploadDelivery* uploads = serviceUploads();
    if (!uploads)
        return Failure;
    Session* shared = &uploads->session();
    // The outbox keeps whose recording this is, so know the account first.
    if (shared->accessToken() && !shared->account())
        QCoro::waitFor(shared->fetchAccount());
    const UploadDelivery::UploadResult result = QCoro::waitFor(uploads->uploadLightShow(bytes, item));
    using Delivery = UploadDelivery::Delivery;
    if (result.delivery == Delivery::Sent) {
        printOut(QStringLiteral("uploaded %1 for %2").arg(positional.first(), item.describe()));
        return Success;
    }
    const bool kept = !result.outboxId.isEmpty();
    if (!kept && !result.outboxError.isEmpty())
        printError(QStringLiteral("the recording could not be kept in the outbox: %1").arg(result.outboxError));
    switch (result.delivery) {
    case Delivery::Sent:
        break;
    case Delivery::Failed:
        printError(QStringLiteral("upload failed: %1").arg(result.error ? result.error->message() : QString()));
        break;
    case Delivery::Busy:
    case Delivery::Gone:
        printError(QStringLiteral("not uploaded: the outbox copy was taken or removed by another program"));
        break;
    case Delivery::OtherAuthor:
    case Delivery::UnknownAuthor:
        printError(QStringLiteral("not uploaded: the signed-in account is not the one this recording is kept for"));
        break;
    }
    // A recording made while signed out has no author in the outbox, and a
    // retry only sends the signed-in account's own: it needs --send.
    if (!kept)
        printError(result.error && result.error->isPermanent()
                ? QStringLiteral("nothing of it was uploaded, and the service will not take it as it is; %1 is where "
                                 "it was")
                      .arg(positional.first())
                : QStringLiteral("nothing of it was uploaded; %1 is where it was: upload it again later")
                      .arg(positional.first()));
    else if (result.error && result.error->kind == service::ServiceError::Kind::UserAuthenticationRequired)
        printError(QStringLiteral("the recording is kept in the outbox as %1; sign in with 'corvex login', then "
                                  "send it with 'corvex outbox --send %1'")
                       .arg(result.outboxId));
    else if (result.error && result.error->isPermanent())
        printError(
            QStringLiteral("the service will not take this recording as it is; it is kept in the outbox as %1: %2")
                .arg(result.outboxId, keepRefusedAdvice(result.outboxId)));
    else
        printError(QStringLiteral("the recording is kept in the outbox as %1; run 'corvex outbox --retry' later")
                       .arg(result.outboxId));
    return Failure;
}
} // namespace corvex::cli
