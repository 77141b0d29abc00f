// corvex login, logout, whoami, search, upload, shows, delete and outbox: the light-show
// service and the catalogue from the command line. They share the studio's
// settings store (so signing in here signs the studio in) and its outbox.

#include "cli_support.h"
#include "commands.h"

#include "analysis/video_analysis_record.h"
#include "catalogue/catalogue_client.h"
#include "platform/settings/store.h"
#include "platform/webauth/session.h"
#include "service/app_manager.h"
#include "service/light_show_list_model.h"
#include "service/outbox.h"
#include "service/service_urls.h"
#include "service/sign_in.h"

#include <QCommandLineParser>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QUrlQuery>

#include <QCoroNetworkReply>
#include <QCoroTask>

#include <memory>

namespace corvex::cli {

namespace {

using service::AppManager;

// Parses the command line; gives an exit code when the command must stop here.
std::optional<int> parse(QCommandLineParser& parser, const QStringList& arguments, const QString& description,
    int minimumArguments, int maximumArguments)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    const qsizetype count = parser.positionalArguments().size();
    if (count < minimumArguments || (maximumArguments >= 0 && count > maximumArguments)) {
        printError(QStringLiteral("wrong number of arguments; run '%1 --help'").arg(arguments.first()));
        return Usage;
    }
    return std::nullopt;
}

// The shared manager, or none (with a message) when the configuration is unusable.
AppManager* manager()
{
    AppManager& shared = AppManager::shared();
    if (!shared.configurationError().isEmpty()) {
        printError(shared.configurationError());
        return nullptr;
    }
    return &shared;
}

bool requireToken(const AppManager& manager)
{
    if (manager.accessToken())
        return true;
    printError(QStringLiteral("not signed in: run 'corvex login' first"));
    return false;
}

std::optional<qint64> parseInteger(const QString& text, const QString& what)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok) {
        printError(QStringLiteral("%1 '%2' is not a whole number").arg(what, text));
        return std::nullopt;
    }
    return value;
}

int reportAccount(AppManager& manager)
{
    const AppManager::AccountOutcome outcome = QCoro::waitFor(manager.requestAccount());
    if (outcome.error) {
        printError(outcome.error->message());
        return Failure;
    }
    printOut(QStringLiteral("Signed in as %1 (account %2)").arg(outcome.account->email, outcome.account->id));
    return Success;
}

/// Fills in the sign-in page's form the way a browser would, for services
/// whose page is the plain form of the reference service. The callback the
/// page redirects to, or none with the reason.
QCoro::Task<std::optional<QUrl>> submitSignInForm(
    QUrl page, QString email, QString password, bool create, QString* error)
{
    QNetworkAccessManager network;
    QNetworkRequest post(page);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    post.setTransferTimeout(30000);
    const QString redirect = QUrlQuery(page).queryItemValue(QStringLiteral("redirectUri"), QUrl::FullyDecoded);
    const QByteArray form = "redirectUri=" + QUrl::toPercentEncoding(redirect)
        + "&email=" + QUrl::toPercentEncoding(email) + "&password=" + QUrl::toPercentEncoding(password)
        + (create ? "&action=create" : "&action=signin");
    const std::unique_ptr<QNetworkReply> answer(co_await network.post(post, form));
    const int status = answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl location = QUrl::fromEncoded(answer->rawHeader("Location"));
    if (answer->error() != QNetworkReply::NoError && status == 0) {
        *error = QStringLiteral("the service could not be reached (%1)").arg(answer->errorString());
        co_return std::nullopt;
    }
    if (status / 100 == 3 && location.scheme() == QLatin1StringView("corvexapp"))
        co_return location;
    // The page came back with its message: the form is answered in a paragraph of it.
    static const QRegularExpression message(QStringLiteral("<p role=\"alert\">([^<]*)</p>"));
    const QRegularExpressionMatch found = message.match(QString::fromUtf8(answer->readAll()));
    *error = found.hasMatch() ? found.captured(1)
                              : QStringLiteral("the sign-in page answered HTTP %1 without returning to the studio; "
                                               "sign in with the browser instead ('corvex login')")
                                    .arg(status);
    co_return std::nullopt;
}

