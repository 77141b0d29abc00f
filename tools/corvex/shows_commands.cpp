// corvex shows and delete: the signed-in account's light shows on the service.

#include "cli_support.h"
#include "commands.h"

#include "service/light_show_list_model.h"
#include "service/service_error.h"
#include "service/service_urls.h"
#include "service/session.h"
#include "service/sign_in.h"

#include <QCommandLineParser>

#include <QCoroTask>

namespace corvex::cli {

using service::Session;

int runShows(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit
        = parseCommand(parser, arguments, QStringLiteral("List your light shows on the service."), 0, 0))
        return *exit;
    Session* shared = serviceManager();
    if (!shared || !requireToken(*shared))
        return Failure;
    service::LightShowListModel list(*shared);
    QCoro::waitFor(list.loadLightShows());
    if (list.error()) {
        printError(*list.error());
        return Failure;
    }
    // A refused token signs out and empties the list: that is no answer about the shows.
    if (!shared->accessToken()) {
        printError(service::ServiceError { service::ServiceError::Kind::BadServerResponse, 401, {} }.message());
        return Failure;
    }
    if (list.shows().isEmpty())
        printOut(QStringLiteral("no light shows yet"));
    for (const service::LightShow& show : list.shows()) {
        const QString what = show.isEpisode()
            ? QString::asprintf("tv %lld S%02lldE%02lld", static_cast<long long>(show.tmdb_id),
                static_cast<long long>(show.season), static_cast<long long>(show.episode))
            : QStringLiteral("movie %1").arg(show.tmdb_id);
        printOut(QStringLiteral("%1  %2  %3  %4")
                     .arg(show.id, what, show.created_at, show.title.value_or(QStringLiteral("(untitled)"))));
    }
    return Success;
}

int runDelete(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("ID..."), QStringLiteral("Ids as 'corvex shows' prints them."));
    if (const auto exit
        = parseCommand(parser, arguments, QStringLiteral("Delete light shows of yours from the service."), 1, -1))
        return *exit;
    Session* shared = serviceManager();
    if (!shared || !requireToken(*shared))
        return Failure;
    int status = Success;
    for (const QString& id : parser.positionalArguments()) {
        const auto url = service::service_urls::lightShow(*shared->serviceOrigin(), id);
        const auto request = url ? service::bearerRequest(*url, "DELETE", *shared->accessToken()) : std::nullopt;
        if (!request) {
            printError(QStringLiteral("'%1' cannot be a light-show id").arg(id));
            status = Failure;
            continue;
        }
        const http::Reply reply = QCoro::waitFor(shared->httpClient().send(*request));
        if (reply.error) {
            printError(QStringLiteral("%1: the service is unreachable: %2").arg(id, reply.error->message));
            status = Failure;
        } else if (reply.status != 200) {
            printError(QStringLiteral("%1: refused with status %2%3")
                           .arg(id)
                           .arg(reply.status)
                           .arg(reply.status == 404 ? QStringLiteral(" (no such light show of yours)") : QString()));
            status = Failure;
        } else {
            printOut(QStringLiteral("deleted %1").arg(id));
        }
    }
    return status;
}

} // namespace corvex::cli
