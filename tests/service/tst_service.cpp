#include "service/light_show_list_model.h"
#include "service/outbox.h"
#include "service/service_urls.h"
#include "service/session.h"
#include "service/sign_in.h"
#include "service/upload_delivery.h"

#include "analysis/video_analysis_record.h"
#include "catalogue/catalogue_client.h"
#include "platform/settings/private_file.h"
#include "platform/settings/store.h"
#include "platform/webauth/session.h"

#include "../support/fault_proxy.h"
#include "../support/fault_server.h"
#include "../support/full_disk.h"
#include "../support/sign_in_form.h"
#include "../support/xdg_sandbox.h"
#include "raw_http.h"
#include "reference_service_process.h"
#include "studio_fixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLockFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTimer>
#include <QUrlQuery>

#include <QCoroTask>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvex::service;
using namespace corvex::testing;
using corvex::catalogue::TMDBItem;
using corvex::catalogue::TMDBMovie;
using corvex::settings::Endpoints;
using corvex::settings::Store;
using WebSession = corvex::webauth::Session;
using Kind = ServiceError::Kind;
using Delivery = UploadDelivery::Delivery;

namespace {

TMDBItem episodeItem(qint64 show, qint64 season, qint64 episode)
{
    return TMDBItem::forEpisode({ show, u"A show"_s, {}, {}, {} }, { 1000 + season, season, u"Season"_s, std::nullopt },
        { 5000 + episode, episode, {} });
}

// A second launch of the program handing `callback` to the one waiting for
// it (whose event loop runs meanwhile); its error, if any.
QString handOver(const QUrl& callback)
{
    std::atomic<bool> done = false;
    QString error;
    std::thread launch([&] {
        error = WebSession::handOver(callback).error;
        done = true;
    });
    if (!QTest::qWaitFor([&done] { return done.load(); }, 10000))
        qWarning("the second launch did not finish in time");
    launch.join();
    return error;
}

// Signs `studio` in through the browser session and the service's page, as
// the desktop would: the "browser" makes the account with the form and a second
// launch hands the callback over the local socket. `forged`: while the sign-in
// waits, an attacker's page posts the form of a sign-in page of its own instead,
// and the author then cancels. The last line is why the hand-over failed, if it did.
QStringList signInThroughPage(Session& manager, const QString& email, const QString& password, bool forged = false)
{
    QStringList printed;
    WebSession session([&](const QUrl& opened) {
        const QUrl url
            = forged ? SignInRequest::make(opened.toString(QUrl::RemovePath | QUrl::RemoveQuery)).url : opened;
        QTimer::singleShot(0, [&, url] {
            [](QUrl page, QString mail, QString pass, QStringList& said, WebSession* cancelled) -> QCoro::Task<> {
                const FormAnswer form = co_await submitSignInForm(page, mail, pass, "create"_ba);
                if (const QString error = handOver(form.callback); !error.isEmpty())
                    said.append(error);
                if (cancelled)
                    cancelled->cancel();
            }(url, email, password, printed, forged ? &session : nullptr);
        });
        return true;
    });
    QCoro::waitFor(signIn(session, manager, [&printed](const QString& line) { printed.append(line); }));
    return printed;
}

// Adds a recording to `outbox` as the studio would have saved it.
QString addEntry(Outbox& outbox, const QString& accountId, qint64 movie = 550)
{
    const auto id = outbox.add(validRecording(), movieItem(movie), accountId);
    if (!id)
        qWarning("cannot add to the outbox: %s", qPrintable(id.error));
    return id.value.value_or(QString());
}

// The number of shows the author has on the service.
qsizetype storedShows(Session& manager)
{
    LightShowListModel list(manager);
    QCoro::waitFor(list.loadLightShows());
    return list.error() ? -1 : list.shows().size();
}

// A listing of shows with these ids, as the service answers it.
QByteArray listingOf(const QStringList& ids)
{
    QJsonArray results;
    for (const QString& id : ids)
        results.append(QJsonObject { { u"id"_s, id }, { u"tmdb_id"_s, 1 }, { u"season"_s, 0 }, { u"episode"_s, 0 },
            { u"type"_s, u"movie"_s }, { u"author_id"_s, u"u"_s }, { u"created_at"_s, u"t"_s } });
    return QJsonDocument(QJsonObject { { u"results"_s, results } }).toJson();
}

// The fault server as a service that knows the token "tok" as account u1 and
// answers uploads of movie 550 with `uploadStatus`, and a studio signed in to it.
struct FakeService {
    explicit FakeService(int uploadStatus = 200)
    {
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u1","email":"a@example.org"})" });
        server.setAnswer("POST", "/tvapi/lightshow/movie/550", { uploadStatus, "{}" });
    }
    UploadDelivery::DeliveryResult retry(const QString& id, UploadDelivery::Adopt adopt = UploadDelivery::Adopt::No)
    {
        return QCoro::waitFor(studio.uploads->retry(UploadDelivery::Parcel { *studio.outbox->entry(id), {} }, adopt));
    }

    FaultServer server;
    Studio studio = makeStudio(server.origin(), u"tok"_s);
};

} // namespace

class TestService final : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_xdg;
    SharedService m_shared;

