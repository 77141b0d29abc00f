// corvex search: the movie and TV catalogue from the command line.

#include "cli_support.h"
#include "commands.h"

#include "catalogue/catalogue_client.h"
#include "platform/settings/store.h"

#include <QCommandLineParser>

#include <QCoroTask>

#include <algorithm>

namespace corvex::cli {

int runSearch(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("TEXT"), QStringLiteral("What to search for (quote several words)."));
    const QCommandLineOption seasonsOption(QStringLiteral("seasons"),
        QStringLiteral("Instead of searching, list the seasons of the TV show with this id."), QStringLiteral("SHOW"));
    const QCommandLineOption episodesOption(QStringLiteral("episodes"),
        QStringLiteral("Instead of searching, list the episodes of SEASON of the show given with --seasons."),
        QStringLiteral("SEASON"));
    parser.addOptions({ seasonsOption, episodesOption });
    const auto given = [&arguments](const QString& option) {
        return std::any_of(arguments.cbegin(), arguments.cend(),
            [&option](const QString& argument) { return argument == option || argument.startsWith(option + u'='); });
    };
    const bool browsing = given(QStringLiteral("--seasons"));
    if (!browsing && given(QStringLiteral("--episodes"))) {
        printError(QStringLiteral("--episodes SEASON goes with --seasons SHOW; run 'corvex search --help'"));
        return Usage;
    }
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("Search the movie and TV catalogue, or list a show's seasons and episodes. The ids "
                           "printed are the ones 'corvex upload' takes."),
            browsing ? 0 : 1, browsing ? 0 : 1))
        return *exit;

    const settings::Store store;
    const auto endpoints = settings::Endpoints::load(store);
    if (const auto* error = std::get_if<QString>(&endpoints)) {
        printError(*error);
        return Failure;
    }
    http::Client http;
    catalogue::CatalogueClient client(std::get<settings::Endpoints>(endpoints), http);

    if (parser.isSet(seasonsOption)) {
        const auto showId = parseInteger(parser.value(seasonsOption), QStringLiteral("show id"));
        if (!showId)
            return Usage;
        const catalogue::TMDBTVShow show { *showId, {}, {}, {}, {} };
        if (parser.isSet(episodesOption)) {
            const auto season = parseInteger(parser.value(episodesOption), QStringLiteral("season number"));
            if (!season)
                return Usage;
            if (*season < 0) {
                printError(QStringLiteral("a season number is 0 (the specials) or more; got %1").arg(*season));
                return Usage;
            }
            const auto result = QCoro::waitFor(client.episodes(show, *season));
            if (result.outcome != decltype(result)::Outcome::Succeeded) {
                printError(result.error);
                return Failure;
            }
            for (const auto& episode : result.items)
                printOut(
                    QStringLiteral("episode %1  %2").arg(episode.episode_number).arg(episode.name.value_or(QString())));
            return Success;
        }
        const auto result = QCoro::waitFor(client.seasons(show));
        if (result.outcome != decltype(result)::Outcome::Succeeded) {
            printError(result.error);
            return Failure;
        }
        for (const auto& season : result.items)
            printOut(QStringLiteral("season %1  %2 (%3 episodes)")
                         .arg(season.season_number)
                         .arg(season.name.value_or(QString()))
                         .arg(season.episode_count ? QString::number(*season.episode_count) : QStringLiteral("?")));
        return Success;
    }

    const QString text = parser.positionalArguments().first();
    if (text.isEmpty()) {
        printError(QStringLiteral("the search text is empty"));
        return Usage;
    }
    const auto result = QCoro::waitFor(client.search(text));
    if (result.outcome != decltype(result)::Outcome::Succeeded) {
        printError(result.error);
        return Failure;
    }
    if (result.items.isEmpty())
        printOut(QStringLiteral("nothing found"));
    for (const auto& item : result.items) {
        if (const auto* movie = item.movie())
            printOut(QStringLiteral("movie %1  %2 (%3)")
                         .arg(movie->id)
                         .arg(movie->title.value_or(QStringLiteral("Untitled")),
                             movie->release_date.value_or(QStringLiteral("no date"))));
        else if (const auto* show = item.tvShow())
            printOut(QStringLiteral("tv    %1  %2 (%3)")
                         .arg(show->id)
                         .arg(show->name.value_or(QStringLiteral("Untitled")),
                             show->first_air_date.value_or(QStringLiteral("no date"))));
    }
    return Success;
}

} // namespace corvex::cli