QString itemText(const catalogue::TMDBItem& item)
{
    return item.describe();
}

} // namespace

int runLogin(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption callbackOption(QStringLiteral("token-from-callback"),
        QStringLiteral("Complete the sign-in with this callback URL (corvexapp://callback?token=...) instead of "
                       "waiting for the browser."),
        QStringLiteral("URL"));
    const QCommandLineOption openOption(
        QStringLiteral("open"), QStringLiteral("Also open the sign-in page with xdg-open."));
    const QCommandLineOption emailOption(QStringLiteral("email"),
        QStringLiteral("Sign in without a browser as ADDRESS, reading the password from standard input (for the "
                       "reference service, whose sign-in page is a plain form)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption createOption(QStringLiteral("create"),
        QStringLiteral("With --email: create the account (with the password read) instead of signing in to it."));
    parser.addOptions({ callbackOption, openOption, emailOption, createOption });
    if (const auto exit = parse(parser, arguments,
            QStringLiteral("Sign in to the light-show service. Prints the sign-in page's address and waits until the "
                           "browser returns to corvexapp://callback (the desktop hands that address to a waiting "
                           "Corvex program; 'corvex corvexapp://...' does the same by hand). The token is stored in "
                           "the settings shared with the studio and never printed."),
            0, 0))
        return *exit;
    AppManager* shared = manager();
    if (!shared)
        return Failure;

    QString problem;
    if (parser.isSet(callbackOption)) {
        const QUrl callback(parser.value(callbackOption), QUrl::StrictMode);
        if (!callback.isValid() || callback.scheme() != QLatin1StringView("corvexapp")) {
            printError(QStringLiteral("--token-from-callback needs a corvexapp: URL"));
            return Usage;
        }
        problem = service::completeSignIn(callback, *shared);
    } else if (parser.isSet(createOption) && !parser.isSet(emailOption)) {
        printError(QStringLiteral("--create goes with --email ADDRESS; in the browser, press Create account"));
        return Usage;
    } else if (parser.isSet(emailOption)) {
        QTextStream input(stdin);
        const QString password = input.readLine();
        if (password.isEmpty()) {
            printError(QStringLiteral("--email needs the password on standard input, for example: "
                                      "echo \"$PASSWORD\" | corvex login --email %1")
                           .arg(parser.value(emailOption)));
            return Usage;
        }
        QString error;
        const std::optional<QUrl> callback
            = QCoro::waitFor(submitSignInForm(service::service_urls::signIn(*shared->serviceOrigin()),
                parser.value(emailOption), password, parser.isSet(createOption), &error));
        if (!callback) {
            printError(QStringLiteral("sign-in failed: %1").arg(error));
            return Failure;
        }
        problem = service::completeSignIn(*callback, *shared);
    } else {
        const bool open = parser.isSet(openOption);
        webauth::Session session([open](const QUrl& url) {
            printOut(QStringLiteral("Open this address in a web browser to sign in:\n  %1\n"
                                    "Waiting for the browser to return to the studio (Ctrl+C to stop)...")
                         .arg(url.toString()));
            if (open)
                QProcess::startDetached(QStringLiteral("xdg-open"), { url.toString() });
            return true;
        });
        // The same steps as signIn(), which stays silent about a failed
        // session; here the user learns why.
        const auto outcome = QCoro::waitFor(
            session.authenticate(service::service_urls::signIn(*shared->serviceOrigin()), QStringLiteral("corvexapp")));
        if (!outcome.callback) {
            printError(QStringLiteral("sign-in failed: %1").arg(outcome.message));
            return Failure;
        }
        problem = service::completeSignIn(*outcome.callback, *shared);
    }
    if (!problem.isEmpty() || !shared->accessToken()) {
        printError(QStringLiteral("sign-in failed: %1").arg(problem));
        return Failure;
    }
    return reportAccount(*shared);
}

int runWhoami(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit = parse(parser, arguments,
            QStringLiteral("Show the account the stored sign-in belongs to, as the service reports it."), 0, 0))
        return *exit;
    AppManager* shared = manager();
    if (!shared || !requireToken(*shared))
        return Failure;
    return reportAccount(*shared);
}

