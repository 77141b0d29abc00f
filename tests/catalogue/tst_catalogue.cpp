#include "catalogue/catalogue_client.h"
#include "catalogue/tmdb_decoding.h"
#include "catalogue/tmdb_item.h"

#include "../support/fault_server.h"

#include <QJsonDocument>
#include <QTest>

using namespace corvex::catalogue;
using corvex::settings::Endpoints;
using corvex::testing::FaultServer;
using namespace Qt::StringLiterals;

namespace {

Endpoints endpointsAt(const QString& origin)
{
    Endpoints endpoints = Endpoints::defaults();
    endpoints.catalogue = origin;
    endpoints.images = origin;
    endpoints.tmdbApiKey = QStringLiteral("k+3&y"); // its marks must be encoded too
    return endpoints;
}

} // namespace

class TestCatalogue final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void searchResult_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected"); // "movie:<id>:<title or ->", "tv:<id>:<name or ->", "error"

        QTest::newRow("movie") << QByteArray(R"({"media_type":"movie","id":550,"title":"Fight"})") << "movie:550:Fight";
        QTest::newRow("tv") << QByteArray(R"({"media_type":"tv","id":1399,"name":"Thrones"})") << "tv:1399:Thrones";
        QTest::newRow("tv with title still tv")
            << QByteArray(R"({"media_type":"tv","id":7,"title":"T","name":"N"})") << "tv:7:N";
        QTest::newRow("person only id and name is an untitled movie")
            << QByteArray(R"({"media_type":"person","id":31,"name":"Someone"})") << "movie:31:-";
        QTest::newRow("no media type, name only, is a movie") << QByteArray(R"({"id":8,"name":"Show"})") << "movie:8:-";
        QTest::newRow("media type not text falls back")
            << QByteArray(R"({"media_type":3,"id":9,"title":"X"})") << "movie:9:X";
        QTest::newRow("movie missing id fails") << QByteArray(R"({"media_type":"movie","title":"X"})") << "error";
        QTest::newRow("tv with wrong-typed name fails")
            << QByteArray(R"({"media_type":"tv","id":1,"name":5})") << "error";
        QTest::newRow("unknown type, bad title, good name is tv")
            << QByteArray(R"({"media_type":"x","id":2,"title":5,"name":"N"})") << "tv:2:N";
        QTest::newRow("no id at all fails") << QByteArray(R"({"title":"X"})") << "error";
        QTest::newRow("null optional members are none")
            << QByteArray(R"({"media_type":"movie","id":1,"title":null,"poster_path":null})") << "movie:1:-";
        QTest::newRow("fractional id fails") << QByteArray(R"({"media_type":"movie","id":1.5})") << "error";
    }

    void searchResult()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        const auto decoded = decodeSearchResult(QJsonDocument::fromJson(json).object());
        if (expected == QLatin1StringView("error")) {
            QVERIFY(!decoded);
            QVERIFY(!decoded.error.isEmpty());
            return;
        }
        QVERIFY2(decoded, qPrintable(decoded.error));
        const TMDBSearchResult& result = *decoded.value;
        QString actual;
        if (const TMDBMovie* movie = result.movie())
            actual = QStringLiteral("movie:%1:%2").arg(movie->id).arg(movie->title.value_or(QStringLiteral("-")));
        else
            actual = QStringLiteral("tv:%1:%2")
                         .arg(result.tvShow()->id)
                         .arg(result.tvShow()->name.value_or(QStringLiteral("-")));
        QCOMPARE(actual, expected);
        QCOMPARE(result.id(), actual.section(QLatin1Char(':'), 1, 1).toLongLong());
    }

    void bodies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("count"); // -1: fails

        QTest::newRow("search")
            << "search"
            << QByteArray(R"({"page":1,"results":[{"media_type":"movie","id":1},{"media_type":"tv","id":2}]})") << 2;
        QTest::newRow("search, one element lacks id")
            << "search" << QByteArray(R"({"results":[{"media_type":"movie","id":1},{"media_type":"tv"}]})") << -1;
        QTest::newRow("search, element not an object") << "search" << QByteArray(R"({"results":[1]})") << -1;
        QTest::newRow("search, no results") << "search" << QByteArray(R"({"page":1})") << -1;
        QTest::newRow("catalogue error object")
            << "search" << QByteArray(R"({"status_code":7,"status_message":"Invalid API key"})") << -1;
        QTest::newRow("not JSON") << "search" << QByteArray("<html></html>") << -1;
        QTest::newRow("tv details, null episode_count")
            << "tv"
            << QByteArray(
                   R"({"id":5,"seasons":[{"id":10,"season_number":0,"episode_count":null},{"id":11,"season_number":1,"episode_count":8}]})")
            << 2;
        QTest::newRow("tv details, season without number")
            << "tv" << QByteArray(R"({"id":5,"seasons":[{"id":10}]})") << -1;
        QTest::newRow("season details") << "season"
                                        << QByteArray(
                                               R"({"id":3,"episodes":[{"id":1,"episode_number":1,"name":"Pilot"}]})")
                                        << 1;
        QTest::newRow("season that does not exist")
            << "season" << QByteArray(R"({"success":false,"status_code":34})") << -1;
    }

    void bodies()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, body);
        QFETCH(int, count);
        int actual = -1;
        if (kind == QLatin1StringView("search")) {
            const auto decoded = decodeSearchResponse(body);
            actual = decoded ? static_cast<int>(decoded.value->results.size()) : -1;
        } else if (kind == QLatin1StringView("tv")) {
            const auto decoded = decodeTVDetails(body);
            actual = decoded ? static_cast<int>(decoded.value->seasons.size()) : -1;
            if (decoded) {
                QCOMPARE(decoded.value->seasons.first().episode_count, std::nullopt);
                QCOMPARE(decoded.value->seasons.first().season_number, 0);
            }
        } else {
            const auto decoded = decodeSeasonDetails(body);
            actual = decoded ? static_cast<int>(decoded.value->episodes.size()) : -1;
        }
        QCOMPARE(actual, count);
    }

    void urls_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("second");
        QTest::addColumn<QByteArray>("expected"); // path and query

        // KEY: the catalogue key, its marks encoded.
        const auto row = [](const char* tag, const char* kind, const QString& text, qint64 first, qint64 second,
                             const char* expected) {
            QTest::newRow(tag) << QString::fromLatin1(kind) << text << first << second
                               << QByteArray(expected).replace("KEY", "api_key=k%2B3%26y");
        };
        row("search with space and ampersand", "search", u"a b&c"_s, 0, 0, "/3/search/multi?KEY&query=a%20b%26c");
        row("search keeps =, + and # in the text", "search", u"x=1+y#z"_s, 0, 0,
            "/3/search/multi?KEY&query=x%3D1%2By%23z");
        row("search of spaces only", "search", u"  "_s, 0, 0, "/3/search/multi?KEY&query=%20%20");
        row("search, non-ASCII as UTF-8", "search", u"Amélie"_s, 0, 0, "/3/search/multi?KEY&query=Am%C3%A9lie");
        row("tv", "tv", {}, 1399, 0, "/3/tv/1399?KEY");
        row("tv, negative id", "tv", {}, -5, 0, "/3/tv/-5?KEY");
        row("season 0", "season", {}, 1399, 0, "/3/tv/1399/season/0?KEY");
        row("season, negative number", "season", {}, 12, -1, "/3/tv/12/season/-1?KEY");
        row("poster", "poster", u"/abc.jpg"_s, 0, 0, "/t/p/w92/abc.jpg");
    }

    void urls()
    {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(qint64, first);
        QFETCH(qint64, second);
        QFETCH(QByteArray, expected);
        const Endpoints endpoints = endpointsAt(QStringLiteral("https://catalogue.example"));
        std::optional<QUrl> url;
        if (kind == QLatin1StringView("search"))
            url = CatalogueClient::searchUrl(endpoints, text);
        else if (kind == QLatin1StringView("tv"))
            url = CatalogueClient::tvDetailsUrl(endpoints, first);
        else if (kind == QLatin1StringView("season"))
            url = CatalogueClient::seasonDetailsUrl(endpoints, first, second);
        else
            url = CatalogueClient::posterUrl(endpoints, text);
        QVERIFY(url.has_value());
        QCOMPARE(url->toEncoded(), QByteArray("https://catalogue.example") + expected);
    }

    void requests()
    {
        FaultServer server;
        server.setAnswer("GET", "/3/search/multi",
            { 401, R"({"results":[{"media_type":"movie","id":550,"title":"Fight & Club"}]})" });
        server.setAnswer("GET", "/3/tv/1399", { 404, R"({"status_code":34})" });
        server.setAnswer("GET", "/3/tv/1399/season/0",
            { 200, R"({"id":1,"episodes":[{"id":9,"episode_number":1},{"id":10,"episode_number":2}]})" });
        corvex::http::Client http;
        CatalogueClient client(endpointsAt(server.origin()), http);

        // An error status with a body that decodes is used like a success.
        const auto found = QCoro::waitFor(client.search(QStringLiteral("Fast & Furious")));
        QCOMPARE(found.outcome, CatalogueResult<TMDBSearchResult>::Outcome::Succeeded);
        QCOMPARE(found.items.size(), 1);
        QCOMPARE(found.items.first().movie()->title, std::optional(QStringLiteral("Fight & Club")));
        const auto& request = server.received().last();
        QCOMPARE(request.target, QByteArray("/3/search/multi?api_key=k%2B3%26y&query=Fast%20%26%20Furious"));
        QVERIFY(!request.headers.contains("authorization"));
        QVERIFY(!request.headers.contains("cookie"));

        const auto seasons = QCoro::waitFor(client.seasons(TMDBTVShow { 1399, {}, {}, {}, {} }));
        QCOMPARE(seasons.outcome, CatalogueResult<TMDBSeason>::Outcome::Failed);
        QVERIFY(seasons.items.isEmpty());

        const auto episodes = QCoro::waitFor(client.episodes(TMDBTVShow { 1399, {}, {}, {}, {} }, 0));
        QCOMPARE(episodes.outcome, CatalogueResult<TMDBEpisode>::Outcome::Succeeded);
        QCOMPARE(episodes.items.size(), 2);
        QCOMPARE(server.received().last().target, QByteArray("/3/tv/1399/season/0?api_key=k%2B3%26y"));
    }

    // A search that fails says why, by the status: the ends of each range.
    void failuresSayWhy_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        const QString theirs = u"the catalogue had a problem on its side (status %1); try again later"_s;
        const QString refused = u"the catalogue refused the request (status %1)"_s;
        QTest::newRow("200") << 200 << u"the catalogue's answer could not be read: "_s;
        QTest::newRow("299") << 299 << u"the catalogue's answer could not be read: "_s;
        QTest::newRow("300") << 300 << refused.arg(300);
        QTest::newRow("499") << 499 << refused.arg(499);
        QTest::newRow("500") << 500 << theirs.arg(500);
        QTest::newRow("599") << 599 << theirs.arg(599);
    }

    void failuresSayWhy()
    {
        QFETCH(int, status);
        QFETCH(QString, said);
        FaultServer server;
        server.setAnswer("GET", "/3/search/multi", { status, "<html>oops</html>" });
        corvex::http::Client http;
        CatalogueClient client(endpointsAt(server.origin()), http);
        const auto found = QCoro::waitFor(client.search(u"x"_s));
        QCOMPARE(found.outcome, CatalogueResult<TMDBSearchResult>::Outcome::Failed);
        QVERIFY2(found.error.startsWith(said), qPrintable(found.error));
    }

    void itemRoundTrip_data()
    {
        QTest::addColumn<TMDBItem>("item");
        QTest::newRow("movie") << TMDBItem::forMovie(
            { 550, QStringLiteral("F"), {}, QString(), QStringLiteral("/p.jpg") });
        QTest::newRow("episode") << TMDBItem::forEpisode({ 1399, QStringLiteral("S"), {}, {}, {} },
            { 3624, 0, QStringLiteral("Specials"), std::nullopt }, { 63056, 3, {} });
        QTest::newRow("every member") << TMDBItem::forEpisode(
            { 1399, u"S"_s, u"2011-04-17"_s, u"O"_s, u"/s.jpg"_s }, { 3625, 1, u"One"_s, 10 }, { 63057, 4, u"E"_s });
        QTest::newRow("every member of a film")
            << TMDBItem::forMovie({ 550, u"F"_s, u"1999-10-15"_s, u"O"_s, u"/p.jpg"_s });
    }

    void itemRoundTrip()
    {
        QFETCH(TMDBItem, item);
        QCOMPARE(itemFromJson(itemToJson(item)), std::optional(item));
    }

    // A saved item with a member of the wrong shape is refused, not read as one without it.
    void brokenItemsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("read");
        QTest::newRow("a null member is absent") << QByteArray(R"({"movie":{"id":550},"season":null})") << true;
        QTest::newRow("a movie that is text") << QByteArray(R"({"movie":"550"})") << false;
        QTest::newRow("an episode that is a list")
            << QByteArray(R"({"tvShow":{"id":1399},"season":{"id":3624,"season_number":0},"episode":[]})") << false;
        QTest::newRow("a movie without its id") << QByteArray(R"({"movie":{"title":"F"}})") << false;
    }

    void brokenItemsAreRefused()
    {
        QFETCH(QByteArray, json);
        QTEST(itemFromJson(QJsonDocument::fromJson(json).object()).has_value(), "read");
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
