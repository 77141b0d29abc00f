// The studio's library, settings and catalogue, offscreen, against the real reference service (or a server
// that misbehaves on purpose); everything is found as the author finds it, by its text on screen.

#include "studio_fixture.h"

#include "../support/fault_server.h"

#include "app/backoff.h"
#include "app/catalogue_views.h"
#include "app/image_cache.h"
#include "app/item_section.h"
#include "app/light_show_table_model.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/movie_details_view.h"
#include "app/movies_search_view.h"
#include "app/recording_controls.h"
#include "app/recording_windows.h"
#include "app/single_instance.h"
#include "app/studio_icons.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"

#include "analysis/proto/video_analysis.pb.h"
#include "capture/video_file_source.h"

#include "platform/webauth/session.h"

#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequenceEdit>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTcpServer>
#include <QToolButton>

using namespace corvex;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using namespace corvex::testing;

namespace {

const QByteArray kTwoShows
    = R"({"results":[{"id":"a","tmdb_id":1,"season":0,"episode":0,"type":"movie","author_id":"u","created_at":"2026-01-01T10:00:00Z","title":"One"},)"
      R"({"id":"b","tmdb_id":2,"season":0,"episode":0,"type":"movie","author_id":"u","created_at":"2026-01-02T10:00:00Z","title":"Two"}]})";

int countLines(const QByteArray& log, const QByteArray& line)
{
    int count = 0;
    for (const QByteArray& entry : log.split('\n'))
        count += entry.startsWith(line) ? 1 : 0;
    return count;
}

bool signedOutShown(QWidget* window)
{
    return shown<QPushButton>(window, u"Sign In"_s) != nullptr;
}

QTableView* libraryTable(QWidget* window)
{
    return window->findChild<QTableView*>();
}

// The library shows a finished load: no progress bar, and the table when signed in.
bool libraryLoaded(QWidget* window)
{
    const QProgressBar* progress = window->findChild<QProgressBar*>();
    return progress && !progress->isVisibleTo(window);
}

void clickAt(QWidget* widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(widget->width() / 2, widget->height() / 2));
}

// The clickable row that holds the label `text`.
QWidget* rowWithLabel(QWidget* root, const QString& text)
{
    QLabel* label = shown<QLabel>(root, text);
    return label ? label->parentWidget() : nullptr;
}

void searchFor(MoviesSearchView* view, const QString& text)
{
    view->searchField()->setText(text);
    QTest::keyClick(view->searchField(), Qt::Key_Return);
}

QList<QPushButton*> createButtons(QWidget* root)
{
    QList<QPushButton*> buttons;
    for (QPushButton* button : root->findChildren<QPushButton*>())
        if (button->text() == QLatin1StringView("Create light show") && button->isVisibleTo(root))
            buttons.append(button);
    return buttons;
}

} // namespace

class TestLibrary final : public QObject {
    Q_OBJECT

    StudioService m_service;