int runLogout(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit = parse(parser, arguments,
            QStringLiteral("Sign out: forget the stored access token (the studio shares it) and ask the service to "
                           "end it, so that a copy of it is of no use either."),
            0, 0))
        return *exit;
    AppManager* shared = manager();
    if (!shared)
        return Failure;
    if (!shared->accessToken()) {
        printOut(QStringLiteral("not signed in"));
        return Success;
    }
    const std::optional<service::ServiceError> error = QCoro::waitFor(shared->signOut());
    if (shared->accessToken()) {
        printError(QStringLiteral("the token could not be removed from %1; check that the file can be written")
                       .arg(shared->settingsPath()));
        return Failure;
    }
    if (error) {
        printError(QStringLiteral("signed out here, but the service could not end the token (%1); it stays valid "
                                  "there until it expires")
                       .arg(error->message()));
        return Failure;
    }
    printOut(QStringLiteral("signed out; the service ended the token"));
    return Success;
}

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
    const bool browsing = arguments.contains(QStringLiteral("--seasons"));
    if (const auto exit = parse(parser, arguments,
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

int runUpload(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.pb"), QStringLiteral("A recorded light show."));
    parser.addPositionalArgument(
        QStringLiteral("[SEASON EPISODE]"), QStringLiteral("With --tv: the season and episode numbers."));
    const QCommandLineOption movieOption(
        QStringLiteral("movie"), QStringLiteral("Upload for the movie with this catalogue id."), QStringLiteral("ID"));
    const QCommandLineOption tvOption(QStringLiteral("tv"),
        QStringLiteral("Upload for an episode of the TV show with this catalogue id; give SEASON and EPISODE after "
                       "the file."),
        QStringLiteral("SHOW"));
    parser.addOptions({ movieOption, tvOption });
    if (const auto exit = parse(parser, arguments,
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

    QByteArray bytes;
    QString error;
    if (!readFile(positional.first(), bytes, error)) {
        printError(error);
        return Failure;
    }
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

    AppManager* shared = manager();
    if (!shared)
        return Failure;
    shared->setCurrentItem(item);
    // The outbox keeps whose recording this is, so know the account first.
    if (shared->accessToken() && !shared->account())
        QCoro::waitFor(shared->fetchAccount());
    const AppManager::UploadResult result = QCoro::waitFor(shared->uploadLightShow(bytes));
    if (!result.outboxError.isEmpty())
        printError(QStringLiteral("warning: no copy could be kept in the outbox: %1").arg(result.outboxError));
    if (result.error) {
        printError(QStringLiteral("upload failed: %1").arg(result.error->message()));
        if (!result.outboxId.isEmpty())
            printError(QStringLiteral("the recording is kept in the outbox as %1; run 'corvex outbox --retry' later")
                           .arg(result.outboxId));
        return Failure;
    }
    printOut(QStringLiteral("uploaded %1 for %2").arg(positional.first(), itemText(item)));
    return Success;
}

int runShows(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit = parse(parser, arguments, QStringLiteral("List your light shows on the service."), 0, 0))
        return *exit;
    AppManager* shared = manager();
    if (!shared || !requireToken(*shared))
        return Failure;
    service::LightShowListModel list(*shared);
    QCoro::waitFor(list.loadLightShows());
    if (list.error()) {
        printError(*list.error());
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
        = parse(parser, arguments, QStringLiteral("Delete light shows of yours from the service."), 1, -1))
        return *exit;
    AppManager* shared = manager();
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
    if (const auto exit = parse(parser, arguments,
            QStringLiteral("List the recordings that have not reached the service yet, or retry them. A recording "
                           "leaves the outbox only when its upload succeeded, and goes only to the account it was "
                           "made under."),
            0, 0))
        return *exit;
    AppManager* shared = manager();
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
                         .arg(entry.id, itemText(entry.item), entry.savedAt.toString(Qt::ISODate))
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
        const QString what = QStringLiteral("%1 (%2)").arg(id, itemText(item));
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

int runHandOver(const QString& url)
{
    QString error;
    if (!webauth::Session::handOver(QUrl(url, QUrl::StrictMode), error)) {
        printError(error);
        return Failure;
    }
    return Success;
}

} // namespace corvex::cli