private Q_SLOTS:
    void initTestCase()
    {
        CORVEX_REQUIRE_TEST_STORE();
        QVERIFY(m_xdg.isValid());
        useXdgFoldersIn(m_xdg);
    }

    // The whole road against the real reference service.
    void referenceService()
    {
        ReferenceServiceProcess service;
        QVERIFY(service.start({ u"--demo-catalogue"_s }));
        Studio studio = makeStudio(service.origin());
        const QStringList printed = signInThroughPage(*studio.manager, u"ada@example.org"_s, u"correct horse"_s);
        const std::optional<QString> token = studio.manager->accessToken();
        QVERIFY(token.has_value());
        QCOMPARE(printed.size(), 2);
        QVERIFY2(printed.at(0).startsWith(u"Callback URL: corvexapp://callback?token=(hidden)&state="_s),
            qPrintable(printed.at(0)));
        QCOMPARE(printed.at(1), u"Access Token: stored"_s);
        QTRY_COMPARE(studio.manager->account().value_or(Account {}).email, u"ada@example.org"_s);

        // The demo catalogue, with each character the query must carry encoded: &, +, =, %.
        corvex::http::Client http;
        corvex::catalogue::CatalogueClient catalogue(std::get<Endpoints>(studio.manager->endpoints()), http);
        for (const auto& [text, id] : { std::pair(u"Plus + Minus"_s, 90012), std::pair(u"Minus = 100%"_s, 90012),
                 std::pair(u"Salt & Pepper"_s, 90011) }) {
            const auto found = QCoro::waitFor(catalogue.search(text));
            QCOMPARE(found.items.size(), 1);
            QCOMPARE(found.items.first().id(), id);
        }

        QVERIFY(QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(90011))).succeeded());
        QVERIFY(
            QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(5), episodeItem(91001, 1, 3))).succeeded());
        QVERIFY(studio.outbox->entries().isEmpty());
        // A record that breaks the invariants is refused and kept.
        const auto refused
            = QCoro::waitFor(studio.uploads->uploadLightShow(brokenRecording(), episodeItem(91001, 1, 3)));
        QCOMPARE(refused.error->kind, Kind::BadServerResponse);
        QCOMPARE(refused.error->status, 400);
        QCOMPARE(studio.outbox->recording(refused.outboxId), std::optional(brokenRecording()));

        LightShowListModel list(*studio.manager);
        QCoro::waitFor(list.loadLightShows());
        QCOMPARE(list.error(), std::nullopt);
        QCOMPARE(list.shows().size(), 2);
        QCOMPARE(list.shows().at(0).type, u"tv"_s);
        QCOMPARE(list.shows().at(0).title, std::optional(u"Flash Gordon S01E03"_s));
        QCOMPARE(list.shows().at(0).tmdb_id, 91001);
        QCOMPARE(list.shows().at(1).title, std::optional(u"Salt & Pepper Shakers"_s));
        QCOMPARE(list.shows().at(1).author_id, studio.manager->account()->id);

        // Another author cannot delete these shows.
        Studio other = makeStudio(service.origin());
        signInThroughPage(*other.manager, u"bob@example.org"_s, u"another secret"_s);
        QVERIFY(other.manager->accessToken().has_value());
        LightShowListModel otherList(*other.manager);
        QCoro::waitFor(otherList.deleteLightShow(list.shows().at(0)));
        QCOMPARE(storedShows(*studio.manager), 2);

        // A deleted show leaves the list once the service confirmed it.
        list.setSelection({ list.shows().at(0).id });
        const QString deleted = list.shows().at(0).id;
        list.deleteSelectedLightShows();
        QVERIFY(list.selection().isEmpty());
        QCOMPARE(list.shows().size(), 2);
        QTRY_COMPARE(list.shows().size(), 1);
        QVERIFY(list.shows().at(0).id != deleted);

        // Login CSRF: while the author signs in, an attacker's page posts a
        // sign-in form of its own; its answer is refused, and the author's
        // sign-in goes on waiting for its own until the author cancels it.
        const QStringList forged = signInThroughPage(*studio.manager, u"mallory@example.org"_s, u"long enough"_s, true);
        QCOMPARE(studio.manager->accessToken(), token);
        QVERIFY2(forged.value(0).contains(u"refused"_s) && forged.value(0).contains(u"answers another sign-in"_s),
            qPrintable(forged.join(u'\n')));

        const QByteArray log = service.log();
        QVERIFY(log.contains("DELETE /tvapi/me/lightshows/"));
        QVERIFY2(!log.contains(token->toUtf8()), "the service logged a token");
    }

    void uploadPaths_data()
    {
        QTest::addColumn<TMDBItem>("item");
        QTest::addColumn<QByteArray>("path"); // empty: refused as a bad URL without a request
        TMDBItem both = episodeItem(1399, 1, 3);
        both.movie = TMDBMovie { 550, {}, {}, {}, {} };
        TMDBItem noEpisode = episodeItem(1399, 1, 3);
        noEpisode.episode.reset();
        QTest::newRow("movie") << movieItem(550) << QByteArray("/tvapi/lightshow/movie/550");
        QTest::newRow("episode uses numbers, not ids")
            << episodeItem(1399, 1, 3) << QByteArray("/tvapi/lightshow/tv/1399/1/3");
        QTest::newRow("movie wins over an episode") << both << QByteArray("/tvapi/lightshow/movie/550");
        QTest::newRow("specials season 0") << episodeItem(1399, 0, 2) << QByteArray("/tvapi/lightshow/tv/1399/0/2");
        QTest::newRow("negative numbers") << episodeItem(-7, -1, -2) << QByteArray("/tvapi/lightshow/tv/-7/-1/-2");
        QTest::newRow("show and season only") << noEpisode << QByteArray();
        QTest::newRow("nothing") << TMDBItem {} << QByteArray();
    }

    void uploadPaths()
    {
        QFETCH(TMDBItem, item);
        QFETCH(QByteArray, path);
        FaultServer server;
        server.setAnswer("POST", path, { 200, "ignored" });
        Studio studio = makeStudio(server.origin(), u"tok"_s);
        QTRY_COMPARE(server.received().size(), 1); // the launch's account fetch
        server.clearReceived();
        const auto result = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), item));
        QVERIFY(studio.outbox->entries().isEmpty());
        if (path.isEmpty()) {
            QCOMPARE(result.error->kind, Kind::BadURL);
            QVERIFY(server.received().isEmpty());
            return;
        }
        QVERIFY(result.succeeded());
        QCOMPARE(server.received().size(), 1);
        const auto& request = server.received().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, path);
        QCOMPARE(request.headers.value("authorization"), QByteArray("Bearer tok"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/octet-stream"));
        QVERIFY(!request.headers.value("idempotency-key").isEmpty());
        QCOMPARE(request.body, validRecording());
    }

    void uploadFailuresKeepTheRecording_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<FaultServer::Action>("action");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("messagePart");
        const auto respond = FaultServer::Action::Respond;
        QTest::newRow("201") << 201 << respond << Kind::BadServerResponse << "status 201";
        QTest::newRow("204") << 204 << respond << Kind::BadServerResponse << "status 204";
        QTest::newRow("400, refused for good")
            << 400 << respond << Kind::BadServerResponse << "status 400: no [2Jsuch title";
        QTest::newRow("401") << 401 << respond << Kind::BadServerResponse << "sign in again";
        QTest::newRow("403") << 403 << respond << Kind::BadServerResponse << "sign in again";
        QTest::newRow("500") << 500 << respond << Kind::BadServerResponse << "status 500";
        QTest::newRow("dropped") << 0 << FaultServer::Action::Drop << Kind::Transport << "unreachable";
        QTest::newRow("time-out") << 0 << FaultServer::Action::Silent << Kind::Transport << "did not answer";
    }

    void uploadFailuresKeepTheRecording()
    {
        QFETCH(int, status);
        QFETCH(FaultServer::Action, action);
        QFETCH(Kind, kind);
        QFETCH(QString, messagePart);
        FakeService fake;
        Studio& studio = fake.studio;
        // A reason in the body is passed on, printable.
        fake.server.setAnswer(
            "POST", "/tvapi/lightshow/movie/550", { status, "{\"error\":\"no \\u001b[2Jsuch title\"}", action });
        QTRY_VERIFY(studio.manager->account().has_value());
        studio.manager->httpClient().setTimeout(std::chrono::milliseconds(300));
        const auto result = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(550)));
        QVERIFY(!result.succeeded());
        QCOMPARE(result.error->kind, kind);
        QVERIFY2(result.error->message().contains(messagePart), qPrintable(result.error->message()));
        const auto entries = studio.outbox->entries();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().item, movieItem(550));
        QCOMPARE(entries.first().attempts, 1);
        QCOMPARE(studio.outbox->recording(entries.first().id), std::optional(validRecording()));

        // Once the service accepts it, a retry empties the outbox; what it
        // refused for good goes only when sent by itself. (A 401 signed the
        // studio out; the author signed in again.)
        studio.store->setValue(u"access_token"_s, u"tok"_s);
        fake.server.setAnswer("POST", "/tvapi/lightshow/movie/550", { 200, "{}" });
        const auto retried = QCoro::waitFor(studio.uploads->retryOutbox());
        QVERIFY(!retried.error);
        QCOMPARE(retried.results.size(), status == 400 ? 0 : 1);
        const auto sent = status == 400
            ? QCoro::waitFor(studio.uploads->retry(UploadDelivery::Parcel { entries.first(), {} }))
            : retried.results.first().result;
        QCOMPARE(sent.delivery, Delivery::Sent);
        QVERIFY(studio.outbox->entries().isEmpty());
        QCOMPARE(fake.server.received().last().body, validRecording());
    }

    void uploadWithoutTokenOrItem()
    {
        FaultServer server;
        Studio studio = makeStudio(server.origin());
        auto result = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(1)));
        QCOMPARE(result.error->kind, Kind::UserAuthenticationRequired);
        QCOMPARE(studio.outbox->entries().size(), 1); // kept for after the sign-in
        studio.store->setValue(u"access_token"_s, u"tok"_s);
        result = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), std::nullopt));
        QCOMPARE(result.error->kind, Kind::Unknown);
        const QString said = result.error->message();
        QVERIFY2(said.contains(u"choose one in the catalogue"_s), qPrintable(said));
        QVERIFY(server.received().isEmpty());
    }

    void account_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<FaultServer::Action>("action");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expectedEmail"); // "unchanged" or "none" or the email
        const auto respond = FaultServer::Action::Respond;
        QTest::newRow("200") << 200 << respond << QByteArray(R"({"id":"u1","email":"new@x","extra":1})") << "new@x";
        QTest::newRow("401 signs out") << 401 << respond << QByteArray(R"({"error":"no"})") << "none";
        QTest::newRow("the same account")
            << 200 << respond << QByteArray(R"({"id":"u0","email":"old@x"})") << "unchanged";
        QTest::newRow("500 leaves it") << 500 << respond << QByteArray(R"({"id":"u1","email":"new@x"})") << "unchanged";
        QTest::newRow("no email clears it") << 200 << respond << QByteArray(R"({"id":"u1"})") << "none";
        QTest::newRow("id not text clears it") << 200 << respond << QByteArray(R"({"id":5,"email":"e"})") << "none";
        QTest::newRow("not JSON clears it") << 200 << respond << QByteArray("<html>") << "none";
        QTest::newRow("dropped clears it") << 0 << FaultServer::Action::Drop << QByteArray() << "none";
    }

    void account()
    {
        QFETCH(int, status);
        QFETCH(FaultServer::Action, action);
        QFETCH(QByteArray, body);
        QFETCH(QString, expectedEmail);
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { status, body, action });
        Studio studio = makeStudio(server.origin());
        const Account old { u"u0"_s, u"old@x"_s };
        studio.manager->setAccount(old);
        studio.store->setValue(u"access_token"_s, u"tok"_s);
        QSignalSpy changed(studio.manager.get(), &Session::accountChanged);
        QCoro::waitFor(studio.manager->fetchAccount());
        QCOMPARE(server.received().first().headers.value("authorization"), QByteArray("Bearer tok"));
        const std::optional<Account> account = studio.manager->account();
        if (expectedEmail == u"unchanged"_s)
            QCOMPARE(account, std::optional(old));
        else
            QCOMPARE(account.value_or(Account { {}, u"none"_s }).email, expectedEmail);
        QCOMPARE(changed.count(), account == old ? 0 : 1); // announced only when it changed
        QCOMPARE(studio.manager->accessToken(), status == 401 ? std::nullopt : std::optional(u"tok"_s));
    }

    // A token goes only to the service that issued it: with another address set
    // (mistyped, or a test server), no request carries it and the author learns
    // why; with the address set back, it is used again.
    void aTokenGoesOnlyToItsService()
    {
        FaultServer issuer, elsewhere;
        for (FaultServer* server : { &issuer, &elsewhere })
            server->setAnswer("GET", "/auth/account", { 200, R"({"id":"u1","email":"a@x"})" });
        Studio studio = makeStudio(issuer.origin());
        QVERIFY(studio.manager->setAccessToken(u"tok"_s));
        studio.manager->setEndpoints(endpointsAt(elsewhere.origin()));
        QCOMPARE(studio.manager->accessToken(), std::nullopt);
        QVERIFY2(studio.manager->signedOutMessage().contains(issuer.origin()),
            qPrintable(studio.manager->signedOutMessage()));
        QCoro::waitFor(studio.manager->fetchAccount());
        const auto upload = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(1)));
        QCOMPARE(upload.error->kind, ServiceError::Kind::UserAuthenticationRequired);
        // The library, finding no token for this service, keeps the other's sign-in and says why.
        LightShowListModel list(*studio.manager);
        QCoro::waitFor(list.loadLightShows());
        QVERIFY(studio.manager->signedOutMessage().contains(issuer.origin()));
        for (const FaultServer::Received& request : elsewhere.received())
            QVERIFY2(!request.headers.contains("authorization"), request.target.constData());
        {
            // Nor from the next start on these settings.
            Session restarted(Session::Configuration { studio.store, studio.manager->endpoints() });
            QCOMPARE(restarted.accessToken(), std::nullopt);
            QVERIFY(restarted.signedOutMessage().contains(issuer.origin()));
        }

        // An address that cannot be used is named as such, and the sign-in is kept.
        studio.manager->setEndpoints(u"the service address is not a URL"_s);
        QVERIFY2(studio.manager->signedOutMessage().startsWith(
                     u"The service's address cannot be used: the service address is not a URL."_s),
            qPrintable(studio.manager->signedOutMessage()));
        studio.manager->setEndpoints(endpointsAt(issuer.origin()));
        QCOMPARE(studio.manager->accessToken(), std::optional(u"tok"_s));
        QCoro::waitFor(studio.manager->fetchAccount());
        QCOMPARE(issuer.received().last().headers.value("authorization"), QByteArray("Bearer tok"));
    }

    // An answer about a token that another sign-in replaced meanwhile is not
    // taken for the new author's account.
    void anAccountAnswerForAReplacedTokenIsIgnored()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"a","email":"a@x"})", FaultServer::Action::Hold });
        Studio studio = makeStudio(server.origin());
        studio.store->setValue(u"access_token"_s, u"token-a"_s);
        auto fetching = studio.manager->fetchAccount();
        QTRY_VERIFY(server.held() >= 1);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"b","email":"b@x"})" });
        studio.manager->setAccessToken(u"token-b"_s);
        QTRY_COMPARE(studio.manager->account().value_or(Account {}).id, u"b"_s);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"a","email":"a@x"})" });
        server.releaseHeld();
        QCoro::waitFor(std::move(fetching));
        QCOMPARE(studio.manager->account().value_or(Account {}).id, u"b"_s);
    }

    // Nothing is asked of the service without a token: neither the account
    // (until a token comes) nor the listing, which signs out instead, nor a
    // deletion, which fails; nor with a token that cannot be sent.
    void nothingAskedWithoutAToken()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u","email":"e"})" });
        Studio studio = makeStudio(server.origin());
        LightShowListModel list(*studio.manager);
        QSignalSpy signedOut(studio.manager.get(), &Session::accessTokenChanged);
        QCoro::waitFor(list.loadLightShows());
        QCOMPARE(list.error(), std::nullopt); // another program may have taken the token: no error to show
        QCOMPARE(signedOut.count(), 1);
        QSignalSpy deleteFailed(&list, &LightShowListModel::deleteFailed);
        QCoro::waitFor(list.deleteLightShow({}));
        QCOMPARE(deleteFailed.value(0).value(1).toString(), u"not signed in"_s);
        studio.manager->setAccessToken(std::nullopt);
        QTest::qWait(50);
        QVERIFY(server.received().isEmpty());
        studio.manager->setAccessToken(u"t2"_s);
        QTRY_VERIFY(studio.manager->account().has_value());
        QCOMPARE(server.received().size(), 1);
        studio.manager->setAccessToken(u"t 3"_s);
        QCoro::waitFor(list.loadLightShows());
        QVERIFY(!list.isLoading());
        const auto upload = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(1)));
        QVERIFY2(upload.error->message().contains(u"sign in again"_s), qPrintable(upload.error->message()));
        QCOMPARE(server.received().size(), 1);
    }

    // A sign-out that the service does not confirm still signs out here, and says so; a 401
    // (the token was forgotten already) is what was asked.
    void signOutTheServiceRefuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("401") << 401;
        QTest::newRow("403") << 403;
        QTest::newRow("500") << 500;
    }

    void signOutTheServiceRefuses()
    {
        QFETCH(int, status);
        FakeService fake;
        fake.server.setAnswer("DELETE", "/auth/token", { status, "{}" });
        const std::optional<ServiceError> error = QCoro::waitFor(fake.studio.manager->signOut());
        QCOMPARE(fake.studio.manager->accessToken(), std::nullopt);
        QCOMPARE(error.value_or(ServiceError {}).status, status == 401 ? 0 : status);
    }

    void listing_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("count"); // -1: an error and an empty list
        QTest::addColumn<QString>("said"); // in the error
        const QByteArray show = R"({"results":[{"id":"a","tmdb_id":1,"season":0,"episode":0,"type":"movie",)"
                                R"("author_id":"u","created_at":"t")";
        const QString unread = u"could not be read (status 200)"_s;
        QTest::newRow("full") << 200 << show + R"(,"title":"T"}],"limit":1,"offset":0,"total":1})" << 1 << "";
        QTest::newRow("no paging, title null") << 200 << show + R"(,"title":null}]})" << 1 << "";
        QTest::newRow("decodes whatever the status") << 500 << show + "}]}" << 1 << "";
        QTest::newRow("missing season") << 200 << QByteArray(show).replace(R"("season":0,)", "") + "}]}" << -1
                                        << unread;
        QTest::newRow("id not text") << 200 << QByteArray(show).replace(R"("a")", "1") + "}]}" << -1 << unread;
        QTest::newRow("member not an object")
            << 200 << QByteArray(R"({"results":[1]})") << -1 << "results[0] is not an object";
        for (const char* member : { "limit", "offset", "total" })
            QTest::addRow("%s not an integer", member)
                << 200
                << QByteArray(R"({"results":[],"limit":0,"offset":0,"total":0})")
                       .replace(QByteArray(member) + "\":0", QByteArray(member) + "\":\"0\"")
                << -1 << unread;
        QTest::newRow("html page") << 500 << QByteArray("<html>Bad gateway</html>") << -1 << "on its side (status 500)";
    }

    void listing()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, count);
        QFETCH(QString, said);
        FaultServer server;
        Studio studio = makeStudio(server.origin(), u"tok"_s);
        LightShowListModel list(*studio.manager);
        // A failed load first: a good load afterwards must clear its error.
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, "nope" });
        QCoro::waitFor(list.loadLightShows());
        QVERIFY(list.error().has_value());
        server.setAnswer("GET", "/tvapi/me/lightshows", { status, body });
        QCoro::waitFor(list.loadLightShows());
        QVERIFY(!list.isLoading());
        QCOMPARE(list.error().has_value(), count < 0);
        QVERIFY2(list.error().value_or(QString()).contains(said), qPrintable(list.error().value_or(QString())));
        QCOMPARE(list.rowCount(), std::max(count, 0));
    }

    // Of two loads under way at once, the one asked last is shown, whichever
    // answers last.
    void anOlderListingAnsweringLateIsNotShown()
    {
        FaultServer server;
        Studio studio = makeStudio(server.origin(), u"tok"_s);
        LightShowListModel list(*studio.manager);
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, {}, FaultServer::Action::Hold });
        auto older = list.loadLightShows();
        QTRY_COMPARE(server.held(), 1);
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, listingOf({ u"newer"_s }) });
        QCoro::waitFor(list.loadLightShows());
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, listingOf({ u"older"_s, u"other"_s }) });
        server.releaseHeld();
        QCoro::waitFor(std::move(older));
        QCOMPARE(list.shows().size(), 1);
        QCOMPARE(list.shows().first().id, u"newer"_s);

        // One whose author changed meanwhile is shown to nobody, and leaves nothing loading.
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, {}, FaultServer::Action::Hold });
        auto replaced = list.loadLightShows();
        QTRY_COMPARE(server.held(), 1);
        QVERIFY(studio.manager->setAccessToken(u"another"_s));
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, listingOf({ u"theirs"_s }) });
        server.releaseHeld();
        QCoro::waitFor(std::move(replaced));
        QVERIFY(!list.isLoading());
        QCOMPARE(list.shows().first().id, u"newer"_s);
    }

    void deleting_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("target"); // empty: no request
        QTest::addColumn<bool>("removed");
        QTest::newRow("200 removes") << "abc" << 200 << QByteArray("/tvapi/me/lightshows/abc") << true;
        QTest::newRow("204 keeps") << "abc" << 204 << QByteArray("/tvapi/me/lightshows/abc") << false;
        QTest::newRow("404 keeps") << "abc" << 404 << QByteArray("/tvapi/me/lightshows/abc") << false;
        QTest::newRow("401 keeps and signs out") << "abc" << 401 << QByteArray("/tvapi/me/lightshows/abc") << false;
        QTest::newRow("slash and question mark stay in the segment")
            << "a/b?c" << 200 << QByteArray("/tvapi/me/lightshows/a%2Fb%3Fc") << true;
        QTest::newRow("dot-dot is never sent") << ".." << 200 << QByteArray() << false;
        QTest::newRow("empty id is never sent") << "" << 200 << QByteArray() << false;
    }

    void deleting()
    {
        QFETCH(QString, id);
        QFETCH(int, status);
        QFETCH(QByteArray, target);
        QFETCH(bool, removed);
        FaultServer server;
        server.setAnswer("DELETE", target.isEmpty() ? QByteArray("/tvapi/me/lightshows/x") : target, { status, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, listingOf({ id, u"other"_s }) });
        Studio studio = makeStudio(server.origin(), u"tok"_s);
        LightShowListModel list(*studio.manager);
        QCoro::waitFor(list.loadLightShows());
        QCOMPARE(list.shows().size(), 2);
        server.clearReceived();
        QCoro::waitFor(list.deleteLightShow(list.shows().first()));
        QCOMPARE(server.received().size(), target.isEmpty() ? 0 : 1);
        if (!target.isEmpty()) {
            QCOMPARE(server.received().first().method, QByteArray("DELETE"));
            QCOMPARE(server.received().first().target, target);
        }
        QCOMPARE(list.shows().size(), removed ? 1 : 2);
        QCOMPARE(list.shows().last().id, u"other"_s);
        // A sign-in the service no longer takes is ended here too, and the author told why.
        QCOMPARE(studio.manager->accessToken().has_value(), status != 401);
        QCOMPARE(studio.manager->signedOutMessage().contains(u"expired"_s), status == 401);
    }

    // Only the answer to this very sign-in is taken (its one "state" item is
    // the one sent; anything else changes nothing stored), and only with one
    // usable token: one named twice (a forged one may come first) is refused.
    void callback_data()
    {
        QTest::addColumn<QString>("query"); // of corvexapp://callback
        QTest::addColumn<QString>("token"); // stored afterwards ("-": none)
        QTest::addColumn<QString>("problem");
        const QString twice = u"more than one access token"_s;
        const QString unusable = u"cannot be used"_s;
        const QString foreign = u"did not belong to this sign-in"_s;
        // clang-format off
        QTest::newRow("token then other") << "token=abc&x=1&state=s" << "abc" << "";
        QTest::newRow("other then token") << "x=1&state=s&token=abc" << "abc" << "";
        QTest::newRow("two tokens") << "token=one&token=two&state=s" << "-" << twice;
        QTest::newRow("forged one among others") << "x=1&token=mine&y=2&state=s&token=attackers" << "-" << twice;
        QTest::newRow("an empty second one") << "token=mine&token=&state=s" << "-" << twice;
        QTest::newRow("an empty first one") << "token=&token=late&state=s" << "-" << twice;
        QTest::newRow("other case does not match") << "Token=abc&state=s" << "-" << "did not return an access token";
        QTest::newRow("item without value") << "token&state=s" << "-" << unusable;
        QTest::newRow("percent-decoded, plus kept") << "token=a%2Fb+c&state=s" << "a/b+c" << "";
        QTest::newRow("the first and last printable") << "token=!a~&state=s" << "!a~" << "";
        QTest::newRow("line break") << "token=a%0D%0AX-Evil:1&state=s" << "-" << unusable;
        QTest::newRow("a space") << "token=a%20b&state=s" << "-" << unusable;
        QTest::newRow("its own state, no token") << "state=s" << "-" << "did not return an access token";
        QTest::newRow("no state") << "token=t" << "earlier" << foreign;
        QTest::newRow("another sign-in's state") << "token=t&state=x" << "earlier" << foreign;
        QTest::newRow("an empty state") << "token=t&state=" << "earlier" << foreign;
        QTest::newRow("its state twice") << "state=s&token=t&state=s" << "earlier" << foreign;
        QTest::newRow("its state and another") << "state=s&token=t&state=x" << "earlier" << foreign;
        QTest::newRow("named in another case") << "token=t&State=s" << "earlier" << foreign;
        QTest::newRow("percent-encoded, the same state") << "token=t&state=%73" << "t" << "";
        // clang-format on
    }

    void callback()
    {
        QFETCH(QString, query);
        QFETCH(QString, token);
        QFETCH(QString, problem);
        FaultServer server;
        Studio studio = makeStudio(server.origin(), u"earlier"_s);
        QStringList printed;
        const QString said = completeSignIn(QUrl(u"corvexapp://callback?"_s + query), u"s"_s, *studio.manager,
            [&printed](const QString& line) { printed.append(line); });
        const std::optional<QString> stored = studio.manager->accessToken();
        QCOMPARE(stored.value_or(u"-"_s), token);
        QCOMPARE(said.isEmpty(), problem.isEmpty());
        QVERIFY2(said.contains(problem), qPrintable(said));
        QCOMPARE(studio.manager->signedOutMessage(), said);
        QCOMPARE(printed.size(), 2);
        QVERIFY(printed.at(0).startsWith(u"Callback URL: corvexapp://callback?"_s));
        QCOMPARE(printed.at(1), stored ? u"Access Token: stored"_s : u"Access Token: Not Found"_s);
        QVERIFY2(!stored || stored->size() < 2 || !printed.join(u'\n').contains(*stored), "the token was printed");
    }

    // A stored token is put into a header line: one that could break the line
    // (or another program's hand-edited value) is never sent.
    void bearerHeader_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("header"); // empty: no request
        QTest::newRow("plain") << "!abc.DEF-123_~+/=" << QByteArray("Bearer !abc.DEF-123_~+/=");
        QTest::newRow("line break") << "abc\r\nX-Evil: 1" << QByteArray();
        QTest::newRow("space") << "abc def" << QByteArray();
        QTest::newRow("tab") << "abc\tdef" << QByteArray();
        QTest::newRow("beyond ASCII") << "abcé" << QByteArray();
    }

    void bearerHeader()
    {
        QFETCH(QString, token);
        QFETCH(QByteArray, header);
        const auto request = bearerRequest(QUrl(u"http://127.0.0.1:1/x"_s), "GET", token);
        QCOMPARE(request.has_value(), !header.isEmpty());
        if (request) {
            QCOMPARE(request->headers.size(), 1);
            QCOMPARE(request->headers.first().second, header);
        }
    }

    void sessionCancelAndBusy()
    {
        FaultServer server;
        Studio studio = makeStudio(server.origin(), u"kept-token"_s);
        QStringList printed;
        QUrl opened;
        WebSession session([&opened](const QUrl& url) {
            opened = url;
            return true;
        });
        auto running = signIn(session, *studio.manager, [&printed](const QString& line) { printed.append(line); });
        QTRY_VERIFY(session.isActive() && !opened.isEmpty());
        QCOMPARE(opened.toString(QUrl::RemoveQuery), server.origin() + u"/auth/signin"_s);
        const QUrlQuery query(opened);
        QCOMPARE(query.queryItemValue(u"redirectUri"_s), u"corvexapp://callback"_s);
        QVERIFY(QRegularExpression(u"^[A-Za-z0-9_-]{32}$"_s).match(query.queryItemValue(u"state"_s)).hasMatch());

        WebSession second([](const QUrl&) { return true; });
        // Named as this program's own waiting sign-in, not another program's.
        const auto busy = QCoro::waitFor(second.authenticate(opened, u"corvexapp"_s));
        QCOMPARE(busy.failure, WebSession::Failure::Busy);
        QVERIFY2(busy.message.contains(u"waiting for the browser"_s), qPrintable(busy.message));
        second.cancel(); // idle: the one that waits still does
        QVERIFY(QCoro::waitFor(second.authenticate(opened, u"corvexapp"_s)).message.contains(u"for the browser"_s));

        // A URL of another scheme is refused, though it carries this sign-in's state, and the
        // session keeps waiting; the second launch's error names the scheme, never the address and its token.
        QString error = handOver(QUrl(u"https://x/?token=secret-1&state="_s + query.queryItemValue(u"state"_s)));
        QVERIFY(session.isActive());
        QVERIFY2(error.contains(u"https"_s) && !error.contains(u"secret-1"_s), qPrintable(error));

        session.cancel();
        QCoro::waitFor(std::move(running));
        QVERIFY(printed.isEmpty());
        QCOMPARE(studio.manager->accessToken(), std::optional(u"kept-token"_s));
        QVERIFY(!session.isActive());

        // With nobody waiting, a second launch says so.
        error = handOver(QUrl(u"corvexapp://callback?token=secret-2"_s));
        QVERIFY2(
            error.contains(u"no Corvex program is waiting"_s) && !error.contains(u"secret-2"_s), qPrintable(error));
    }

    // What keeps a sign-in from waiting for the browser's answer ends it at once, says why and
    // opens no browser in vain; the session then signs in as usual. A session told to wait when
    // no browser opens says so and waits for one the author opens, unless whoever heard that
    // cancels at once. A socket left by a program that crashed is taken over.
    void sessionObstacles_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<WebSession::Failure>("failure");
        QTest::addColumn<QString>("said");
        using Failure = WebSession::Failure;
        QTest::newRow("no browser") << "no browser" << Failure::CannotOpen << "open http://127.0.0.1:1/auth/signin";
        QTest::newRow("no browser, told to wait") << "no browser, wait" << Failure::None << "";
        QTest::newRow("no browser, cancelled by whoever heard it")
            << "no browser, cancel" << Failure::Cancelled << "cancelled";
        QTest::newRow("a folder where its socket goes")
            << "folder" << Failure::CannotListen << "cannot wait for the browser's answer: ";
        QTest::newRow("another program waits") << "other program" << Failure::Busy << "another Corvex program";
        QTest::newRow("a socket a crashed program left") << "stale socket" << Failure::None << "";
    }

    void sessionObstacles()
    {
        QFETCH(QString, obstacle);
        QFETCH(WebSession::Failure, failure);
        QFETCH(QString, said);
        const QUrl page(u"http://127.0.0.1:1/auth/signin"_s);
        const QUrl answer(u"corvexapp://callback?token=abc"_s);
        const QString path = WebSession::socketPath();
        QLocalServer other;
        if (obstacle == u"folder"_s)
            QVERIFY(QDir().mkpath(path + u"/in the way"_s));
        else if (obstacle == u"other program"_s)
            QVERIFY(other.listen(path));
        else if (obstacle == u"stale socket"_s)
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        const auto cleared = qScopeGuard([&other, &path] {
            other.close();
            QDir(path).removeRecursively();
        });
        bool browser = !obstacle.startsWith(u"no browser"_s);
        int opened = 0;
        WebSession session([&opened, &browser](const QUrl&) {
            ++opened;
            return browser;
        });
        session.setWaitsWhenNotOpened(obstacle != u"no browser"_s);
        QSignalSpy notOpened(&session, &WebSession::browserNotOpened);
        if (obstacle == u"no browser, cancel"_s)
            connect(&session, &WebSession::browserNotOpened, &session, &WebSession::cancel);
        std::optional<WebSession::Outcome> outcome;
        auto running = [](WebSession& s, QUrl url, std::optional<WebSession::Outcome>& out) -> QCoro::Task<> {
            out = co_await s.authenticate(url, u"corvexapp"_s);
        }(session, page, outcome);
        // Whatever happens below, the coroutine ends while what it writes to still exists.
        const auto ending = qScopeGuard([&session] { session.cancel(); });

        if (failure == WebSession::Failure::None) {
            QTRY_VERIFY_WITH_TIMEOUT(session.isActive() && opened == 1, 5000);
            const QString error = handOver(answer);
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 5000);
        QCOMPARE(outcome->failure, failure);
        QVERIFY2(outcome->message.contains(said), qPrintable(outcome->message));
        QCOMPARE(notOpened.count(), obstacle.startsWith(u"no browser, "_s) ? 1 : 0);
        QVERIFY(!session.isActive());
        if (failure == WebSession::Failure::None) {
            QCOMPARE(outcome->callback, std::optional(answer));
            return;
        }
        QCOMPARE(opened, browser ? 0 : 1);
        QCOMPARE(other.isListening(), obstacle == u"other program"_s);
        other.close();
        QVERIFY(QDir(path).removeRecursively());
        browser = true;
        auto waiting = session.authenticate(page, u"corvexapp"_s);
        QTRY_VERIFY(session.isActive());
        const QString error = handOver(answer);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(QCoro::waitFor(std::move(waiting)).callback, std::optional(answer));
    }

    // Without a usable service address a sign-in ends at once (no browser
    // waits), and an upload fails as one without an address.
    void withoutAServiceAddress()
    {
        Studio studio = makeStudio(u"http://127.0.0.1:1"_s);
        studio.manager->setEndpoints(u"the service address is not a URL"_s);
        WebSession session([](const QUrl&) { return true; });
        auto running = signIn(session, *studio.manager, [](const QString&) {});
        const auto ending = qScopeGuard([&session] { session.cancel(); });
        QVERIFY(running.isReady());
        studio.store->setValue(u"access_token"_s, u"tok"_s);
        const auto upload = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(1)));
        QCOMPARE(upload.error->detail, u"the service address is not a URL"_s);
        // The library says so too, instead of showing no shows.
        LightShowListModel list(*studio.manager);
        QCoro::waitFor(list.loadLightShows());
        QCOMPARE(list.error(), std::optional(u"the service address is not a URL"_s));
        QVERIFY(!list.isLoading());
    }

    // The command-line tool against the real service, sharing one settings
    // store and outbox through the XDG folders.
    void commandLine()
    {
        TestStore store; // a file, which outlives the service when it is stopped
        QVERIFY(store.create(TestStore::Sharing::Shared));
        ReferenceServiceProcess service;
        QVERIFY(service.startOn(store, { u"--demo-catalogue"_s }));
        Tool corvex(service.origin());
        const QString password = u"p+s & 100%=ok"_s; // each of its marks must be encoded in the form
        const auto login = [&corvex](const QByteArray& input, const QStringList& options = {}) {
            return corvex(QStringList { u"login"_s, u"--email"_s, u"cli@example.org"_s } + options, input);
        };

        QVERIFY(corvex({ u"whoami"_s }).says(1, u"not signed in"_s));
        QVERIFY(corvex({ u"search"_s, u"salt & pepper"_s }).says(0, u"movie 90011  Salt & Pepper Shakers"_s));
        Tool::Run result = corvex({ u"search"_s, u"  "_s }); // blank: nothing, not the whole catalogue
        QVERIFY2(result.status == 0 && result.out == u"nothing found\n"_s, qPrintable(result.all()));
        QVERIFY(corvex({ u"search"_s, u"--seasons"_s, u"91001"_s }).says(0, u"season 1  Season 1 (4 episodes)"_s));
        result = corvex({ u"search"_s, u"--seasons"_s, u"91001"_s, u"--episodes"_s, u"0"_s });
        QVERIFY2(result.out == u"episode 1  Behind the Rockets\n"_s, qPrintable(result.all()));
        QVERIFY(
            corvex({ u"search"_s, u"--seasons"_s, u"91001"_s, u"--episodes"_s, u"7"_s }).says(1, u"(status 404)"_s));

        // Without a browser: the form is filled in with the password from
        // standard input, and makes an account only when asked to.
        QVERIFY(login(password.toUtf8() + "\n").says(1, u"Wrong email address or password."_s));
        QVERIFY(login("", { u"--create"_s }).says(2, u"standard input"_s));
        result = login(password.toUtf8() + "\n", { u"--create"_s });
        QVERIFY(result.says(0, u"Signed in as cli@example.org"_s));
        QVERIFY(!result.all().contains(password));
        {
            // On a terminal the password is asked for, and not shown as it is typed.
            const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
            const auto closeTerminal = qScopeGuard([terminal] { ::close(terminal); });
            QProcess typed;
            typed.setProcessEnvironment(corvex.environment);
            typed.setStandardInputFile(QString::fromLocal8Bit(::ptsname(terminal)));
            typed.start(QStringLiteral(CORVEX_TOOL_BINARY), { u"login"_s, u"--email"_s, u"cli@example.org"_s });
            QByteArray asked;
            QTRY_VERIFY_WITH_TIMEOUT((asked += typed.readAllStandardError()).contains("Password: "), 30000);
            const QByteArray line = password.toUtf8() + "\n";
            QCOMPARE(::write(terminal, line.constData(), size_t(line.size())), ssize_t(line.size()));
            QVERIFY(typed.waitForFinished(30000));
            QVERIFY2(typed.exitCode() == 0, typed.readAllStandardError().constData());
            QByteArray shown(4096, '\0');
            shown.resize(std::max<ssize_t>(0, ::read(terminal, shown.data(), size_t(shown.size()))));
            QVERIFY2(!shown.contains(password.toUtf8()), shown.constData());
        }

        const QUrl callback
            = QCoro::waitFor(corvex::testing::submitSignInForm(SignInRequest::make(service.origin()).url,
                                 u"cli@example.org"_s, password, "signin"_ba))
                  .callback;
        const QString token = *tokenFromCallback(callback);
        // Through the browser: 'corvex login' shows the page and waits until the desktop hands the
        // answer to 'corvex corvexapp://...'; the answer to another sign-in is refused to whoever
        // handed it, and the sign-in goes on waiting for its own.
        {
            QProcess waiting;
            waiting.setProcessEnvironment(corvex.environment);
            waiting.start(QStringLiteral(CORVEX_TOOL_BINARY), { u"login"_s });
            QString shown;
            QTRY_VERIFY_WITH_TIMEOUT(
                (shown += waiting.readAllStandardOutput()).contains(u"Waiting for the browser"_s), 30000);
            const QUrl page(shown.section(u"\n  "_s, 1, 1).section(u'\n', 0, 0));
            QVERIFY(corvex({ callback.toString() }).says(1, u"answers another sign-in"_s));
            const QUrl own
                = QCoro::waitFor(corvex::testing::submitSignInForm(page, u"cli@example.org"_s, password, "signin"_ba))
                      .callback;
            QVERIFY(corvex({ own.toString() }).says(0));
            QTRY_COMPARE_WITH_TIMEOUT(waiting.state(), QProcess::NotRunning, 30000);
            shown += waiting.readAllStandardOutput() + waiting.readAllStandardError();
            QVERIFY2(waiting.exitCode() == 0 && shown.contains(u"Signed in as cli@example.org"_s), qPrintable(shown));
        }
        result = corvex({ u"login"_s, u"--token-from-callback"_s, callback.toString() });
        QVERIFY(result.says(0, u"Signed in as cli@example.org"_s));
        QVERIFY2(!result.all().contains(token), "the token was printed");
        // An answer handed over that the service refuses, or that carries no
        // token, leaves the sign-in as it was.
        for (const char* answer : { "corvexapp://callback?token=junk&state=s", "corvexapp://callback?state=s" }) {
            QVERIFY(corvex({ u"login"_s, u"--token-from-callback"_s, QString::fromLatin1(answer) })
                        .says(1, u"the earlier sign-in stays"_s));
            QVERIFY(corvex({ u"whoami"_s }).says(0, u"Signed in as cli@example.org"_s));
        }
        // The studio reads the same store.
        QCOMPARE(Store(corvex.settingsPath()).value(u"access_token"_s), std::optional(token));

        const QString file = corvex.home.filePath(u"show.pb"_s);
        QVERIFY(corvex::settings::private_file::write(file, validRecording()));
        QVERIFY(corvex({ u"upload"_s, file, u"--tv"_s, u"91001"_s, u"1"_s, u"2"_s })
                    .says(0, u"show.pb for tv 91001/1/2\n"_s));
        QCOMPARE(corvex({ u"upload"_s, file, u"--movie"_s }).status, 2);
        const QString empty = corvex.home.filePath(u"empty.pb"_s);
        QVERIFY(corvex::settings::private_file::write(empty, validRecording(0)));
        QVERIFY(corvex({ u"upload"_s, empty, u"--movie"_s, u"90011"_s }).says(1, u"has no frames"_s));
        // Refused for good: the service's reason, and what can still be done.
        result = corvex({ u"upload"_s, file, u"--movie"_s, u"0"_s });
        const QRegularExpressionMatch removal
            = QRegularExpression(u"'corvex (outbox --remove [^'\\s]+)'"_s).match(result.err);
        QVERIFY(result.says(1, u"status 400: catalogue id 0 does not exist"_s));
        QVERIFY2(removal.hasMatch() && !result.err.contains(u"--retry"_s), qPrintable(result.err));
        QVERIFY(corvex((removal.captured(1) + u" --yes"_s).split(u' ')).says(0));
        result = corvex({ u"shows"_s });
        QVERIFY(result.says(0, u"tv 91001 S01E02"_s));
        const QString id = result.out.section(u' ', 0, 0);
        result = corvex({ u"delete"_s, id, u"missing"_s });
        QVERIFY(result.says(1, u"refused with status 404"_s));
        QVERIFY2(result.out.contains(u"deleted %1"_s.arg(id)), qPrintable(u"id '%1': %2"_s.arg(id, result.all())));

        // With the service gone the recording waits in the outbox.
        service.stop();
        QVERIFY(corvex({ u"upload"_s, file, u"--movie"_s, u"90002"_s }).says(1, u"unreachable"_s));
        QVERIFY(corvex({ u"outbox"_s }).says(0, u"  movie 90002"_s));
        QVERIFY(corvex({ u"outbox"_s, u"--retry"_s }).says(1, u"refused the connection"_s));
        QVERIFY(corvex({ u"shows"_s }).says(1, u"refused the connection"_s));
        QVERIFY(service.startAgain());
        QVERIFY(corvex({ u"outbox"_s, u"--retry"_s }).says(0));
        QVERIFY(corvex({ u"outbox"_s }).says(0, u"the outbox is empty"_s));

        // Signed out, the recording waits in the outbox with no author, which a
        // retry does not send: the advice given is the way that does.
        QVERIFY(corvex({ u"logout"_s }).says(0));
        result = corvex({ u"upload"_s, file, u"--movie"_s, u"90003"_s });
        const QRegularExpressionMatch advised
            = QRegularExpression(u"sign in with 'corvex login', then send it with 'corvex (outbox --send [^'\\s]+)'"_s)
                  .match(result.err);
        QVERIFY2(result.status == 1 && advised.hasMatch(), qPrintable(result.all()));
        QVERIFY(login(password.toUtf8() + "\n").says(0));
        QVERIFY(corvex(advised.captured(1).split(u' ')).says(0));
        QVERIFY(corvex({ u"outbox"_s }).says(0, u"the outbox is empty"_s));
        // An outbox that is a link to a folder elsewhere is not used.
        QVERIFY(QDir(corvex.outboxPath()).removeRecursively());
        QVERIFY(QFile::link(corvex.home.path(), corvex.outboxPath()));
        result = corvex({ u"outbox"_s });
        QVERIFY(QFile::remove(corvex.outboxPath()));
        QVERIFY(result.says(1, u"the outbox cannot be used"_s));

        // Another service set: the token goes nowhere, and the tool says whose it is.
        corvex.setOrigin(u"http://127.0.0.1:1"_s);
        QVERIFY(corvex({ u"whoami"_s }).says(1, u"the stored sign-in is for the service at http://127.0.0.1:"_s));
        corvex.setOrigin(u"http://lights.example.org"_s);
        QVERIFY(corvex({ u"whoami"_s }).says(1, u"plain http"_s));
    }

    // With the disk full nothing is reported done that was not: an upload is
    // "uploaded" only when the service took it, the recording stays where it
    // was, no empty entry is left, and a sign-out or sign-in that could not
    // be written says so (and the tool then still finds the author signed in).
    void fullDisk_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("serviceUp");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::newRow("upload, the service takes it") << "upload" << true << 0 << "uploaded";
        QTest::newRow("upload, the service is down") << "upload" << false << 1 << "show.pb is where it was";
        QTest::newRow("logout") << "logout" << true << 1 << "still signed in";
        QTest::newRow("login with a callback")
            << "login --token-from-callback corvexapp://callback?token=t&state=s" << true << 1 << "could not be saved";
    }

    void fullDisk()
    {
        QFETCH(QString, command);
        QFETCH(bool, serviceUp);
        QFETCH(int, status);
        QFETCH(QString, said);
        FullDisk disk;
        CORVEX_REQUIRE_FULL_DISK(disk);
        ReferenceServiceProcess& service = m_shared.get();
        Tool corvex(serviceUp ? service.origin() : u"http://127.0.0.1:1"_s);
        corvex.setFolders(disk.path(u"config"_s), disk.path(u"data"_s));
        const QString email = freshEmail(u"full");
        corvex.signIn(createAccount(service.origin(), email));
        QVERIFY(QDir().mkpath(corvex.outboxPath()));
        const QString file = corvex.home.filePath(u"show.pb"_s);
        QVERIFY(corvex::settings::private_file::write(file, validRecording()));
        disk.fill();

        const Tool::Run run = command == u"upload"_s ? corvex({ u"upload"_s, file, u"--movie"_s, u"90011"_s })
                                                     : corvex(command.split(u' '));
        QVERIFY2(run.status == status, qPrintable(run.all()));
        QVERIFY2(run.all().contains(said), qPrintable(run.all()));
        QVERIFY2(!run.out.contains(u"signed out"_s), qPrintable(run.out));
        QCOMPARE(QDir(corvex.outboxPath()).entryList(QDir::Files | QDir::Hidden), QStringList());
        if (command == u"logout"_s)
            QVERIFY(corvex({ u"whoami"_s }).out.contains(u"Signed in as "_s + email));
        corvex.setOrigin(service.origin());
        QCOMPARE(corvex({ u"shows"_s }).out.contains(u"movie 90011"_s), command == u"upload"_s && serviceUp);
    }

    // What a hostile service says reaches the terminal without its control
    // characters: no escape sequence of its own choosing runs there.
    void hostileTextIsPrintedPlain_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("shown");
        const QString esc(QChar(0x1b));
        QTest::newRow("whoami") << "whoami" << QByteArray("/auth/account")
                                << QJsonObject { { u"id"_s, u"u1"_s + esc + "[2J" },
                                       { u"email"_s, "a" + esc + "]0;pwned" + QChar(7) + "@x.org" } }
                                << "Signed in as a]0;pwned@x.org (account u1[2J)";
        const QJsonObject show { { u"id"_s, u"s\r1"_s }, { u"tmdb_id"_s, 1 }, { u"season"_s, 0 }, { u"episode"_s, 0 },
            { u"type"_s, "movie" }, { u"author_id"_s, "u" },
            { u"created_at"_s, u"t"_s + QChar(0x80) + QChar(0x9b) + QChar(0x9f) + QChar(0xa0) + "31m" },
            { u"title"_s, u"Up"_s + QChar(0x7f) + esc + "[1A\nDown" } };
        QTest::newRow("shows") << "shows" << QByteArray("/tvapi/me/lightshows")
                               << QJsonObject { { u"results"_s, QJsonArray { show } } }
                               << u"s1  movie 1  t"_s + QChar(0xa0) + "31m  Up[1A\nDown"; // the C1 controls 80-9f go
    }

    void hostileTextIsPrintedPlain()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, path);
        QFETCH(QJsonObject, answer);
        QFETCH(QString, shown);
        FakeService fake;
        fake.server.setAnswer("GET", path, { 200, QJsonDocument(answer).toJson() });
        Tool corvex(fake.server.origin());
        corvex.signIn(u"tok"_s);
        const Tool::Run run = corvex({ command });
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.trimmed(), shown);
        // Refused, it says why on standard error and fails; a refused sign-in
        // is no empty list either.
        for (const int status : { 500, 401 }) {
            fake.server.setAnswer("GET", path, { status, "{}" });
            // The account request every start of the tool sends goes unanswered:
            // what the command does with its own answer decides.
            if (path == "/auth/account")
                fake.server.holdNext("GET", path, 1);
            const Tool::Run refused = corvex({ command });
            QVERIFY2(refused.status == 1 && refused.out.isEmpty() && !refused.err.isEmpty(), qPrintable(refused.all()));
        }
        QVERIFY(corvex({ command }).says(1, u"not signed in"_s));
    }

    // The outbox is its owner's alone: a folder only they can enter, files
    // only they can read, and a folder planted by someone else is refused.
    void outboxIsPrivate()
    {
        const mode_t previousMask = ::umask(0);
        const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });
        QTemporaryDir dir;
        Outbox outbox(dir.filePath(u"outbox"_s));
        const QString id = addEntry(outbox, u"u1"_s);
        QVERIFY(!id.isEmpty());
        for (const QString& name : { QString(), id + u".pb"_s, id + u".json"_s }) {
            struct stat info { };
            QCOMPARE(::stat(QFile::encodeName(outbox.folder() + u'/' + name).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, name.isEmpty() ? mode_t(0700) : mode_t(0600));
        }
        if (::geteuid() != 0)
            QSKIP("only root can give a folder to another user");
        QCOMPARE(::chown(QFile::encodeName(outbox.folder()).constData(), 65534, 65534), 0);
        QVERIFY(outbox.entries().isEmpty());
        const auto refused = outbox.add(validRecording(), movieItem(1), u"u1"_s);
        QVERIFY2(refused.error.contains(u"belongs to another user"_s), qPrintable(refused.error));
        QVERIFY2(outbox.folderProblem().contains(u"belongs to another user"_s), qPrintable(outbox.folderProblem()));
    }

    // The studio's side of a full disk: the recording that the outbox could
    // not take stays in memory, and Retry sends it.
    void uploadWithAFullOutbox()
    {
        FullDisk disk;
        CORVEX_REQUIRE_FULL_DISK(disk);
        FakeService fake(503);
        Studio& studio = fake.studio;
        studio.outbox = std::make_shared<Outbox>(disk.path(u"outbox"_s));
        studio.uploads = std::make_unique<UploadDelivery>(*studio.manager, studio.outbox);
        QTRY_VERIFY(studio.manager->account().has_value());
        disk.fill();
        const auto result = QCoro::waitFor(studio.uploads->uploadLightShow(validRecording(), movieItem(550)));
        QCOMPARE(result.delivery, Delivery::Failed);
        QVERIFY(result.outboxId.isEmpty());
        QVERIFY2(result.outboxError.contains(u"No space left"_s), qPrintable(result.outboxError));
        QCOMPARE(result.parcel.recording, validRecording());
        QCOMPARE(QDir(studio.outbox->folder()).entryList(QDir::Files | QDir::Hidden), QStringList());
        fake.server.setAnswer("POST", "/tvapi/lightshow/movie/550", { 200, "{}" });
        QCOMPARE(QCoro::waitFor(studio.uploads->retry(result.parcel)).delivery, Delivery::Sent);
        QCOMPARE(fake.server.received().last().body, validRecording());
    }

    // The answers to an upload get lost after the service stored it: an
    // entry saved before keys were kept gets one when first taken, every
    // attempt (and the network layer's own resend) carries it, and the
    // service stores the recording once.
    void lostAnswersStoreARecordingOnce()
    {
        ReferenceServiceProcess& service = m_shared.get();
        FaultProxy proxy(service.origin());
        Studio studio = makeStudio(proxy.origin(), createAccount(service.origin(), u"lost@example.org"_s));
        QTRY_VERIFY(studio.manager->account().has_value());
        const QString id = addEntry(*studio.outbox, studio.manager->account()->id, 90011);
        QFile meta(studio.outbox->folder() + u'/' + id + u".json"_s);
        QVERIFY(meta.open(QIODevice::ReadWrite));
        QJsonObject object = QJsonDocument::fromJson(meta.readAll()).object();
        QVERIFY(object.contains(u"key"_s));
        object.remove(u"key"_s);
        meta.resize(0);
        meta.write(QJsonDocument(object).toJson());
        meta.close();
        // The key it gets when first taken is kept at once, for a studio that quits during that upload.
        const QString given = (*studio.outbox->take(id).value)->entry().key;
        QVERIFY(!given.isEmpty());
        QCOMPARE(studio.outbox->entry(id)->key, given);

        proxy.dropAnswers(1000);
        for (const Delivery delivery : { Delivery::Failed, Delivery::Failed, Delivery::Sent }) {
            if (delivery == Delivery::Sent)
                proxy.dropAnswers(0);
            const auto retried = QCoro::waitFor(studio.uploads->retryOutbox());
            QCOMPARE(retried.results.size(), 1);
            QCOMPARE(retried.results.first().result.delivery, delivery);
        }
        QVERIFY(studio.outbox->entries().isEmpty());
        QList<QByteArray> keys;
        for (const auto& request : proxy.forwarded())
            if (request.requestLine.startsWith("POST "))
                keys.append(request.headers.value("idempotency-key"));
        QVERIFY2(keys.size() >= 3, "every attempt reached the service");
        QVERIFY(!keys.first().isEmpty());
        QCOMPARE(keys.count(keys.first()), keys.size());
        QCOMPARE(storedShows(*studio.manager), 1);
    }

    // An author with more shows than the service lists at once sees them all.
    void everyShowIsListed()
    {
        ReferenceServiceProcess& service = m_shared.get();
        const QString token = createAccount(service.origin(), freshEmail(u"many"));
        for (int i = 0; i < 101; ++i)
            QCOMPARE(exchange(service.origin(), upload(token, validRecording())).status, 200);
        Studio studio = makeStudio(service.origin(), token);
        LightShowListModel list(*studio.manager);
        QCoro::waitFor(list.loadLightShows());
        QSet<QString> ids;
        for (const LightShow& show : list.shows())
            ids.insert(show.id);
        QCOMPARE(list.shows().size(), 101);
        QCOMPARE(ids.size(), 101); // each once
    }

    // How the service answers a second upload after a first one.
    void serviceAnswersRepeatsWithTheFirstShow_data()
    {
        QTest::addColumn<QByteArray>("firstKey");
        QTest::addColumn<QByteArray>("secondKey");
        QTest::addColumn<bool>("sameBody");
        QTest::addColumn<bool>("sameAuthor");
        QTest::addColumn<int>("status"); // of the second upload
        QTest::addColumn<bool>("sameShow");
        QTest::addColumn<int>("shows"); // stored for the first author in the end
        const QByteArray key = "k-1";
        QTest::newRow("repeat") << key << key << true << true << 200 << true << 1;
        QTest::newRow("another key") << key << QByteArray("k-2") << true << true << 200 << false << 2;
        QTest::newRow("no keys, as before") << QByteArray() << QByteArray() << true << true << 200 << false << 2;
        QTest::newRow("a key reused for another recording") << key << key << false << true << 422 << false << 1;
        QTest::newRow("the same key of another author") << key << key << true << false << 200 << false << 1;
        QTest::newRow("a key with a space") << key << QByteArray("k 1") << true << true << 400 << false << 1;
        QTest::newRow("a key of the longest length, repeated")
            << QByteArray(255, 'k') << QByteArray(255, 'k') << true << true << 200 << true << 1;
        QTest::newRow("a key too long") << key << QByteArray(256, 'k') << true << true << 400 << false << 1;
    }

    void serviceAnswersRepeatsWithTheFirstShow()
    {
        QFETCH(QByteArray, firstKey);
        QFETCH(QByteArray, secondKey);
        QFETCH(bool, sameBody);
        QFETCH(bool, sameAuthor);
        QFETCH(int, status);
        QFETCH(bool, sameShow);
        QFETCH(int, shows);
        ReferenceServiceProcess& service = m_shared.get();
        const QString ada = createAccount(service.origin(), freshEmail(u"ada"));
        const QString bob = sameAuthor ? ada : createAccount(service.origin(), freshEmail(u"bob"));
        const auto upload = [&service](const QString& token, const QByteArray& key, const QByteArray& body) {
            return exchange(service.origin(), corvex::testing::upload(token, body, 550, key));
        };
        const auto first = upload(ada, firstKey, validRecording());
        QCOMPARE(first.status, 200);
        const auto second = upload(bob, secondKey, sameBody ? validRecording() : validRecording(7));
        QCOMPARE(second.status, status);
        if (status == 200)
            QCOMPARE(showId(second) == showId(first), sameShow);
        Studio studio = makeStudio(service.origin(), ada);
        QCOMPARE(storedShows(*studio.manager), shows);
    }

    // The studio and the command-line tool retry at once, from two managers on
    // one outbox: every waiting recording goes out exactly once.
    void concurrentRetriesSendEachEntryOnce()
    {
        FakeService fake;
        Studio& studio = fake.studio;
        Studio tool = makeStudio(fake.server.origin(), u"tok"_s);
        tool.uploads = std::make_unique<UploadDelivery>(*tool.manager, studio.outbox);
        QTRY_VERIFY(studio.manager->account().has_value() && tool.manager->account().has_value());
        for (int i = 0; i < 5; ++i)
            QVERIFY(!addEntry(*studio.outbox, u"u1"_s).isEmpty());

        int sent = 0;
        int done = 0;
        const auto run = [&sent, &done](UploadDelivery& uploads) -> QCoro::Task<> {
            const UploadDelivery::RetryReport report = co_await uploads.retryOutbox();
            for (const auto& result : report.results)
                sent += result.result.delivery == Delivery::Sent ? 1 : 0;
            ++done;
        };
        auto first = run(*studio.uploads);
        auto second = run(*tool.uploads);
        QTRY_COMPARE(done, 2);
        QCOMPARE(fake.server.count("POST"), 5);
        QCOMPARE(sent, 5);
        QVERIFY(studio.outbox->entries().isEmpty());
    }

    // Uploads closed while a retry waits for the service send nothing more:
    // what was not sent yet stays in the outbox.
    void retryEndsWithItsUploads_data()
    {
        QTest::addColumn<bool>("all"); // the whole outbox, or one entry
        QTest::addColumn<QByteArray>("method"); // of the request the service holds meanwhile
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("sent");
        const QByteArray account = "/auth/account";
        QTest::newRow("all, while the account is asked for") << true << "GET"_ba << account << 0;
        QTest::newRow("all, while the first one goes") << true << "POST"_ba
                                                       << "/tvapi/lightshow/movie/550"_ba << 1;
        QTest::newRow("one, while the account is asked for") << false << "GET"_ba << account << 0;
    }

    void retryEndsWithItsUploads()
    {
        QFETCH(bool, all);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(int, sent);
        FakeService fake;
        QTRY_VERIFY(fake.studio.manager->account().has_value());
        const QString first = addEntry(*fake.studio.outbox, u"u1"_s);
        addEntry(*fake.studio.outbox, u"u1"_s);
        const QByteArray body = method == "GET" ? R"({"id":"u1","email":"a@example.org"})"_ba : R"({"id":"s1"})"_ba;
        fake.server.setAnswer(method, path, { 200, body, FaultServer::Action::Hold });
        bool done = false;
        auto retrying = [](UploadDelivery& uploads, bool whole, Outbox::Entry entry, bool& finished) -> QCoro::Task<> {
            UploadDelivery::Parcel parcel { std::move(entry), {} };
            if (whole)
                co_await uploads.retryOutbox();
            else
                co_await uploads.retry(std::move(parcel));
            finished = true;
        }(*fake.studio.uploads, all, *fake.studio.outbox->entry(first), done);
        QTRY_COMPARE(fake.server.held(), 1);
        fake.studio.uploads.reset();
        fake.server.setAnswer(method, path, { 200, body });
        fake.server.releaseHeld();
        QTRY_VERIFY(done);
        QCOMPARE(fake.server.count("POST"), sent);
        QCOMPARE(fake.studio.outbox->entries().size(), 2 - sent);
    }

    // Whose recordings go: only the signed-in author's own, and one of unknown author only when
    // asked for it. One of another account keeps its author (not this account's address), also
    // when saved now, or taken on by that account after the caller's copy was read.
    void retrySendsOnlyTheAuthorsOwn_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("entryAuthor");
        QTest::addColumn<QString>("savedUnderToken"); // when the author was not known at the save
        QTest::addColumn<UploadDelivery::Adopt>("adopt");
        QTest::addColumn<Delivery>("delivery");
        const auto adopt = UploadDelivery::Adopt::UnknownAuthor;
        const auto no = UploadDelivery::Adopt::No;
        const QString retry = u"retry"_s;
        QTest::newRow("own") << retry << "u1" << QString() << no << Delivery::Sent;
        QTest::newRow("another author's") << retry << "u0" << QString() << no << Delivery::OtherAuthor;
        QTest::newRow("another author's, even when adopting")
            << retry << "u0" << QString() << adopt << Delivery::OtherAuthor;
        QTest::newRow("another author's, saved now") << "upload"
                                                     << "u0" << QString() << no << Delivery::OtherAuthor;
        QTest::newRow("adopted by another author meanwhile") << "adopted meanwhile"
                                                             << "u0" << QString() << adopt << Delivery::OtherAuthor;
        QTest::newRow("unknown author") << retry << QString() << QString() << no << Delivery::UnknownAuthor;
        QTest::newRow("unknown author, asked for") << retry << QString() << QString() << adopt << Delivery::Sent;
        QTest::newRow("unknown author, saved under this token") << retry << QString() << "tok" << no << Delivery::Sent;
        QTest::newRow("unknown author, saved under another token")
            << retry << QString() << "old" << no << Delivery::UnknownAuthor;
    }

    void retrySendsOnlyTheAuthorsOwn()
    {
        QFETCH(QString, how);
        QFETCH(QString, entryAuthor);
        QFETCH(QString, savedUnderToken);
        QFETCH(UploadDelivery::Adopt, adopt);
        QFETCH(Delivery, delivery);
        FakeService fake;
        Outbox& outbox = *fake.studio.outbox;
        QString id;
        if (how == u"upload"_s) {
            QTRY_VERIFY(fake.studio.manager->account().has_value());
            const auto result
                = QCoro::waitFor(fake.studio.uploads->uploadLightShow(validRecording(), movieItem(550), entryAuthor));
            QCOMPARE(result.delivery, delivery);
            id = result.outboxId;
        } else {
            const QString hash = savedUnderToken.isEmpty() ? QString() : Outbox::tokenHash(savedUnderToken);
            id = *outbox.add(validRecording(), movieItem(550), how == u"retry"_s ? entryAuthor : QString(), hash).value;
            const Outbox::Entry older = *outbox.entry(id);
            if (how == u"adopted meanwhile"_s) {
                auto took = outbox.take(id);
                QVERIFY2(took, qPrintable(took.error.message));
                QVERIFY((*took.value)->adoptAuthor(entryAuthor));
            }
            QCOMPARE(QCoro::waitFor(fake.studio.uploads->retry(UploadDelivery::Parcel { older, {} }, adopt)).delivery,
                delivery);
        }
        const bool sent = delivery == Delivery::Sent;
        QCOMPARE(fake.server.count("POST"), sent ? 1 : 0);
        QCOMPARE(outbox.entries().size(), sent ? 0 : 1);
        if (!sent) {
            QCOMPARE(outbox.entry(id)->accountId, entryAuthor);
            QVERIFY2(!outbox.entry(id)->authorText().contains(u"a@example.org"_s),
                qPrintable(outbox.entry(id)->authorText()));
        }
    }

    // After a sign-out and another author's sign-in, retrying everything
    // leaves the previous author's recordings alone, even while the
    // published account still names them.
    void retryAllLeavesOtherAuthorsWaiting()
    {
        FakeService fake;
        Studio& studio = fake.studio;
        QTRY_VERIFY(studio.manager->account().has_value());
        const QString previous = addEntry(*studio.outbox, u"u0"_s);
        const QString own = addEntry(*studio.outbox, u"u1"_s);
        const QString unknown = addEntry(*studio.outbox, QString());
        studio.manager->setAccount(Account { u"u0"_s, u"old@example.org"_s });

        const auto report = QCoro::waitFor(studio.uploads->retryOutbox());
        QVERIFY(!report.error);
        QHash<QString, Delivery> deliveries;
        for (const auto& result : report.results)
            deliveries.insert(result.id, result.result.delivery);
        QCOMPARE(deliveries,
            (QHash<QString, Delivery> {
                { own, Delivery::Sent }, { previous, Delivery::OtherAuthor }, { unknown, Delivery::UnknownAuthor } }));
        QCOMPARE(fake.server.count("POST"), 1);
        QCOMPARE(studio.outbox->entries().size(), 2);
        QCOMPARE(studio.outbox->entry(previous)->attempts, 0);
        QCOMPARE(studio.outbox->entry(unknown)->authorText(), u"an unknown account"_s);

        // Without a way to learn whose the token is, nothing is sent at all.
        fake.server.setAnswer("GET", "/auth/account", { 503, "{}" });
        const auto refused = QCoro::waitFor(studio.uploads->retryOutbox());
        QVERIFY(refused.error.has_value());
        QVERIFY(refused.results.isEmpty());
        QCOMPARE(fake.retry(previous).error->status, 503);
        QCOMPARE(studio.outbox->entries().size(), 2);
        fake.server.setAnswer("GET", "/auth/account", { 200, "<html>" });
        const QString unread = QCoro::waitFor(studio.uploads->retryOutbox()).error->message();
        QVERIFY2(unread.startsWith(u"the service's answer could not be read"_s), qPrintable(unread));
        // A token the service no longer knows signs the author out, and still nothing goes.
        fake.server.setAnswer("GET", "/auth/account", { 401, "{}" });
        QCOMPARE(QCoro::waitFor(studio.uploads->retryOutbox()).error->status, 401);
        QVERIFY(!studio.manager->accessToken());
        QCOMPARE(fake.retry(previous).error->kind, Kind::UserAuthenticationRequired);
        QCOMPARE(QCoro::waitFor(studio.uploads->retryOutbox()).error->kind, Kind::UserAuthenticationRequired);
        QCOMPARE(studio.outbox->entries().size(), 2);
    }

    // The command-line tool's outbox: it respects an entry the studio is
    // sending, leaves other authors' entries alone, tells a recording the
    // service refused for good from one that may still go, and keeps one in
    // a file or removes it when the author says yes.
    void commandLineOutbox()
    {
        ReferenceServiceProcess& service = m_shared.get();
        Tool tool(service.origin());
        const QString token = createAccount(service.origin(), u"tool@example.org"_s);
        tool.signIn(token);
        Studio studio = makeStudio(service.origin(), token, tool.outboxPath());
        QTRY_VERIFY(studio.manager->account().has_value());
        Outbox& outbox = *studio.outbox;
        const QString mine = addEntry(outbox, studio.manager->account()->id);
        const QString others = addEntry(outbox, u"someone-else"_s);
        const QString unknown = addEntry(outbox, QString());

        Tool::Run run = tool({ u"outbox"_s });
        QVERIFY(run.says(0, others + u"  A film (movie 550)"_s));
        QVERIFY(run.says(0, u"waiting for its author, account someone-else, to sign in"_s));
        QVERIFY(run.says(0, u"of unknown author"_s));
        // A description damaged on disk hides nothing: the entry is listed, and its recording can be kept.
        const QString damaged = addEntry(outbox, QString());
        QVERIFY(corvex::settings::private_file::write(
            tool.outboxPath() + u'/' + damaged + u".json"_s, R"({"item": {"movie": 5}})"));
        QVERIFY(tool({ u"outbox"_s }).says(0, damaged + u"  cannot be sent"_s));
        QVERIFY(tool({ u"outbox"_s, u"--save"_s, damaged, tool.home.filePath(u"damaged.pb"_s) }).says(0));
        QVERIFY(tool({ u"outbox"_s, u"--remove"_s, damaged, u"--yes"_s }).says(0, u"removed "_s + damaged));
        QVERIFY(!tool({ u"outbox"_s }).out.contains(damaged));
        {
            // The studio is sending my entry right now.
            const auto held = outbox.take(mine);
            QVERIFY2(held, qPrintable(held.error.message));
            QCOMPARE(tool({ u"outbox"_s }).out.count(u"being sent now"_s), 1);
            QVERIFY(
                tool({ u"outbox"_s, u"--remove"_s, mine, u"--yes"_s }).says(1, mine + u" is being sent right now"_s));
            QVERIFY(tool({ u"outbox"_s, u"--retry"_s })
                        .says(0, mine + u" (A film (movie 550)): being sent by another program"_s));
            QCOMPARE(storedShows(*studio.manager), 0);
        }
        run = tool({ u"outbox"_s, u"--retry"_s });
        QVERIFY(run.says(0, u"uploaded "_s + mine));
        QVERIFY(run.says(0, others + u" (A film (movie 550)): not sent, waiting for its author"_s));
        QCOMPARE(storedShows(*studio.manager), 1);

        QCOMPARE(tool({ u"outbox"_s, u"--send"_s, others }).status, 1);
        QVERIFY(tool({ u"outbox"_s, u"--send"_s, unknown }).says(0));
        QCOMPARE(storedShows(*studio.manager), 2);
        QCOMPARE(outbox.entries().size(), 1);
        QCOMPARE(outbox.entries().first().id, others);
        {
            const auto taken = outbox.take(others);
            QVERIFY2(taken, qPrintable(taken.error.message));
            (*taken.value)->recordFailure(u"too many requests"_s, 429);
        }
        QVERIFY(tool({ u"outbox"_s }).says(0, u"last error (it is tried again): too many requests"_s));

        const auto refused = QCoro::waitFor(studio.uploads->uploadLightShow(brokenRecording(), movieItem(550)));
        QCOMPARE(refused.error->status, 400);
        const Outbox::Entry entry = *outbox.entry(refused.outboxId);
        QCOMPARE(entry.lastStatus, 400);
        QVERIFY(entry.refusedForGood());
        QVERIFY2(entry.authorText().startsWith(u"tool@example.org (account "_s), qPrintable(entry.authorText()));
        QVERIFY(tool({ u"outbox"_s }).says(0, u"refused for good: the service refused the request with status 400"_s));
        // Left alone, and said so.
        QVERIFY(
            tool({ u"outbox"_s, u"--retry"_s }).says(0, u"left: 1 recording(s) the service refused for good before"_s));
        QCOMPARE(outbox.entry(entry.id)->attempts, entry.attempts);
        const QString kept = tool.home.filePath(u"kept.pb"_s);
        QVERIFY(tool({ u"outbox"_s, u"--save"_s, entry.id, kept }).says(0));
        QFile keptFile(kept);
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        QCOMPARE(keptFile.readAll(), brokenRecording());
        for (const QByteArray& answer : { QByteArray("n\n"), QByteArray("\n"), QByteArray("y\n") }) {
            run = tool({ u"outbox"_s, u"--remove"_s, entry.id }, answer);
            QVERIFY2(run.out.contains(entry.id + u" (A film (movie 550), saved "_s), qPrintable(run.out));
            QVERIFY2(run.out.contains(u"made under tool@example.org"_s), qPrintable(run.out));
            QCOMPARE(outbox.entry(entry.id).has_value(), answer != "y\n");
            QCOMPARE(run.status, answer == "y\n" ? 0 : 1);
        }
    }

    // Which refusals can never pass by themselves and which may pass later, with the boundaries.
    void permanentRefusals_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("permanent");
        QTest::addColumn<bool>("transient"); // may pass when tried again later
        for (const auto& [status, permanent, transient] :
            std::initializer_list<std::tuple<int, bool, bool>> { { 0, false, false }, { 399, false, false },
                { 400, true, false }, { 401, false, false }, { 403, false, false }, { 404, true, false },
                { 408, false, true }, { 413, true, false }, { 422, true, false }, { 429, false, true },
                { 499, true, false }, { 500, false, true }, { 503, false, true } })
            QTest::addRow("%d", status) << status << permanent << transient;
    }

    void permanentRefusals()
    {
        QFETCH(int, status);
        QFETCH(bool, permanent);
        QFETCH(bool, transient);
        const ServiceError refusal { Kind::BadServerResponse, status, {} };
        QCOMPARE(ServiceError::isPermanentStatus(status), permanent);
        QCOMPARE(refusal.isPermanent(), permanent);
        QCOMPARE(refusal.isTransient(), transient);
        const ServiceError unreachable { Kind::Transport, status, {} };
        QVERIFY(unreachable.isTransient() && !unreachable.isPermanent());
    }

    // How long a refusal's Retry-After asks to wait (-1: no usable answer), at 12:00:00 GMT.
    void retryAfter_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("seconds") << QByteArray(" 129 ") << qint64(129);
        QTest::newRow("zero seconds") << QByteArray("0") << qint64(0);
        QTest::newRow("nothing") << QByteArray("") << qint64(-1);
        QTest::newRow("negative seconds") << QByteArray("-5") << qint64(-1);
        QTest::newRow("too many digits") << QByteArray("99999999999999999999") << qint64(-1);
        QTest::newRow("date ahead") << QByteArray("Tue, 08 Dec 2026 12:00:30 GMT") << qint64(30);
        QTest::newRow("date now") << QByteArray("Tue, 08 Dec 2026 12:00:00 GMT") << qint64(0);
        QTest::newRow("date a second past") << QByteArray("Tue, 08 Dec 2026 11:59:59 GMT") << qint64(0);
        QTest::newRow("date a year past") << QByteArray("Mon, 08 Dec 2025 12:00:00 GMT") << qint64(0);
        QTest::newRow("date not in GMT") << QByteArray("Tue, 08 Dec 2026 12:00:30 CET") << qint64(-1);
    }

    void retryAfter()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, seconds);
        const QDateTime noon(QDate(2026, 12, 8), QTime(12, 0), QTimeZone::utc());
        const auto wait = ServiceError::parseRetryAfter(value, noon);
        QCOMPARE(wait ? qint64(wait->count()) : qint64(-1), seconds);
    }

    // Ids that are not the outbox's own reach no file; a description that does
    // not decode is skipped, not fatal.
    void outboxIds_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("parent folder") << "../corvex.ini";
        QTest::newRow("absolute path") << "/etc/passwd";
        QTest::newRow("empty") << "";
        QTest::newRow("almost an id") << "20261206T185648671Z-1c30ec7";
        QTest::newRow("an id and more") << "20261206T185648671Z-1c30ec7a.old";
    }

    void outboxIds()
    {
        QFETCH(QString, id);
        QTemporaryDir dir;
        Outbox outbox(dir.filePath(u"outbox"_s));
        const QString added = addEntry(outbox, u"a1"_s, 1);
        QCOMPARE(outbox.entry(added)->item, movieItem(1));
        // Not even where a recording lies that the id leads to.
        QFile(dir.filePath(u"outbox/"_s + id + u".pb"_s)).open(QIODevice::WriteOnly);
        QCOMPARE(outbox.recording(id), std::nullopt);
        QVERIFY(outbox.saveRecording(id, dir.filePath(u"kept.pb"_s)).error.startsWith(u"no recording"_s));
        QCOMPARE(outbox.entry(id), std::nullopt);
        const auto refused = outbox.take(id);
        QVERIFY(!refused);
        QCOMPARE(refused.error.status, Outbox::TakeStatus::Gone);
        QFile broken(dir.filePath(u"outbox/20261206T185648671Z-0000000a.json"_s));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("{\"item\":{\"movie\":{\"id\":\"x\"}}}");
        broken.close();
        QFile(dir.filePath(u"outbox/20261206T185648671Z-0000000a.pb"_s)).open(QIODevice::WriteOnly);
        const QString lost = addEntry(outbox, u"a1"_s, 2); // its recording is gone
        QVERIFY(QFile::remove(dir.filePath(u"outbox/"_s + lost + u".pb"_s)));
        QCOMPARE(outbox.entries().size(), 1);
        const auto took = outbox.take(added);
        QVERIFY(took);
        QVERIFY((*took.value)->remove());
        QVERIFY(outbox.entries().isEmpty());
    }

    // A description damaged on disk is never read as an entry to send: the
    // entry is unreadable, and can still be removed.
    void damagedDescriptions_data()
    {
        QTest::addColumn<QByteArray>("description");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << QByteArray("{\"item\": {\"movie\": {\"id\": 550}}, \"account_id\": \"a");
        QTest::newRow("no item") << QByteArray(R"({"account_id": "a1"})");
        QTest::newRow("an episode without its number")
            << QByteArray(R"({"item": {"tvShow": {"id": 1}, "season": {"season_number": 1}}})");
        QTest::newRow("a film that is a number") << QByteArray(R"({"item": {"movie": 5}})");
    }

    void damagedDescriptions()
    {
        QFETCH(QByteArray, description);
        QTemporaryDir dir;
        Outbox outbox(dir.filePath(u"outbox"_s));
        const QString id = addEntry(outbox, u"a1"_s);
        QVERIFY(corvex::settings::private_file::write(outbox.folder() + u'/' + id + u".json"_s, description));
        QCOMPARE(outbox.entry(id), std::nullopt);
        QVERIFY(outbox.entries().isEmpty());
        QCOMPARE(outbox.unreadable(), QStringList { id });
        QVERIFY(outbox.remove(id));
        QCOMPARE(QDir(outbox.folder()).entryList(QDir::Files), QStringList());
    }

    // Why an entry could not be taken, or its recording read, decides what the retry reports; nothing is sent.
    void retryOfAnEntryThatCannotBeTaken_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<Delivery>("delivery");
        QTest::addColumn<QString>("detail");
        QTest::newRow("another sender holds it") << "held" << Delivery::Busy << QString();
        QTest::newRow("sent and removed meanwhile") << "removed" << Delivery::Gone << QString();
        QTest::newRow("a file where the outbox folder goes") << "file" << Delivery::Failed << u"is not a folder"_s;
        QTest::newRow("another program holds the outbox") << "locked" << Delivery::Failed << u"stays locked"_s;
        QTest::newRow("its recording cannot be read") << "unreadable" << Delivery::Failed << u"cannot be read"_s;
    }

    void retryOfAnEntryThatCannotBeTaken()
    {
        QFETCH(QString, obstacle);
        QFETCH(Delivery, delivery);
        QFETCH(QString, detail);
        FakeService fake;
        Outbox& outbox = *fake.studio.outbox;
        const QString id = addEntry(outbox, u"u1"_s);
        const std::optional<Outbox::Entry> entry = outbox.entry(id);
        QVERIFY(entry);
        std::unique_ptr<Outbox::Taken> held;
        QLockFile folderLock(outbox.folder() + u"/outbox.lock"_s);
        if (obstacle == u"file"_s) {
            QVERIFY(QDir(outbox.folder()).removeRecursively());
            QFile blocker(outbox.folder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else if (obstacle == u"locked"_s) {
            QVERIFY(folderLock.lock());
        } else if (obstacle == u"unreadable"_s) {
            const QString recording = outbox.folder() + u'/' + id + u".pb"_s;
            QVERIFY(QFile::remove(recording) && QDir().mkdir(recording));
        } else {
            auto took = outbox.take(id);
            QVERIFY2(took, qPrintable(took.error.message));
            held = std::move(*took.value);
            if (obstacle == u"removed"_s) {
                QVERIFY(held->remove());
                held.reset();
            }
        }
        const auto result = QCoro::waitFor(fake.studio.uploads->retry(UploadDelivery::Parcel { *entry, {} }));
        QCOMPARE(result.delivery, delivery);
        QCOMPARE(result.error.has_value(), !detail.isEmpty());
        if (result.error)
            QVERIFY2(result.error->detail.contains(detail), qPrintable(result.error->detail));
        QCOMPARE(fake.server.count("POST"), 0);
        if (obstacle == u"unreadable"_s)
            QCOMPARE(outbox.entry(id)->attempts, 1);
        if (held) // nor removed while it is being sent
            QCOMPARE(outbox.remove(id).error.status, Outbox::TakeStatus::Busy);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