    // A manager at `server` whose account request answers, signed in.
    std::unique_ptr<ServiceClient> fakeSignedIn(FaultServer& server)
    {
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u","email":"u@example.org"})" });
        auto manager = m_service.newManager(server.origin());
        return signIn(*manager, u"token-u"_s) ? std::move(manager) : nullptr;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_service.start()); }

    void cleanup()
    {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->isVisible() && window->inherits("QMessageBox"))
                window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // ---- What the rows and the recording panel say ----

    void tableCells_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<qint64>("tmdbId");
        QTest::addColumn<QString>("type");
        QTest::addColumn<qint64>("episode");
        QTest::addColumn<QString>("notedTitle");
        QTest::addColumn<QString>("notedEpisode");
        QTest::addColumn<QString>("titleText");
        QTest::addColumn<QString>("codeText");
        const auto row
            = [](const char* tag, const char* title, qint64 tmdbId, const char* type, qint64 episode,
                  const char* notedTitle, const char* notedEpisode, const char* titleText, const char* codeText) {
                  QTest::newRow(tag) << QString::fromUtf8(title) << tmdbId << QString::fromUtf8(type) << episode
                                     << QString::fromUtf8(notedTitle) << QString::fromUtf8(notedEpisode)
                                     << QString::fromUtf8(titleText) << QString::fromUtf8(codeText);
              };
        row("no title", "", 603, "movie", 0, "", "", "#603", "Movie");
        row("episode", "Cisco", 1, "tv", 5, "", "", "Cisco", "S01E05");
        row("three digits", "Long", 1, "tv", 123, "", "", "Long", "S01E123");
        row("TV in capitals is a movie", "Up", 2, "TV", 1, "", "", "Up", "Movie");
        row("code said once", "Cisco S01E05", 1, "tv", 5, "", "", "Cisco", "S01E05");
        row("another code stays", "Cisco S01E04", 1, "tv", 5, "", "", "Cisco S01E04", "S01E05");
        row("film the service does not know", "", 99999, "movie", 0, "Private", "", "Private", "Movie");
        row("the service's title first, whole", "Monster Movie", 5, "movie", 0, "Other", "", "Monster Movie", "Movie");
        row("episode name", "Cisco S01E05", 1, "tv", 5, "", "Pilot", "Cisco — Pilot", "S01E05");
    }

    void tableCells()
    {
        QFETCH(QString, title);
        QFETCH(QString, notedTitle);
        QFETCH(QString, notedEpisode);
        service::LightShow show;
        show.id = u"x"_s;
        show.title = title;
        QFETCH(qint64, tmdbId);
        show.tmdb_id = tmdbId;
        QFETCH(QString, type);
        show.type = type;
        show.season = 1;
        QFETCH(qint64, episode);
        show.episode = episode;
        const std::optional<LightShowNote> note = notedTitle.isEmpty() && notedEpisode.isEmpty()
            ? std::nullopt
            : std::optional(LightShowNote { notedTitle, notedEpisode, 0, 0 });
        QTEST(lightShowTitleText(show, note), "titleText");
        QTEST(lightShowSeasonEpisodeText(show), "codeText");
    }

    // What this computer notes of a recording: its frames, and its length from the first frame to
    // the last (the first is later than 0 when the sound began first); the next start reads it all back.
    void aNoteMeasuresFromTheFirstFrameAndIsKept()
    {
        VideoAnalysis record;
        for (const std::uint32_t time : { 150u, 300u, 450u })
            record.add_timestamps(time);
        const LightShowNote note
            = LightShowNote::describe(movieItem(1, u"Up"_s), QByteArray::fromStdString(record.SerializeAsString()));
        QCOMPARE(note, (LightShowNote { u"Up"_s, {}, 300, 3 }));
        const LightShowNote full { u"Title"_s, u"Episode"_s, 1, 2 };
        QVERIFY(LightShowNotes().remember(u"kept"_s, full));
        QCOMPARE(LightShowNotes().note(u"kept"_s), std::optional(full));
        // One that cannot be written (a folder stands where the file goes) is not said to be kept.
        const QTemporaryDir folder;
        QVERIFY(!LightShowNotes(folder.path()).remember(u"kept"_s, full));
    }

    void lengths_data()
    {
        QTest::addColumn<qint64>("hundredths");
        QTest::addColumn<QString>("clock"); // of the recording panel
        QTest::addColumn<QString>("film"); // a film's or a show's length, and time left, to the nearest second
        // clang-format off
        QTest::newRow("nothing") << qint64(0) << "00:00" << "0:00";
        QTest::newRow("under a second") << qint64(99) << "00:00" << "0:01";
        QTest::newRow("42 s") << qint64(4200) << "00:42" << "0:42";
        QTest::newRow("last second of the hour") << qint64(359999) << "59:59" << "1:00:00";
        QTest::newRow("an hour, less half a second") << qint64(359950) << "59:59" << "1:00:00";
        QTest::newRow("an hour") << qint64(360000) << "1:00:00" << "1:00:00";
        QTest::newRow("longer") << qint64(372300) << "1:02:03" << "1:02:03";
        // clang-format on
    }

    void lengths()
    {
        QFETCH(qint64, hundredths);
        QTEST(formatElapsed(hundredths * 10), "clock");
        QTEST(capture::filmClock(hundredths / 100.0), "film");
    }

    void itemText_data()
    {
        QTest::addColumn<std::optional<catalogue::TMDBItem>>("item");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::newRow("movie") << std::optional(movieItem(1, u"Nosferatu"_s)) << "Nosferatu" << QString();
        QTest::newRow("episode") << std::optional(episodeItem(2, u"Cisco"_s, 2, 5)) << "Cisco"
                                 << "Season 2 · Episode 5";
        catalogue::TMDBItem special = episodeItem(3, u"Flash"_s, 0, 1);
        special.episode->name = u"Behind the Scenes"_s;
        QTest::newRow("special") << std::optional(special) << "Flash"
                                 << "Specials · Episode 1: Behind the Scenes";
        catalogue::TMDBTVShow show;
        show.name = u"Flash"_s;
        QTest::newRow("show alone") << std::optional(catalogue::TMDBItem { {}, show, {}, {} }) << "Flash" << QString();
        QTest::newRow("movie without a title")
            << std::optional(catalogue::TMDBItem { catalogue::TMDBMovie {}, {}, {}, {} }) << QString() << QString();
        QTest::newRow("nothing") << std::optional<catalogue::TMDBItem>() << QString() << QString();
    }

    void itemText()
    {
        QFETCH(std::optional<catalogue::TMDBItem>, item);
        const CurrentItemText text = currentItemText(item);
        QTEST(text.title, "title");
        QTEST(text.detail, "detail");
    }

    void createdAtNamesATime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("msecs"); // -1: not a time
        QTest::addRow("utc") << "2026-01-02T10:00:00Z" << qint64(1767348000000);
        QTest::addRow("offset") << "2026-01-02T09:00:00-03:00" << qint64(1767355200000);
        QTest::addRow("fraction") << "2026-01-02T10:00:00.250Z" << qint64(1767348000250);
        QTest::addRow("spaces around") << " 2026-01-02T10:00:00Z\n" << qint64(1767348000000);
        QTest::addRow("mail style") << " Fri, 02 Jan 2026 10:00:00 +0000 " << qint64(1767348000000);
        QTest::addRow("garbage") << "yesterday" << qint64(-1);
        QTest::addRow("empty") << "" << qint64(-1);
    }

    void createdAtNamesATime()
    {
        QFETCH(QString, text);
        QFETCH(qint64, msecs);
        QCOMPARE(createdAtTime(text).value_or(-1), msecs);
    }

    // ---- Signed in, signed out ----

    // Whatever shows the library must not outlive the token it was shown for.
    void aMissingOrRefusedTokenSignsOut_data()
    {
        QTest::addColumn<QString>("act");
        QTest::addColumn<bool>("revoked"); // the service ended the token, which stays stored
        QTest::newRow("F5 after another program signed out") << "F5" << false;
        QTest::newRow("Sign Out after another program signed out") << "Sign Out" << false;
        QTest::newRow("a new upload after another program signed out") << "uploaded" << false;
        QTest::newRow("back to the window after another program signed out") << "activate" << false;
        QTest::newRow("F5 after the service ended the token") << "F5" << true;
    }

    void aMissingOrRefusedTokenSignsOut()
    {
        QFETCH(QString, act);
        QFETCH(bool, revoked);
        auto manager = m_service.signedIn(u"gone@example.org"_s);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        QVERIFY(waitForActive(window));
        QTRY_VERIFY(libraryLoaded(window));
        QVERIFY(!signedOutShown(window));
        QVERIFY(shown<QLabel>(window, u"Signed in as gone@example.org"_s));

        QWidget elsewhere;
        if (revoked) {
            // `corvex logout` run on another machine, say: the service forgets the token.
            auto other = m_service.newManager();
            other->session.setAccessToken(manager->session.accessToken());
            QVERIFY(!QCoro::waitFor(other->session.signOut()).has_value());
        } else {
            // `corvex logout` here takes the token out of the shared settings.
            QVERIFY(settings::Store(manager->session.settingsPath()).setValue(u"access_token"_s, std::nullopt));
        }
        if (act == QLatin1StringView("F5")) {
            QTest::keyClick(window, Qt::Key_F5);
        } else if (act == QLatin1StringView("uploaded")) {
            Q_EMIT manager->uploads.lightShowsChanged();
        } else if (act == QLatin1StringView("Sign Out")) {
            QVERIFY(shown<QToolButton>(window, u"Sign Out"_s));
            clickAt(shown<QToolButton>(window, u"Sign Out"_s));
            QTRY_VERIFY(shownWindow<QMessageBox>());
            buttonWithText(shownWindow<QMessageBox>(), u"Sign Out"_s)->click();
        } else {
            elsewhere.show();
            QVERIFY(activate(&elsewhere));
            QVERIFY(activate(window));
        }
        QTRY_VERIFY(signedOutShown(window));
        QVERIFY(menuAction(window, u"Sign In…"_s) && menuAction(window, u"Sign In…"_s)->isVisible());
        QVERIFY(!menuAction(window, u"Sign Out…"_s)->isVisible());
        for (const QString& untrue : { u"Error"_s, u"No light shows yet"_s, u"Trying again"_s, u"Signed in"_s })
            QVERIFY2(!labelStartingWith(window, untrue), qPrintable(untrue));
        QCOMPARE(labelStartingWith(window, u"You were signed out"_s) != nullptr, revoked);
    }

    // A sign-out the service cannot hear of says that the sign-in stays valid there.
    void aSignOutTheServiceMissesSaysSo()
    {
        FaultServer server;
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, kTwoShows });
        server.setAnswer("DELETE", "/auth/token", { 0, {}, FaultServer::Action::Drop });
        auto manager = fakeSignedIn(server);
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        QTRY_COMPARE(libraryTable(window)->model()->rowCount(), 2);
        menuAction(window, u"Sign Out…"_s)->trigger();
        QTRY_VERIFY(shownWindow<QMessageBox>());
        buttonWithText(shownWindow<QMessageBox>(), u"Sign Out"_s)->click();
        QTRY_VERIFY(labelStartingWith(window, u"Signed out here, but the service could not end the sign-in"_s));
        QCOMPARE(manager->session.accessToken(), std::nullopt);
    }

    // Late answers about the author before, who signed out for someone else meanwhile, show nowhere.
    void lateAnswersAboutTheAuthorBeforeShowNowhere()
    {
        FaultServer server;
        const auto answer = [&server](const QByteArray& email, const QByteArray& shows) {
            server.setAnswer("GET", "/auth/account", { 200, "{\"id\":\"" + email + "\",\"email\":\"" + email + "\"}" });
            server.setAnswer("GET", "/tvapi/me/lightshows", { 200, shows });
        };
        server.setAnswer("GET", "/auth/account", { 0, {}, FaultServer::Action::Hold });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 0, {}, FaultServer::Action::Hold });
        auto manager = m_service.newManager(server.origin());
        manager->session.setAccessToken(u"token-a"_s);
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        QTRY_COMPARE(server.held(), 2);
        QCoro::waitFor(manager->session.signOut());
        answer("b@example.org", R"({"results":[]})");
        manager->session.setAccessToken(u"token-b"_s);
        QTRY_VERIFY(shown<QLabel>(window, u"Signed in as b@example.org"_s));
        QTRY_VERIFY(libraryLoaded(window));
        answer("a@example.org", kTwoShows);
        server.releaseHeld();
        QTest::qWait(500); // the late answers arrive
        QCOMPARE(manager->session.account()->email, u"b@example.org"_s);
        QCOMPARE(libraryTable(window)->model()->rowCount(), 0);
        QVERIFY(shown<QLabel>(window, u"Signed in as b@example.org"_s));
    }

    // With no browser, the address is shown to open by hand; the answer still comes back by a second launch.
    void signInThroughTheBrowser()
    {
        auto manager = m_service.newManager();
        QList<QUrl> opened;
        StudioApp studio(manager->uploads, RecordingModels::process(), {}, [&opened](const QUrl& url) {
            opened.append(url);
            return false;
        });
        MainWindow* window = studio.newMainWindow();
        QPushButton* signInButton = shown<QPushButton>(window, u"Sign In"_s);
        QVERIFY(signInButton && menuAction(window, u"Sign In…"_s));
        menuAction(window, u"Sign In…"_s)->trigger();
        QTRY_VERIFY(studio.environment().signInSession.isActive());
        const QString expected = opened.value(0).toString();
        QVERIFY2(expected.startsWith(m_service.origin() + "/auth/signin?redirectUri=corvexapp://callback&state="),
            qPrintable(expected));
        QVERIFY(!signInButton->isEnabled());
        QDialog* dialog = shownWindow<QDialog>(u"Sign In"_s);
        QTRY_VERIFY(labelStartingWith(dialog, u"No web browser could be opened."_s));
        QCOMPARE(dialog->findChild<QLineEdit*>()->text(), expected);
        shown<QPushButton>(dialog, u"Copy"_s)->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), expected);
        // Closing the window cancels, and changes nothing.
        QTest::keyClick(dialog, Qt::Key_Escape);
        QTRY_VERIFY(signInButton->isEnabled());
        QVERIFY(signedOutShown(window) && !manager->session.accessToken());
        QVERIFY(!labelStartingWith(window, u"Cannot sign in"_s));

        signInButton->click();
        QTRY_COMPARE(opened.size(), 2);
        const QUrl callback = QCoro::waitFor(submitSignInForm(m_service.origin(), u"browser@example.org"_s,
            u"correct horse"_s, QUrlQuery(opened.value(1)).queryItemValue(u"state"_s)));
        QProcess launch;
        launchStudio(launch, { QString::fromUtf8(callback.toEncoded()) });
        QTRY_VERIFY_WITH_TIMEOUT(!signedOutShown(window), 20000);
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);
        QTRY_VERIFY(shown<QLabel>(window, u"Signed in as browser@example.org"_s));

        // Anything but a corvexapp: URL is refused.
        QProcess wrong;
        launchStudio(wrong, { u"https://example.org/"_s });
        QVERIFY(finished(wrong));
        QCOMPARE(wrong.exitCode(), 2);
        QVERIFY(wrong.readAllStandardError().contains("not a corvexapp: URL"));
    }

    // A service down or failing its sign-in page is said in the studio, and no browser opens on an error page.
    void signInToAServiceThatIsDown_data()
    {
        QTest::addColumn<int>("status"); // of the sign-in page; 0: nothing listens
        QTest::addColumn<QString>("said");
        QTest::newRow("down") << 0 << u"The light-show service at %1 cannot be reached"_s;
        QTest::newRow("status 500") << 500 << u"The light-show service at %1 has a problem on its side (status 500)"_s;
        QTest::newRow("status 404") << 404 << u"%1 answered with status 404 instead of its sign-in page"_s;
    }

    void signInToAServiceThatIsDown()
    {
        QFETCH(int, status);
        QFETCH(QString, said);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        QString origin = u"http://127.0.0.1:%1"_s.arg(closed.serverPort());
        closed.close();
        FaultServer server;
        server.setAnswer("GET", "/auth/signin", { status, "{}" });
        if (status != 0)
            origin = server.origin();
        auto manager = m_service.newManager(origin);
        int opened = 0;
        StudioApp studio(manager->uploads, RecordingModels::process(), {}, [&opened](const QUrl&) {
            ++opened;
            return true;
        });
        MainWindow* window = studio.newMainWindow();
        QPushButton* signInButton = shown<QPushButton>(window, u"Sign In"_s);
        signInButton->click();
        QTRY_VERIFY(labelStartingWith(window, said.arg(origin)));
        QVERIFY(signInButton->isEnabled());
        QCOMPARE(opened, 0);
        QVERIFY(!studio.environment().signInSession.isActive());
    }

    void aFailedHandOverShowsInTheStudio()
    {
        auto manager = m_service.newManager();
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        SingleInstance first(u"corvex-studio"_s);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);
        QObject::connect(&first, &SingleInstance::messageReceived, &studio, &StudioApp::handleLaunchMessage);

        // No sign-in waits: the browser's answer comes too late.
        QProcess answer;
        launchStudio(answer, { u"corvexapp://callback?token=late1234"_s });
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 20000);
        const QByteArray message = messages.first().first().toByteArray();
        QVERIFY2(message.startsWith("signin-failed "), message.constData());
        QVERIFY(!message.contains("late1234"));
        QVERIFY(finished(answer));
        QCOMPARE(answer.exitCode(), 1);
        QTRY_VERIFY(labelStartingWith(window, u"The browser's sign-in answer did not reach the studio"_s));
        QVERIFY(!labelStartingWith(window, u"The browser"_s)->text().contains(u"late1234"_s));
    }

    // ---- The list, when the service fails ----

    void theListSurvivesAServiceThatIsDown()
    {
        FaultServer server;
        server.setAnswer("GET", "/tvapi/me/lightshows", { 503, "<html>down</html>" });
        auto manager = fakeSignedIn(server);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        window->findChild<Backoff*>(u"libraryRetry"_s)->setDelays(3600000, 3600000);
        QVERIFY(waitForActive(window));
        // Nothing was ever loaded: the failure is said in red, and it is asked for again.
        QTRY_VERIFY(labelStartingWith(window, u"Error: "_s));
        QLabel* error = labelStartingWith(window, u"Error: "_s);
        QVERIFY(error->text().contains(u"status 503"_s));
        QVERIFY(wcagContrast(error->palette().color(QPalette::WindowText), Qt::black) >= 4.5);
        QVERIFY(labelStartingWith(window, u"Trying again in"_s));
        QVERIFY(!labelStartingWith(window, u"No light shows yet"_s));

        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, kTwoShows });
        QTest::keyClick(window, Qt::Key_F5);
        QTRY_COMPARE(libraryTable(window)->model()->rowCount(), 2);
        QTRY_VERIFY(!labelStartingWith(window, u"Error: "_s));
        const QTime loadedAt = QTime::currentTime();

        // Down again: the list stays, said to be old, with when it was loaded.
        server.setAnswer("GET", "/tvapi/me/lightshows", { 503, "{}" });
        QTest::keyClick(window, Qt::Key_F5);
        QTRY_VERIFY(labelStartingWith(window, u"Not up to date"_s));
        const QString stale = labelStartingWith(window, u"Not up to date"_s)->text();
        bool saysWhen = false;
        for (int second = -3; second <= 0; ++second)
            saysWhen = saysWhen || stale.contains(QLocale().toString(loadedAt.addSecs(second), QLocale::ShortFormat));
        QVERIFY2(saysWhen, qPrintable(stale));
        QCOMPARE(
            columnTexts(libraryTable(window), LightShowTableModel::TitleColumn), (QStringList { u"One"_s, u"Two"_s }));
        QVERIFY(!labelStartingWith(window, u"Error: "_s));

        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        QTest::keyClick(window, Qt::Key_F5);
        QTRY_VERIFY(labelStartingWith(window, u"No light shows yet — press Add"_s));
        QVERIFY(!labelStartingWith(window, u"Not up to date"_s));
        QVERIFY(!labelStartingWith(window, u"Trying again"_s));
    }

    void aFailedDeleteSaysSoAndKeepsTheSelection()
    {
        FaultServer server;
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, kTwoShows });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/a", { 500, "{}" });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/b", { 500, "{}" });
        auto manager = fakeSignedIn(server);
        {
            // What this computer noted when it uploaded them; of b, no frames (its recording did not read).
            LightShowNotes notes;
            QVERIFY(notes.remember(u"a"_s, { {}, {}, 100, 42 }) && notes.remember(u"b"_s, { {}, {}, 50, 0 }));
        }
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        QTableView* table = libraryTable(window);
        QTRY_COMPARE(table->model()->rowCount(), 2);
        QAction* remove = menuAction(window, u"Delete…"_s);
        QVERIFY(remove && !remove->isEnabled());
        table->selectRow(1);
        remove->trigger();
        QCOMPARE(shownWindow<QMessageBox>()->text(), u"Delete the light show “Two”?"_s);
        QCOMPARE(shownWindow<QMessageBox>()->textFormat(), Qt::PlainText); // a title is no markup
        QCOMPARE(shownWindow<QMessageBox>()->informativeText(), u"It is removed from the service for good."_s);
        QCOMPARE(shownWindow<QMessageBox>()->defaultButton(), buttonWithText(shownWindow<QMessageBox>(), u"Cancel"_s));
        shownWindow<QMessageBox>()->reject();
        table->selectAll();
        remove->trigger();
        QCOMPARE(shownWindow<QMessageBox>()->text(), u"Delete 2 light shows: “One” and “Two”?"_s);
        QCOMPARE(shownWindow<QMessageBox>()->informativeText(), u"They are removed from the service for good."_s);
        buttonWithText(shownWindow<QMessageBox>(), u"Delete"_s)->click();
        QVERIFY(!remove->isEnabled()); // not again while they are being deleted
        QTRY_VERIFY(labelStartingWith(window, u"2 of 2 light shows could not be deleted"_s));
        QVERIFY(labelStartingWith(window, u"2 of 2"_s)->toolTip().contains(u"500"_s));
        QCOMPARE(table->model()->rowCount(), 2);
        QCOMPARE(table->selectionModel()->selectedRows().size(), 2);
        QCOMPARE(columnTexts(table, LightShowTableModel::FramesColumn), (QStringList { u"42"_s, QString() }));
        QCOMPARE(columnTexts(table, LightShowTableModel::LengthColumn), (QStringList { u"0:01"_s, QString() }));
        QVERIFY(remove->isEnabled());
        // Signed out and in again, the rows come back unchosen: Delete waits for a new choice.
        manager->session.setAccessToken(std::nullopt);
        manager->session.setAccessToken(u"token-u"_s);
        QTRY_COMPARE(table->model()->rowCount(), 2);
        QVERIFY(!remove->isEnabled());
        table->selectAll();

        // The service answers again: the next try deletes and the message goes.
        server.setAnswer("DELETE", "/tvapi/me/lightshows/a", { 200, "{}" });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/b", { 200, "{}" });
        remove->trigger();
        buttonWithText(shownWindow<QMessageBox>(), u"Delete"_s)->click();
        QTRY_COMPARE(table->model()->rowCount(), 0);
        QVERIFY(!labelStartingWith(window, u"2 of 2"_s));
        QVERIFY(!remove->isEnabled());
        QVERIFY(!LightShowNotes().note(u"a"_s) && !LightShowNotes().note(u"b"_s));
    }

    // Two shows of one film tell apart, an unknown film keeps its title, an episode is named once, by its name.
    void rowsSayWhatWasRecorded()
    {
        auto manager = m_service.signedIn(u"rows@example.org"_s);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, RecordingModels::process());
        for (const int frames : { 30, 90 })
            QVERIFY(QCoro::waitFor(
                manager->uploads.uploadLightShow(smallRecording(frames), movieItem(99999, u"A Film of My Own"_s)))
                        .succeeded());
        catalogue::TMDBItem episode = episodeItem(91002, u"The Cisco Kid"_s, 1, 5);
        episode.episode->name = u"Rustling"_s;
        QVERIFY(QCoro::waitFor(manager->uploads.uploadLightShow(smallRecording(3), episode)).succeeded());

        MainWindow* window = studio.newMainWindow();
        QTableView* table = libraryTable(window);
        QTRY_COMPARE(table->model()->rowCount(), 3);
        table->sortByColumn(LightShowTableModel::FramesColumn, Qt::AscendingOrder);
        QCOMPARE(columnTexts(table, LightShowTableModel::TitleColumn),
            (QStringList { "The Cisco Kid — Rustling", "A Film of My Own", "A Film of My Own" }));
        QCOMPARE(
            columnTexts(table, LightShowTableModel::SeasonEpisodeColumn), (QStringList { "S01E05", "Movie", "Movie" }));
        QCOMPARE(columnTexts(table, LightShowTableModel::FramesColumn), (QStringList { "3", "30", "90" }));
        QCOMPARE(columnTexts(table, LightShowTableModel::LengthColumn), (QStringList { "0:00", "0:01", "0:03" }));
        QCOMPARE(table->model()->headerData(LightShowTableModel::LengthColumn, Qt::Horizontal).toString(), u"Length"_s);

        table->selectRow(0);
        menuAction(window, u"Delete…"_s)->trigger();
        QCOMPARE(shownWindow<QMessageBox>()->text(), u"Delete the light show “The Cisco Kid — Rustling S01E05”?"_s);
        buttonWithText(shownWindow<QMessageBox>(), u"Delete"_s)->click();
        QTRY_COMPARE(table->model()->rowCount(), 2);
    }

    void columnsSortOnAHeaderClickAndTheOrderStays()
    {
        FaultServer server;
        // Text order and time order differ: 09:00 at -03:00 is the latest moment; a text that is no time goes last.
        server.setAnswer("GET", "/tvapi/me/lightshows",
            { 200,
                R"({"results":[)"
                R"({"id":"late","tmdb_id":3,"season":2,"episode":1,"type":"tv","author_id":"u","created_at":"2026-01-02T09:00:00-03:00","title":"beta"},)"
                R"({"id":"early","tmdb_id":1,"season":0,"episode":0,"type":"movie","author_id":"u","created_at":"2025-12-31T23:00:00Z","title":"Gamma"},)"
                R"({"id":"middle","tmdb_id":2,"season":1,"episode":7,"type":"tv","author_id":"u","created_at":"2026-01-02T10:00:00Z","title":"Alpha"},)"
                R"({"id":"undated","tmdb_id":4,"season":3,"episode":1,"type":"tv","author_id":"u","created_at":"0 yesterday","title":"Delta"}]})" });
        auto manager = fakeSignedIn(server);
        auto open = [](StudioApp& studio) {
            MainWindow* window = studio.newMainWindow();
            static_cast<void>(
                QTest::qWaitFor([window] { return libraryTable(window)->model()->rowCount() == 4; }, 5000));
            return window;
        };
        {
            StudioApp studio(manager->uploads, RecordingModels::process());
            MainWindow* window = open(studio);
            QTableView* table = libraryTable(window);
            // As received until a header is clicked.
            QCOMPARE(columnTexts(table, LightShowTableModel::TitleColumn),
                (QStringList { "beta", "Gamma", "Alpha", "Delta" }));
            QHeaderView* header = table->horizontalHeader();
            auto click = [header](int section) {
                QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2));
            };
            click(LightShowTableModel::CreatedColumn);
            QCOMPARE(columnTexts(table, LightShowTableModel::CreatedColumn),
                (QStringList {
                    "2025-12-31T23:00:00Z", "2026-01-02T10:00:00Z", "2026-01-02T09:00:00-03:00", "0 yesterday" }));
            click(LightShowTableModel::SeasonEpisodeColumn);
            QCOMPARE(columnTexts(table, LightShowTableModel::SeasonEpisodeColumn),
                (QStringList { "Movie", "S01E07", "S02E01", "S03E01" }));
            click(LightShowTableModel::TitleColumn);
            click(LightShowTableModel::TitleColumn);
            QCOMPARE(columnTexts(table, LightShowTableModel::TitleColumn),
                (QStringList { "Gamma", "Delta", "beta", "Alpha" }));
            // The selection follows the rows, not their places.
            table->selectRow(2);
            menuAction(window, u"Delete…"_s)->trigger();
            QCOMPARE(shownWindow<QMessageBox>()->text(), u"Delete the light show “beta S02E01”?"_s);
            shownWindow<QMessageBox>()->reject();
            // Three are named all, more than three by the first three, in the order shown.
            table->selectionModel()->select(QItemSelection(table->model()->index(0, 0), table->model()->index(2, 0)),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            menuAction(window, u"Delete…"_s)->trigger();
            QCOMPARE(shownWindow<QMessageBox>()->text(),
                u"Delete 3 light shows: “Gamma”, “Delta S03E01” and “beta S02E01”?"_s);
            shownWindow<QMessageBox>()->reject();
            table->selectAll();
            menuAction(window, u"Delete…"_s)->trigger();
            QCOMPARE(shownWindow<QMessageBox>()->text(),
                u"Delete 4 light shows: “Gamma”, “Delta S03E01”, “beta S02E01” and 1 more?"_s);
            shownWindow<QMessageBox>()->reject();
            window->close();
        }
        // The next start shows the order the author chose.
        StudioApp studio(manager->uploads, RecordingModels::process());
        QCOMPARE(columnTexts(libraryTable(open(studio)), LightShowTableModel::TitleColumn),
            (QStringList { "Gamma", "Delta", "beta", "Alpha" }));
    }

    // ---- Menus and the keyboard ----

    void theKeyboardReachesEverything()
    {
        auto manager = m_service.signedIn(u"keys@example.org"_s);
        QVERIFY(manager);
        for (const qint64 film : { 90001, 90002 })
            QVERIFY(uploadFor(*manager, movieItem(film, {})));
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        window->resize(400, 300);
        // 960 × 724 at least, as far as the screen allows (this one is 800 points wide): it fits, frame and all.
        const QSize free = window->screen()->availableSize() - (window->frameGeometry().size() - window->size());
        QCOMPARE(window->size(), QSize(960, 724).boundedTo(free));
        QVERIFY(waitForActive(window));
        QTRY_COMPARE(libraryTable(window)->model()->rowCount(), 2);
        QStringList menus;
        for (QAction* action : window->menuBar()->actions())
            menus << action->text().remove(QLatin1Char('&'));
        QCOMPARE(menus, (QStringList { "File", "Help" }));
        QVERIFY(!menuAction(window, u"New Window"_s));
        QSet<QKeySequence> keys;
        for (QMenu* menu : window->findChildren<QMenu*>())
            for (QAction* action : menu->actions())
                for (const QKeySequence& key : action->shortcuts())
                    QVERIFY2(!keys.contains(key) && (keys.insert(key), true), qPrintable(key.toString()));
        for (const QString& name : QStringList { "Add Light Show…", "Delete…", "Refresh", "Settings…", "Sign Out…",
                 "Close Window", "Quit", "Corvex Studio Help" }) {
            QVERIFY2(menuAction(window, name), qPrintable(name));
            QVERIFY2(!menuAction(window, name)->shortcuts().isEmpty(), qPrintable(name));
        }

        // Tab leaves the table (not from cell to cell) for the toolbar.
        libraryTable(window)->setFocus();
        bool reached = false;
        for (int i = 0; i < 8 && !reached; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            auto* button = qobject_cast<QToolButton*>(QApplication::focusWidget());
            reached = button && button->text() == QLatin1StringView("Add");
        }
        QVERIFY(reached);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_VERIFY(shownWindow<CatalogueWindow>());
        QVERIFY(waitForActive(shownWindow<CatalogueWindow>()));
        QTest::keySequence(shownWindow<CatalogueWindow>(), QKeySequence::Close);
        QTRY_VERIFY(!shownWindow<CatalogueWindow>());

        QVERIFY(activate(window));
        QTest::keyClick(window, Qt::Key_F1);
        QTRY_VERIFY(shownWindow<QMessageBox>(u"Corvex Studio Help"_s));
        const QString help = shownWindow<QMessageBox>()->text(); // each key beside what it does, in both windows
        for (const char* key : { "Ctrl+N</td><td>Add Light Show", "Ctrl+Shift+L</td>", "Ctrl+R</td><td>Start or stop" })
            QVERIFY2(help.contains(QLatin1StringView(key)), qPrintable(help));
        shownWindow<QMessageBox>()->close();
        menuAction(window, u"About Corvex Studio"_s)->trigger();
        QVERIFY(shownWindow<QMessageBox>()->text().contains(QApplication::applicationVersion()));
        shownWindow<QMessageBox>()->close();

        // Ctrl+N is a new light show, not a second library.
        QVERIFY(activate(window));
        QTest::keySequence(window, QKeySequence(Qt::CTRL | Qt::Key_N));
        QTRY_VERIFY(shownWindow<CatalogueWindow>());
        QCOMPARE(studio.mainWindows().size(), 1);
        QVERIFY(waitForActive(shownWindow<CatalogueWindow>()));
        QTest::keyClick(shownWindow<CatalogueWindow>(), Qt::Key_Escape);
        QTRY_VERIFY(!shownWindow<CatalogueWindow>());

        // Return on the sign-out question keeps the author signed in.
        QVERIFY(activate(window));
        QTest::keySequence(window, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
        QTRY_VERIFY(shownWindow<QMessageBox>());
        QCOMPARE(shownWindow<QMessageBox>()->text(), u"Sign out of keys@example.org?"_s);
        QTest::keyClick(shownWindow<QMessageBox>(), Qt::Key_Return);
        QVERIFY(manager->session.accessToken().has_value());

        QPointer<MainWindow> closing(window);
        QVERIFY(activate(window));
        QTest::keySequence(window, QKeySequence(Qt::CTRL | Qt::Key_Q));
        QTRY_VERIFY(!closing);
    }

    void createALightShowForAMovieByKeyboard()
    {
        auto manager = m_service.newManager();
        StudioApp studio(manager->uploads, RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        QVERIFY(waitForActive(window));
        QPointer<CatalogueWindow> catalogueWindow(window);
        QCOMPARE(window->windowTitle(), u"Add Light Show"_s);
        MoviesSearchView* search = window->searchView();
        QVERIFY(search->searchField()->hasFocus());

        // The arrows go from the field down the results and back up.
        searchFor(search, u"the"_s);
        QTRY_VERIFY(search->results().size() >= 2 && !search->isLoading());
        const std::pair<Qt::Key, int> steps[] = { { Qt::Key_Down, 0 }, { Qt::Key_Down, 1 }, { Qt::Key_Up, 0 } };
        for (const auto& [key, row] : steps) {
            QTest::keyClick(QApplication::focusWidget(), key);
            QTRY_VERIFY(search->resultRows().value(row) && search->resultRows().value(row)->hasFocus());
        }
        // Space on a result chooses it, as a click does.
        QTest::keyClick(search->resultRows().value(1), Qt::Key_Space);
        QTRY_VERIFY(search->resultRows().value(1) && search->resultRows().value(1)->hasFocus());

        // Typing alone does not search.
        search->searchField()->clear();
        search->searchField()->setFocus();
        const QByteArray before = m_service.log();
        QTest::keyClicks(search->searchField(), u"Night of"_s);
        QTest::qWait(200);
        QCOMPARE(countLines(m_service.log().mid(before.size()), "GET /3/search/multi"), 0);
        QTest::keyClick(search->searchField(), Qt::Key_Return);
        QTRY_VERIFY(search->results().size() == 1 && !search->isLoading());
        QTest::keyClick(search->searchField(), Qt::Key_Down);
        QTRY_VERIFY(search->selectedMovie().has_value());
        QCOMPARE(search->selectedMovie()->title, u"Night of the Living Dead"_s);
        // Down on the last result stays there.
        QTRY_VERIFY(search->resultRows().value(0) && search->resultRows().value(0)->hasFocus());
        QTest::keyClick(search->resultRows().value(0), Qt::Key_Down);
        QTest::qWait(50);
        QCOMPARE(search->selectedMovie()->title, u"Night of the Living Dead"_s);
        QVERIFY(search->resultRows().value(0)->hasFocus());

        // Tab goes only where something can be done, and reaches the film's button.
        QPushButton* create = nullptr;
        for (int i = 0; i < 8 && !create; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            QVERIFY2(focus->isVisible() && !qobject_cast<QAbstractScrollArea*>(focus)
                    && (qobject_cast<QLineEdit*>(focus) || qobject_cast<QAbstractButton*>(focus)
                        || !focus->accessibleName().isEmpty()),
                focus->metaObject()->className());
            if (auto* button = qobject_cast<QPushButton*>(focus); button && button->text() == u"Create light show"_s)
                create = button;
        }
        QVERIFY(create);
        QTest::keyClick(create, Qt::Key_Return);
        QCOMPARE(*currentItem(studio), catalogue::TMDBItem::forMovie(*search->selectedMovie()));
        RecordingWindow* recording = studio.environment().recordingWindows.current();
        QVERIFY(recording);
        QCOMPARE(recording->windowTitle(), u"Recording"_s);
        QTRY_VERIFY(!catalogueWindow); // the catalogue window was the active one: it closed
        recording->close();
    }

    void createALightShowForAnEpisodeFetchesEpisodesOnce()
    {
        auto manager = m_service.newManager();
        StudioApp studio(manager->uploads, RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        QVERIFY(waitForActive(window));
        MoviesSearchView* search = window->searchView();
        searchFor(search, u"Cisco"_s);
        QTRY_COMPARE(search->resultRows().size(), 1);
        QTest::keyClick(search->searchField(), Qt::Key_Down);
        TVShowSeasonsView* seasons = search->seasonsView();
        QTRY_VERIFY(rowWithLabel(seasons, u"Season 2"_s));

        const QByteArray before = m_service.log();
        // Return opens a season, and the keyboard stays on it.
        rowWithLabel(seasons, u"Season 2"_s)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_COMPARE(seasons->expandedSeason(), std::optional<qint64>(2));
        QCOMPARE(QApplication::focusWidget()->accessibleName(), u"season 2"_s);
        for (const QString& season : QStringList { "Season 1", "Season 1", "Season 1", "Season 2", "Season 1" }) {
            QWidget* row = rowWithLabel(seasons, season);
            QVERIFY(row);
            clickAt(row);
            QTest::qWait(50);
            QTRY_VERIFY(!seasons->findChild<QProgressBar*>() || !seasons->findChild<QProgressBar*>()->isVisible());
        }
        QTRY_COMPARE(createButtons(seasons).size(), 5);
        QVERIFY(shown<QLabel>(seasons, u"S01E05"_s));
        const QByteArray log = m_service.log().mid(before.size());
        QCOMPARE(countLines(log, "GET /3/tv/91002/season/1 "), 1);
        QCOMPARE(countLines(log, "GET /3/tv/91002/season/2 "), 1);

        // Tab reaches the episodes' buttons and nothing without a use.
        QWidget* focus = createButtons(seasons).first();
        focus->setFocus();
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            focus = QApplication::focusWidget();
            QVERIFY2(qobject_cast<QAbstractButton*>(focus) || qobject_cast<QLineEdit*>(focus)
                    || !focus->accessibleName().isEmpty(),
                focus->metaObject()->className());
        }
        createButtons(seasons).last()->click();
        QCOMPARE(*currentItem(studio),
            catalogue::TMDBItem::forEpisode(
                *seasons->tvShow(), seasons->seasons().first(), seasons->episodesBySeason().value(1).last()));
        studio.environment().recordingWindows.current()->close();
    }

    // ---- The catalogue, when it fails ----

    void catalogueFailuresSayWhatHappened_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("500") << 500 << QByteArray("<html>oops</html>")
                             << "The catalogue could not be searched: the catalogue had a problem on its side (status "
                                "500); try again later.";
        QTest::newRow("429") << 429 << QByteArray()
                             << "The catalogue could not be searched: the catalogue is receiving too many requests "
                                "(status 429); wait a moment and try again.";
        QTest::newRow("401 with the catalogue's reason")
            << 401 << QByteArray(R"({"status_code":7,"status_message":"Invalid API key."})")
            << "The catalogue could not be searched: the catalogue refused the studio's API key (status 401): “Invalid "
               "API key.”.";
        QTest::newRow("200 that does not decode") << 200 << QByteArray("{}")
                                                  << "The catalogue could not be searched: the catalogue's answer "
                                                     "could not be read: member results is missing.";
        QTest::newRow("nothing found") << 200 << QByteArray(R"({"results":[]})") << "Nothing found for “zzz”.";
    }

    void catalogueFailuresSayWhatHappened()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        FaultServer catalogue;
        catalogue.setAnswer("GET", "/3/search/multi", { status, body });
        auto manager = m_service.newManager(catalogue.origin());
        StudioApp studio(manager->uploads, RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        searchFor(window->searchView(), u"zzz"_s);
        QTRY_VERIFY(labelStartingWith(window, message.left(20)));
        QLabel* label = labelStartingWith(window, message.left(20));
        QCOMPARE(label->text(), message);
        // Right under the search field, in the text's own size, readable.
        QLineEdit* field = window->searchView()->searchField();
        const int gap = label->mapTo(window, QPoint(0, 0)).y() - field->mapTo(window, QPoint(0, field->height())).y();
        QVERIFY2(gap >= 0 && gap < 24, qPrintable(QString::number(gap)));
        QVERIFY(label->font().pointSizeF() >= QApplication::font().pointSizeF());
        QVERIFY(wcagContrast(label->palette().color(QPalette::WindowText), window->palette().color(QPalette::Window))
            >= 4.5);
        window->close();
    }

    void aSeasonThatFailsSaysSoInPlace()
    {
        FaultServer catalogue;
        catalogue.setAnswer(
            "GET", "/3/search/multi", { 200, R"({"results":[{"media_type":"tv","id":7,"name":"Show"}]})" });
        catalogue.setAnswer("GET", "/3/tv/7", { 500, "<html>oops</html>" });
        catalogue.setAnswer("GET", "/3/tv/7/season/1", { 500, "<html>oops</html>" });
        auto manager = m_service.newManager(catalogue.origin());
        StudioApp studio(manager->uploads, RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        searchFor(window->searchView(), u"show"_s);
        QTRY_COMPARE(window->searchView()->resultRows().size(), 1);
        clickAt(window->searchView()->resultRows().first());
        TVShowSeasonsView* seasons = window->searchView()->seasonsView();
        QTRY_VERIFY(labelStartingWith(seasons, u"The seasons could not be loaded: the catalogue had a problem"_s));

        catalogue.setAnswer("GET", "/3/tv/7",
            { 200,
                R"({"id":7,"seasons":[{"id":70,"season_number":0,"episode_count":1},{"id":71,"season_number":1,"episode_count":3}]})" });
        shown<QPushButton>(seasons, u"Try Again"_s)->click();
        QTRY_VERIFY(rowWithLabel(seasons, u"Season 1"_s));
        QVERIFY(shown<QLabel>(seasons, u"Specials"_s));
        QVERIFY(shown<QLabel>(seasons, u"1 episode"_s));
        QVERIFY(shown<QLabel>(seasons, u"3 episodes"_s));

        const auto seasonAsked = [&] {
            return std::count_if(catalogue.received().begin(), catalogue.received().end(),
                [](const FaultServer::Received& r) { return r.target.startsWith("/3/tv/7/season/1"); });
        };
        clickAt(rowWithLabel(seasons, u"Season 1"_s));
        QTRY_VERIFY(labelStartingWith(seasons, u"The episodes could not be loaded: the catalogue had a problem"_s));
        // The failure is not kept as an empty season: closed and opened again, it is asked for again.
        clickAt(rowWithLabel(seasons, u"Season 1"_s));
        clickAt(rowWithLabel(seasons, u"Season 1"_s));
        QTRY_COMPARE(seasonAsked(), 2);
        catalogue.setAnswer("GET", "/3/tv/7/season/1",
            { 200,
                R"({"id":71,"episodes":[{"id":1,"episode_number":1},{"id":2,"episode_number":2},{"id":3,"episode_number":3}]})" });
        QTRY_VERIFY(shown<QPushButton>(seasons, u"Try Again"_s)); // asked is not yet answered
        shown<QPushButton>(seasons, u"Try Again"_s)->click();
        QTRY_COMPARE(createButtons(seasons).size(), 3);
        QVERIFY(!labelStartingWith(seasons, u"The episodes could not"_s));

        // A new search that does not list the show takes its episodes away.
        catalogue.setAnswer(
            "GET", "/3/search/multi", { 200, R"({"results":[{"media_type":"movie","id":8,"title":"Other"}]})" });
        searchFor(window->searchView(), u"other"_s);
        QTRY_VERIFY(createButtons(window).isEmpty());
        window->close();
    }

    // A show chosen while another's seasons still load keeps its own, whenever the other's answer comes.
    void aLateAnswerForAnotherShowIsDropped()
    {
        FaultServer catalogue;
        catalogue.setAnswer("GET", "/3/search/multi",
            { 200,
                R"({"results":[{"media_type":"tv","id":7,"name":"Seven"},{"media_type":"tv","id":8,"name":"Eight"}]})" });
        const QByteArray seven = R"({"id":7,"seasons":[{"id":70,"season_number":1,"episode_count":1}]})";
        catalogue.setAnswer("GET", "/3/tv/7", { 200, seven, FaultServer::Action::Hold });
        catalogue.setAnswer(
            "GET", "/3/tv/8", { 200, R"({"id":8,"seasons":[{"id":80,"season_number":2,"episode_count":2}]})" });
        auto manager = m_service.newManager(catalogue.origin());
        StudioApp studio(manager->uploads, RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        searchFor(window->searchView(), u"show"_s);
        QTRY_COMPARE(window->searchView()->resultRows().size(), 2);
        clickAt(window->searchView()->resultRows().first());
        QTRY_COMPARE(catalogue.held(), 1);
        clickAt(window->searchView()->resultRows().last());
        TVShowSeasonsView* seasons = window->searchView()->seasonsView();
        QTRY_VERIFY(rowWithLabel(seasons, u"Season 2"_s));
        catalogue.setAnswer("GET", "/3/tv/7", { 200, seven });
        catalogue.releaseHeld();
        QTest::qWait(200);
        QVERIFY(rowWithLabel(seasons, u"Season 2"_s));
        window->close();
    }

    void supersededSearchNeverWrites()
    {
        FaultServer catalogue;
        catalogue.setAnswer("GET", "/3/search/multi", { 200, {}, FaultServer::Action::Silent });
        auto manager = m_service.newManager(catalogue.origin());
        StudioApp studio(manager->uploads, RecordingModels::process());
        MoviesSearchView search(studio.environment());
        searchFor(&search, u"first"_s);
        QTRY_COMPARE(catalogue.received().size(), 1);
        QVERIFY(search.isLoading());
        searchFor(&search, QString()); // an empty search ends the wait at once
        QVERIFY(!search.isLoading());

        catalogue.setAnswer(
            "GET", "/3/search/multi", { 200, R"({"results":[{"media_type":"movie","id":7,"title":"Second"}]})" });
        searchFor(&search, u"second"_s);
        QTRY_VERIFY(!search.isLoading());
        QCOMPARE(search.results().size(), 1);

        // The first search fails now; it was superseded, so it changes nothing.
        manager->session.httpClient().abortAll();
        QTest::qWait(100);
        QCOMPARE(search.results().size(), 1);
        QVERIFY(!search.isLoading());

        // An empty search clears the list without a request.
        searchFor(&search, QString());
        QVERIFY(search.results().isEmpty());
        QVERIFY(!search.isLoading());
        QCOMPARE(catalogue.received().size(), 2);
    }

    // One download serves every view of a poster; one that failed is asked for again when shown again.
    void postersAreFetchedOnce()
    {
        ImageCache cache;
        const QUrl poster(m_service.origin() + u"/t/p/w92/movie-90001.png"_s);
        QSignalSpy loaded(&cache, &ImageCache::loaded);
        FaultServer slow; // another poster, still on its way: this one's picture is not its
        slow.setAnswer("GET", "/t/p/w92/movie-90002.png", { 200, {}, FaultServer::Action::Hold });
        TMDBThumbnailView elsewhere(cache, QUrl(slow.origin() + u"/t/p/w92/movie-90002.png"_s));
        TMDBThumbnailView first(cache, poster);
        TMDBThumbnailView second(cache, poster);
        QCOMPARE(first.state(), TMDBThumbnailView::State::Loading);
        QTRY_COMPARE(loaded.count(), 1);
        QCOMPARE(first.state(), TMDBThumbnailView::State::Loaded);
        QCOMPARE(second.state(), TMDBThumbnailView::State::Loaded);
        QCOMPARE(elsewhere.state(), TMDBThumbnailView::State::Loading);
        TMDBThumbnailView third(cache, poster);
        QCOMPARE(third.state(), TMDBThumbnailView::State::Loaded); // from the cache
        QCOMPARE(cache.requestCount(), 2);

        QSignalSpy failed(&cache, &ImageCache::failed);
        const QUrl missing(m_service.origin() + u"/t/p/w92/movie-1.png"_s);
        TMDBThumbnailView absent(cache, missing);
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(absent.state(), TMDBThumbnailView::State::Placeholder);
        TMDBThumbnailView again(cache, missing);
        QTRY_COMPARE(failed.count(), 2);
        QCOMPARE(again.state(), TMDBThumbnailView::State::Placeholder);
        QCOMPARE(cache.requestCount(), 4);
        TMDBThumbnailView none(cache, std::nullopt);
        QCOMPARE(none.state(), TMDBThumbnailView::State::Placeholder);
    }

    // ---- Remembered between starts ----

    void windowsOpenWhereTheyWereLeft()
    {
        auto manager = m_service.newManager();
        const QList<QSize> sizes { QSize(1100, 800), QSize(820, 760), QSize(900, 650) };
        const auto windows = [](StudioApp& studio) {
            RecordingWindow* recording = studio.environment().recordingWindows.openRecordingWindow(movieItem(1, {}));
            return QList<QWidget*> { studio.newMainWindow(), new CatalogueWindow(studio.environment()), recording };
        };
        {
            StudioApp studio(manager->uploads, RecordingModels::process());
            const QList<QWidget*> opened = windows(studio);
            for (qsizetype i = 0; i < opened.size(); ++i) {
                opened[i]->show();
                opened[i]->resize(sizes[i]);
                QTRY_COMPARE(opened[i]->size(), sizes[i]);
                opened[i]->close();
            }
        }
        StudioApp studio(manager->uploads, RecordingModels::process());
        const QList<QWidget*> reopened = windows(studio);
        for (qsizetype i = 0; i < reopened.size(); ++i) {
            QCOMPARE(reopened[i]->size(), sizes[i]);
            reopened[i]->close();
        }
    }

    // ---- Legible in a light and a dark desktop ----

    void textReadsOnItsBackground_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("base");
        QTest::addColumn<QColor>("text");
        QTest::addRow("light") << QColor(239, 239, 239) << QColor(255, 255, 255) << QColor(20, 20, 20);
        QTest::addRow("dark") << QColor(42, 42, 46) << QColor(30, 30, 32) << QColor(230, 230, 230);
    }

    void textReadsOnItsBackground()
    {
        QFETCH(QColor, window);
        QFETCH(QColor, base);
        QFETCH(QColor, text);
        const QPalette old = QApplication::palette();
        QPalette desktop = old;
        desktop.setColor(QPalette::Window, window);
        desktop.setColor(QPalette::WindowText, text);
        desktop.setColor(QPalette::Base, base);
        desktop.setColor(QPalette::AlternateBase, base.darker(105));
        desktop.setColor(QPalette::Text, text);
        QApplication::setPalette(desktop);
        const auto restore = qScopeGuard([old] { QApplication::setPalette(old); });
        FaultServer server;
        server.setAnswer("GET", "/tvapi/me/lightshows",
            { 200,
                R"({"results":[{"id":"a","tmdb_id":1,"season":1,"episode":2,"type":"tv","author_id":"u","created_at":"2026-01-01T10:00:00Z","title":"One"},)"
                R"({"id":"b","tmdb_id":2,"season":0,"episode":0,"type":"movie","author_id":"u","created_at":"2026-01-02T10:00:00Z"}]})" });
        server.setAnswer("GET", "/3/search/multi",
            { 200,
                R"({"results":[{"media_type":"movie","id":7,"title":"Film","release_date":"1999-01-01","overview":"Grey words."},{"media_type":"tv","id":8,"name":"Show"}]})" });
        server.setAnswer(
            "GET", "/3/tv/8", { 200, R"({"id":8,"seasons":[{"id":80,"season_number":1,"episode_count":2}]})" });
        auto manager = fakeSignedIn(server);
        StudioApp studio(manager->uploads, RecordingModels::process());
        // First: opening it closes the window that is active.
        RecordingWindow* recording = studio.environment().recordingWindows.openRecordingWindow(movieItem(7, {}));
        MainWindow* main = studio.newMainWindow();
        QTableView* table = libraryTable(main);
        QTRY_COMPARE(table->model()->rowCount(), 2);
        QPointer<CatalogueWindow> catalogue = new CatalogueWindow(studio.environment());
        catalogue->show();
        searchFor(catalogue->searchView(), u"x"_s);
        QTRY_COMPARE(catalogue->searchView()->resultRows().size(), 2);

        double worst = 21;
        QString worstText;
        const auto check = [&](const QColor& foreground, const QPalette& behind, const QString& what) {
            for (const QPalette::ColorRole role : { QPalette::Window, QPalette::Base, QPalette::AlternateBase }) {
                const double ratio = wcagContrast(foreground, behind.color(role));
                if (ratio < worst) {
                    worst = ratio;
                    worstText = what;
                }
            }
        };
        const auto sweep = [&](QWidget* root) {
            for (QLabel* label : root->findChildren<QLabel*>())
                if (label->isVisibleTo(root) && label->isEnabled() && !label->text().isEmpty())
                    check(label->palette().color(QPalette::WindowText), root->palette(), label->text());
        };
        sweep(main);
        sweep(recording);
        // A film, then a show, in the catalogue.
        clickAt(catalogue->searchView()->resultRows().first());
        QTRY_COMPARE(createButtons(catalogue).size(), 1);
        sweep(catalogue);
        // White on the accent of the button that matters most, with a ring when focused.
        for (QPushButton* button : createButtons(catalogue)) {
            const QImage picture = button->grab().toImage();
            QVERIFY(wcagContrast(picture.pixelColor(4, picture.height() / 2), Qt::white) >= 4.5);
            QVERIFY(button->styleSheet().contains(u"QPushButton:focus"_s));
        }
        clickAt(catalogue->searchView()->resultRows().last());
        QTRY_VERIFY(shown<QLabel>(catalogue, u"2 episodes"_s));
        sweep(catalogue);
        for (int column = 0; column < LightShowTableModel::ColumnCount; ++column)
            for (int row = 0; row < 2; ++row) {
                const QVariant brush = table->model()->index(row, column).data(Qt::ForegroundRole);
                if (brush.isValid())
                    check(brush.value<QBrush>().color(), table->palette(),
                        table->model()->index(row, column).data().toString());
            }
        qInfo("lowest contrast %.2f:1 (%s)", worst, qPrintable(worstText));
        QVERIFY2(worst >= 4.5, qPrintable(u"%1 at %2:1"_s.arg(worstText).arg(worst)));

        // The menus show the toolbar's icons, and so the window's black behind them.
        for (QMenu* menu : main->menuBar()->findChildren<QMenu*>())
            for (QAction* action : menu->actions())
                if (!action->icon().isNull())
                    QVERIFY2(iconContrast(action->icon(), menu->palette().color(QPalette::Window)) >= 0.35,
                        qPrintable(action->text()));
        delete catalogue.data();
        recording->close();
    }

    void iconsReadOnTheirBackground_data()
    {
        QTest::addColumn<QString>("theme");
        QTest::addColumn<QColor>("background");
        for (const char* theme : { "", "dark-icons", "light-icons" }) {
            QTest::addRow("%s on black", *theme ? theme : "no theme")
                << QString::fromLatin1(theme) << QColor(Qt::black);
            QTest::addRow("%s on white", *theme ? theme : "no theme")
                << QString::fromLatin1(theme) << QColor(Qt::white);
        }
    }

    void iconsReadOnTheirBackground()
    {
        QFETCH(QString, theme);
        QFETCH(QColor, background);
        // Two small icon themes: one drawn for light windows, one for dark.
        QTemporaryDir themes;
        for (const auto& [name, colour] :
            { std::pair { "dark-icons", QColor(50, 50, 50) }, std::pair { "light-icons", QColor(230, 230, 230) } }) {
            const QString folder = themes.path() + QLatin1Char('/') + QLatin1String(name);
            QDir().mkpath(folder + u"/24x24/actions"_s);
            QFile index(folder + u"/index.theme"_s);
            QVERIFY(index.open(QIODevice::WriteOnly));
            index.write("[Icon Theme]\nName=" + QByteArray(name)
                + "\nDirectories=24x24/actions\n\n[24x24/actions]\nSize=24\nType=Fixed\n");
            index.close();
            for (int kind = 0; kind <= int(StudioIcon::Copy); ++kind) {
                QImage image(24, 24, QImage::Format_ARGB32);
                image.fill(Qt::transparent);
                QPainter painter(&image);
                painter.fillRect(6, 6, 12, 12, colour);
                painter.end();
                QVERIFY(image.save(folder + u"/24x24/actions/"_s + themeIconName(StudioIcon(kind)) + u".png"_s));
            }
        }
        const auto restore = qScopeGuard([paths = QIcon::themeSearchPaths(), name = QIcon::themeName()] {
            QIcon::setThemeSearchPaths(paths);
            QIcon::setThemeName(name);
        });
        QIcon::setThemeSearchPaths({ themes.path() });
        QIcon::setThemeName(theme);
        for (int kind = 0; kind <= int(StudioIcon::Copy); ++kind) {
            const QIcon icon = studioIcon(StudioIcon(kind), background);
            QVERIFY2(iconContrast(icon, background) >= 0.35, qPrintable(themeIconName(StudioIcon(kind))));
        }
        // A theme icon that reads is the desktop's, not ours.
        const bool themeReads = (theme == u"light-icons"_s) == (background == QColor(Qt::black));
        if (!theme.isEmpty() && themeReads) {
            const QImage ours = studioIcon(StudioIcon::Add, background).pixmap(24).toImage();
            QCOMPARE(ours.pixelColor(12, 12).lightness() > 128, theme == u"light-icons"_s);
            QCOMPARE(ours.pixelColor(2, 12).alpha(), 0); // the theme's square, not our cross
        }
    }

    // ---- Settings ----

    void settingsAreCheckedWhenSaved_data()
    {
        QTest::addColumn<QString>("service"); // "same": the one the studio uses now
        QTest::addColumn<QString>("catalogue");
        QTest::addColumn<QString>("environment"); // CORVEX_CATALOGUE_URL
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("save");
        QTest::addColumn<QString>("problem"); // empty: saved
        const auto row = [](const char* tag, std::initializer_list<const char*> texts) {
            QTestData& data = QTest::newRow(tag);
            for (const char* text : texts)
                data << QString::fromUtf8(text);
        };
        row("https service", { "https://lights.example.org/", "", "", "Ctrl+Alt+R", "Ctrl+Alt+S", "" });
        row("loopback over http, other keys",
            { "http://localhost:8787", "http://127.0.0.1:9", "", "Ctrl+Shift+F9", "Meta+S", "" });
        row("the setting beats the environment; the same service",
            { "same", "https://tmdb.example.org", "https://other.example.org", "Ctrl+Alt+R", "Ctrl+Alt+S", "" });
        row("plain http elsewhere",
            { "http://lights.example.org", "", "", "Ctrl+Alt+R", "Ctrl+Alt+S", "uses plain http to another machine" });
        row("no address", { "lights", "", "", "Ctrl+Alt+R", "Ctrl+Alt+S", "is not an http(s) address" });
        row("a query",
            { "https://lights.example.org/?a=1", "", "", "Ctrl+Alt+R", "Ctrl+Alt+S", "must not hold a query" });
        row("empty hands over to a broken environment",
            { "", "", "http://remote.example.org", "Ctrl+Alt+R", "Ctrl+Alt+S",
                "the environment variable CORVEX_CATALOGUE_URL decides" });
        row("a key without a modifier", { "", "", "", "R", "Ctrl+Alt+S", "hold Ctrl, Alt or Super" });
        row("shift is not enough", { "", "", "", "Shift+R", "Ctrl+Alt+S", "hold Ctrl, Alt or Super" });
        row("the same keys twice", { "", "", "", "Ctrl+Alt+R", "Ctrl+Alt+R", "different keys" });
        row("no key", { "", "", "", "", "Ctrl+Alt+S", "Press the keys" });
        row("two in a row", { "", "", "", "Ctrl+A, Ctrl+B", "Ctrl+Alt+S", "one combination" });
    }

    void settingsAreCheckedWhenSaved()
    {
        QFETCH(QString, service);
        QFETCH(QString, catalogue);
        QFETCH(QString, environment);
        QFETCH(QString, start);
        QFETCH(QString, save);
        QFETCH(QString, problem);
        if (!environment.isEmpty())
            qputenv("CORVEX_CATALOGUE_URL", environment.toUtf8());
        const auto restore = qScopeGuard([] { qunsetenv("CORVEX_CATALOGUE_URL"); });
        FaultServer server; // answers nothing the manager asks: the token stays
        auto manager = m_service.newManager(server.origin());
        const bool sameService = service == QLatin1StringView("same");
        if (sameService)
            service = server.origin();
        manager->session.setAccessToken(u"token-settings"_s);
        StudioApp studio(manager->uploads, RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        menuAction(main, u"Settings…"_s)->trigger();
        QDialog* dialog = shownWindow<QDialog>(u"Settings"_s);
        QVERIFY(dialog);
        const QList<QLineEdit*> addresses = dialog->findChildren<QLineEdit*>();
        const QList<QKeySequenceEdit*> keys = dialog->findChildren<QKeySequenceEdit*>();
        QCOMPARE(addresses.value(1)->placeholderText(),
            environment.isEmpty() ? settings::Endpoints::defaults().catalogue : environment);
        QCOMPARE(keys.value(0)->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R));
        addresses.value(0)->setText(service);
        // Saving another service signs the author out: the dialog says so, while someone is signed in.
        if (!sameService && !service.isEmpty() && problem.isEmpty())
            QVERIFY(labelContaining(dialog, u"signs you out"_s));
        manager->session.setAccessToken(std::nullopt);
        QVERIFY(!labelContaining(dialog, u"signs you out"_s));
        manager->session.setAccessToken(u"token-settings"_s);
        addresses.value(1)->setText(catalogue);
        keys.value(0)->setKeySequence(QKeySequence::fromString(start, QKeySequence::PortableText));
        keys.value(1)->setKeySequence(QKeySequence::fromString(save, QKeySequence::PortableText));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();

        settings::Store& store = manager->session.store();
        if (!problem.isEmpty()) {
            QVERIFY(dialog->isVisible());
            QVERIFY2(labelContaining(dialog, problem), qPrintable(problem));
            QVERIFY(!store.value(u"service_url"_s) && !store.value(u"shortcuts/start"_s));
            QCOMPARE(manager->session.serviceOrigin(), server.origin());
            // Restore Defaults empties the addresses and gives the keys theirs back.
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::RestoreDefaults)->click();
            QVERIFY(addresses.value(0)->text().isEmpty());
            QCOMPARE(keys.value(0)->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R));
            QCOMPARE(keys.value(1)->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
            dialog->close();
            return;
        }
        QTRY_VERIFY(!shownWindow<QDialog>(u"Settings"_s));
        QCOMPARE(store.value(u"shortcuts/start"_s), start);
        QCOMPARE(store.value(u"shortcuts/save"_s), save);
        QCOMPARE(store.value(u"service_url"_s).value_or(QString()), service);
        const auto* endpoints = std::get_if<settings::Endpoints>(&manager->session.endpoints());
        QVERIFY(endpoints);
        QCOMPARE(endpoints->catalogue,
            catalogue.isEmpty() ? (environment.isEmpty() ? settings::Endpoints::defaults().catalogue : environment)
                                : catalogue);
        // The sign-in belonged to the service the author left.
        QCOMPARE(manager->session.accessToken().has_value(), sameService);
        if (!service.isEmpty())
            QCOMPARE(*manager->session.serviceOrigin(), settings::Endpoints::checkOrigin(service, {}).origin);
    }
};

int main(int argc, char* argv[])
{
    privateHome();
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(u"0.1.0-test"_s);
    TestLibrary test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_library.moc"
