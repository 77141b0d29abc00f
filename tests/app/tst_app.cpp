// The studio's windows, offscreen, against the real reference service (and a
// fault-injecting server where the service would have to misbehave).

#include "studio_fixture.h"

#include "../support/fault_server.h"

#include "app/capture_preview_view.h"
#include "app/colour_swatch_view.h"
#include "app/configuration_view.h"
#include "app/image_cache.h"
#include "app/light_show_table_model.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/movie_details_view.h"
#include "app/movies_search_view.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/single_instance.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "app/upload_queue.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/light_show_list_model.h"
#include "service/notifier.h"

#include "platform/screencapture/capture_backend.h"
#include "platform/webauth/session.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QToolButton>

using namespace corvex;
using namespace corvex::app;
using corvex::testing::FaultServer;

namespace {

QPushButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text)
            return qobject_cast<QPushButton*>(button);
    }
    return nullptr;
}

QList<QPushButton*> createButtons(QWidget* parent)
{
    QList<QPushButton*> buttons;
    for (QPushButton* button : parent->findChildren<QPushButton*>()) {
        if (button->text() == QLatin1StringView("Create lightshow") && !button->parent()->property("deleted").toBool())
            buttons.append(button);
    }
    return buttons;
}

int countLines(const QByteArray& log, const QByteArray& line)
{
    int count = 0;
    for (const QByteArray& entry : log.split('\n')) {
        if (entry.startsWith(line))
            ++count;
    }
    return count;
}

// Whether the process ended (it may have ended while the test waited for something else).
bool finished(QProcess& process)
{
    return (process.state() == QProcess::NotRunning || process.waitForFinished(20000))
        && process.exitStatus() == QProcess::NormalExit;
}

void searchFor(MoviesSearchView* view, const QString& text)
{
    view->searchField()->setText(text);
    QTest::keyClick(view->searchField(), Qt::Key_Return);
}

} // namespace

class TestApp final : public QObject {
    Q_OBJECT

    corvex::testing::ReferenceServiceProcess m_service;
    QTemporaryDir m_folders;
    int m_managers = 0;

    std::unique_ptr<service::AppManager> newManager(const QString& origin = {})
    {
        const QString folder = m_folders.path() + QStringLiteral("/m%1").arg(++m_managers);
        QDir().mkpath(folder);
        return corvex::testing::makeManager(origin.isEmpty() ? m_service.origin() : origin, folder);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_folders.isValid());
        QVERIFY(m_service.start({ QStringLiteral("--demo-catalogue") }));
    }

    void cleanup()
    {
        if (analysis::AnalysisRecorder::shared().started())
            analysis::AnalysisRecorder::shared().stop();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void tableCells_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<qint64>("tmdbId");
        QTest::addColumn<QString>("type");
        QTest::addColumn<qint64>("season");
        QTest::addColumn<qint64>("episode");
        QTest::addColumn<QString>("titleText");
        QTest::addColumn<QString>("episodeText");
        QTest::newRow("empty title") << QString() << qint64(603) << "movie" << qint64(0) << qint64(0) << "#603"
                                     << "Movie";
        QTest::newRow("episode") << "Cisco" << qint64(1) << "tv" << qint64(1) << qint64(5) << "Cisco"
                                 << "S01E05";
        QTest::newRow("three digits") << "Long" << qint64(1) << "tv" << qint64(12) << qint64(123) << "Long"
                                      << "S12E123";
        QTest::newRow("TV in capitals is a movie") << "Upper" << qint64(2) << "TV" << qint64(1) << qint64(1) << "Upper"
                                                   << "Movie";
    }

    void tableCells()
    {
        QFETCH(QString, title);
        QFETCH(qint64, tmdbId);
        QFETCH(QString, type);
        QFETCH(qint64, season);
        QFETCH(qint64, episode);
        service::LightShow show;
        show.id = QStringLiteral("x");
        show.title = title;
        show.tmdb_id = tmdbId;
        show.type = type;
        show.season = season;
        show.episode = episode;
        QTEST(lightShowTitleText(show), "titleText");
        QTEST(lightShowSeasonEpisodeText(show), "episodeText");
    }

    void itemText_data()
    {
        QTest::addColumn<std::optional<catalogue::TMDBItem>>("item");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::newRow("movie") << std::optional(corvex::testing::movieItem(1, QStringLiteral("Nosferatu")))
                               << "Nosferatu" << QString();
        QTest::newRow("episode") << std::optional(corvex::testing::episodeItem(2, QStringLiteral("Cisco"), 2, 5))
                                 << "Cisco"
                                 << "Season 2 - Ep 5";
        catalogue::TMDBTVShow show;
        show.name = QStringLiteral("Flash");
        QTest::newRow("show without season and episode")
            << std::optional(catalogue::TMDBItem { {}, show, {}, {} }) << "Flash"
            << "Season 0 - Ep 0";
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

    void windowOption()
    {
        QCOMPARE(windowOptionText(QStringLiteral("Player: Film"), 1280, 720),
            QStringLiteral("Player: Film - 1280.000000x720.000000"));
    }

    void recordingButtonNeedsTokenAccountAndItem_data()
    {
        QTest::addColumn<bool>("token");
        QTest::addColumn<bool>("account");
        QTest::addColumn<bool>("item");
        for (int mask = 0; mask < 8; ++mask)
            QTest::addRow("token %d account %d item %d", mask & 1, (mask >> 1) & 1, (mask >> 2) & 1)
                << bool(mask & 1) << bool(mask & 2) << bool(mask & 4);
    }

    void recordingButtonNeedsTokenAccountAndItem()
    {
        QFETCH(bool, token);
        QFETCH(bool, account);
        QFETCH(bool, item);
        auto manager = newManager();
        if (token) {
            // Unknown to the service: the account fetch is refused and changes nothing.
            manager->setAccessToken(QStringLiteral("unknown-token-0000"));
            QTest::qWait(200);
        }
        if (account)
            manager->setAccount(service::Account { QStringLiteral("a1"), QStringLiteral("a@example.org") });
        if (item)
            manager->setCurrentItem(corvex::testing::movieItem(90002, QStringLiteral("Nosferatu")));
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), &recorder);
        UploadQueue uploads(*manager);
        ConfigurationView view(screenRecorder, recorder, preview_link::UDPManager::shared(), *manager, uploads);
        QTest::qWait(100);
        QCOMPARE(view.recordingButton()->isEnabled(), token && account && item);
        QCOMPARE(view.recordingButton()->text(), QStringLiteral("Start recording"));
        // Pressing a disabled button's action does nothing.
        view.toggleRecording();
        QCOMPARE(recorder.started(), token && account && item);
        QCOMPARE(view.itemTitle()->text(), item ? QStringLiteral("Nosferatu") : QString());
        if (recorder.started())
            recorder.stop();
    }

    void captureTypeSwitchesThePicker()
    {
        auto manager = newManager();
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), &recorder);
        UploadQueue uploads(*manager);
        ConfigurationView view(screenRecorder, recorder, preview_link::UDPManager::shared(), *manager, uploads);
        QCoro::waitFor(screenRecorder.refreshAvailableContent());
        QCOMPARE(view.captureTypePicker()->itemText(0), QStringLiteral("Display"));
        QCOMPARE(view.captureTypePicker()->itemText(1), QStringLiteral("Window"));
        QCOMPARE(view.displayPicker()->count(), static_cast<int>(screenRecorder.availableDisplays().size()));
        QVERIFY(view.displayPicker()->isVisibleTo(&view));
        QVERIFY(!view.windowPicker()->isVisibleTo(&view));

        Q_EMIT view.captureTypePicker()->activated(1);
        QCOMPARE(screenRecorder.captureType(), capture::ScreenRecorder::CaptureType::window);
        QVERIFY(view.windowPicker()->isVisibleTo(&view));
        QVERIFY(!view.displayPicker()->isVisibleTo(&view));
        const auto windows = screenRecorder.availableWindows();
        QVERIFY(!windows.empty());
        QCOMPARE(view.windowPicker()->count(), static_cast<int>(windows.size()));
        for (std::size_t i = 0; i < windows.size(); ++i)
            QCOMPARE(view.windowPicker()->itemText(static_cast<int>(i)),
                windowOptionText(
                    capture::ScreenRecorder::displayName(windows[i]), windows[i].frame.width, windows[i].frame.height));
        Q_EMIT view.windowPicker()->activated(static_cast<int>(windows.size() - 1));
        QCOMPARE(screenRecorder.selectedWindow()->windowID, windows.back().windowID);

        QCOMPARE(view.receiverPicker()->itemText(0), QStringLiteral("None"));
        Q_EMIT view.receiverPicker()->activated(0);
        QVERIFY(!preview_link::UDPManager::shared().selectedService());
    }

    void mainWindowsShareTheSignIn()
    {
        auto manager = newManager();
        const QString token = corvex::testing::tokenFor(m_service.origin(), QStringLiteral("ada@example.org"));
        QVERIFY(corvex::testing::signIn(*manager, token));
        StudioApp studio(*manager);
        MainWindow* first = studio.newMainWindow();
        MainWindow* second = studio.newMainWindow();
        QCOMPARE(first->minimumSize(), QSize(960, 724));
        first->resize(400, 300);
        QVERIFY(first->width() >= 960 && first->height() >= 724);
        QVERIFY(!first->listView()->isShowingPrompt());
        QVERIFY(!second->listView()->isShowingPrompt());
        QTRY_VERIFY(!first->listView()->model().isLoading());

        first->listView()->logoutAction()->trigger();
        QMessageBox* box = first->listView()->confirmation();
        QVERIFY(box);
        QCOMPARE(box->text(), QStringLiteral("Are you sure you want to log out?"));
        QPushButton* cancel = buttonWithText(box, QStringLiteral("Cancel"));
        QVERIFY(cancel);
        cancel->click();
        QVERIFY(manager->accessToken().has_value());

        first->listView()->logoutAction()->trigger();
        box = first->listView()->confirmation();
        QPushButton* logOut = buttonWithText(box, QStringLiteral("Log out"));
        QVERIFY(logOut);
        logOut->click();
        QVERIFY(!manager->accessToken());
        QVERIFY(!manager->account());
        QVERIFY(first->listView()->isShowingPrompt());
        QVERIFY(second->listView()->isShowingPrompt());
        QCOMPARE(first->listView()->model().shows().size(), 0);

        // Signing in again shows the table and loads it at once.
        const QByteArray before = m_service.log();
        manager->setAccessToken(token);
        QVERIFY(!first->listView()->isShowingPrompt());
        QTRY_COMPARE(countLines(m_service.log().mid(before.size()), "GET /tvapi/me/lightshows 200"), 2);

        // Both open tables reload when the shows change.
        QTRY_VERIFY(!first->listView()->model().isLoading() && !second->listView()->model().isLoading());
        service::Notifier::instance().postRefreshLightShows();
        QTRY_COMPARE(countLines(m_service.log().mid(before.size()), "GET /tvapi/me/lightshows 200"), 4);
    }

    void listErrorsShowInRed()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u3","email":"u3@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 500, "<html>oops</html>" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-three")));
        StudioApp studio(*manager);
        LightShowsListView* view = studio.newMainWindow()->listView();
        QTRY_VERIFY(view->errorLabel()->isVisibleTo(view));
        QVERIFY(view->errorLabel()->text().startsWith(QStringLiteral("Error: ")));
        QCOMPARE(view->errorLabel()->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(!view->progress()->isVisibleTo(view));
        QCOMPARE(view->model().shows().size(), 0);
    }

    void signInThroughTheBrowser()
    {
        auto manager = newManager();
        QUrl opened;
        StudioApp studio(*manager, {}, [&opened](const QUrl& url) {
            opened = url;
            return true;
        });
        MainWindow* window = studio.newMainWindow();
        LightShowsListView* view = window->listView();
        QVERIFY(view->isShowingPrompt());
        view->signInButton()->click();
        QTRY_VERIFY(opened.isValid());
        QCOMPARE(opened, service::service_urls::signIn(m_service.origin()));
        QVERIFY(!view->signInButton()->isEnabled());

        // The browser's answer reaches the studio through a second launch, as the desktop does it.
        const QUrl callback = QCoro::waitFor(corvex::testing::submitSignInForm(
            m_service.origin(), QStringLiteral("browser@example.org"), QStringLiteral("correct horse")));
        QCOMPARE(callback.scheme(), QStringLiteral("corvexapp"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        QProcess launch;
        launch.setProcessEnvironment(environment);
        launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), { QString::fromUtf8(callback.toEncoded()) });
        QTRY_VERIFY_WITH_TIMEOUT(!view->isShowingPrompt(), 20000);
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);
        QTRY_VERIFY(manager->account().has_value());
        QCOMPARE(manager->account()->email, QStringLiteral("browser@example.org"));
        QVERIFY(view->signInButton()->isEnabled());
    }

    void cancelledSignInChangesNothing()
    {
        auto manager = newManager();
        StudioApp studio(*manager, {}, [](const QUrl&) { return true; });
        LightShowsListView* view = studio.newMainWindow()->listView();
        view->signInButton()->click();
        QTRY_VERIFY(studio.environment().signInSession.isActive());
        studio.environment().signInSession.cancel();
        QTRY_VERIFY(view->signInButton()->isEnabled());
        QVERIFY(view->isShowingPrompt());
        QVERIFY(!manager->accessToken());
    }

    void signInWithoutABrowserSaysWhatToDo()
    {
        auto manager = newManager();
        StudioApp studio(*manager, {}, [](const QUrl&) { return false; });
        LightShowsListView* view = studio.newMainWindow()->listView();
        view->signInButton()->click();
        QTRY_VERIFY(view->signInButton()->isEnabled());
        const QLabel* error = nullptr;
        for (const QLabel* label : view->findChildren<QLabel*>()) {
            if (label->text().startsWith(QStringLiteral("Cannot sign in: ")))
                error = label;
        }
        QVERIFY(error);
        QVERIFY(error->text().contains(QStringLiteral("open ")));
        QVERIFY(!manager->accessToken());
    }

    void deleteNeedsASelection()
    {
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("del@example.org"))));
        QVERIFY(corvex::testing::uploadFor(*manager, corvex::testing::movieItem(90001, QStringLiteral("Night"))));
        QVERIFY(
            corvex::testing::uploadFor(*manager, corvex::testing::episodeItem(91002, QStringLiteral("Cisco"), 1, 5)));
        StudioApp studio(*manager);
        LightShowsListView* view = studio.newMainWindow()->listView();
        QTRY_COMPARE(view->model().shows().size(), 2);
        QVERIFY(!view->progress()->isVisible());
        QAbstractItemModel* table = view->table()->model();
        QStringList codes;
        for (int row = 0; row < 2; ++row)
            codes << table->index(row, LightShowTableModel::SeasonEpisodeColumn).data().toString();
        codes.sort();
        QCOMPARE(codes, (QStringList { QStringLiteral("Movie"), QStringLiteral("S01E05") }));

        QVERIFY(!view->deleteAction()->isEnabled());
        view->table()->selectRow(0);
        QVERIFY(view->deleteAction()->isEnabled());
        const QString doomed = view->model().shows().at(0).id;
        view->deleteAction()->trigger();
        QMessageBox* box = view->confirmation();
        QVERIFY(box);
        QCOMPARE(box->text(), QStringLiteral("Are you sure you want to delete the selected lightshows?"));
        buttonWithText(box, QStringLiteral("Delete"))->click();
        QVERIFY(!view->deleteAction()->isEnabled()); // the selection is emptied at once
        QTRY_COMPARE(view->model().shows().size(), 1);
        QVERIFY(view->model().shows().at(0).id != doomed);
    }

    void createLightshowForAMovie()
    {
        auto manager = newManager();
        StudioApp studio(*manager);
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QPointer<CatalogueWindow> catalogueWindow(window);
        MoviesSearchView* search = window->searchView();
        QCOMPARE(search->searchField()->placeholderText(), QStringLiteral("Search movies or TV shows..."));

        // Typing alone does not search.
        const QByteArray before = m_service.log();
        QTest::keyClicks(search->searchField(), QStringLiteral("Night of"));
        QTest::qWait(200);
        QCOMPARE(countLines(m_service.log().mid(before.size()), "GET /3/search/multi"), 0);
        QTest::keyClick(search->searchField(), Qt::Key_Return);
        QTRY_VERIFY(!search->results().isEmpty() && !search->isLoading());
        QCOMPARE(search->results().first().movie()->title, QStringLiteral("Night of the Living Dead"));
        QTRY_COMPARE(search->resultRows().size(), search->results().size());

        QTest::mouseClick(search->resultRows().first(), Qt::LeftButton, {}, QPoint(200, 10));
        QTRY_VERIFY(search->selectedMovie().has_value());
        QVERIFY(!search->selectedTVShow());
        QCOMPARE(search->movieDetails()->titleLabel()->text(), QStringLiteral("Night of the Living Dead"));

        search->movieDetails()->createButton()->click();
        QVERIFY(manager->currentItem().has_value());
        QCOMPARE(*manager->currentItem(), catalogue::TMDBItem::forMovie(*search->selectedMovie()));
        RecordingWindow* recording = studio.environment().recordingWindows.current();
        QVERIFY(recording);
        QCOMPARE(recording->windowTitle(), QStringLiteral("Recording"));
        QCOMPARE(recording->size(), QSize(800, 600));
        QTRY_VERIFY(!catalogueWindow); // the catalogue window was the active one: it closed
    }

    void createLightshowForAnEpisodeFetchesEpisodesOnce()
    {
        auto manager = newManager();
        StudioApp studio(*manager);
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        MoviesSearchView* search = window->searchView();
        searchFor(search, QStringLiteral("Cisco"));
        QTRY_COMPARE(search->resultRows().size(), 1);
        QTest::mouseClick(search->resultRows().first(), Qt::LeftButton, {}, QPoint(200, 10));
        QTRY_VERIFY(search->selectedTVShow().has_value());
        TVShowSeasonsView* seasons = search->seasonsView();
        QTRY_COMPARE(seasons->seasons().size(), 2);
        QVERIFY(!seasons->isLoading());

        const QByteArray before = m_service.log();
        seasons->toggleSeason(1);
        QTRY_VERIFY(seasons->episodesBySeason().contains(1));
        QCOMPARE(seasons->episodesBySeason().value(1).size(), 5);
        seasons->toggleSeason(1);
        QVERIFY(!seasons->expandedSeason());
        seasons->toggleSeason(1);
        seasons->toggleSeason(2); // closes season 1
        QCOMPARE(seasons->expandedSeason(), std::optional<qint64>(2));
        QTRY_VERIFY(seasons->episodesBySeason().contains(2));
        seasons->toggleSeason(1);
        QTest::qWait(200);
        const QByteArray log = m_service.log().mid(before.size());
        QCOMPARE(countLines(log, "GET /3/tv/91002/season/1 "), 1);
        QCOMPARE(countLines(log, "GET /3/tv/91002/season/2 "), 1);

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QList<QPushButton*> buttons = createButtons(seasons);
        QCOMPARE(buttons.size(), 5);
        buttons.last()->click();
        const std::optional<catalogue::TMDBItem> item = manager->currentItem();
        QVERIFY(item.has_value());
        QVERIFY(!item->movie);
        QCOMPARE(item->tvShow->id, 91002);
        QCOMPARE(item->season->season_number, 1);
        QCOMPARE(item->episode->episode_number, 5);
        QVERIFY(studio.environment().recordingWindows.current());
    }

    void supersededSearchNeverWrites()
    {
        FaultServer catalogue;
        catalogue.setAnswer("GET", "/3/search/multi", { 200, {}, FaultServer::Action::Silent });
        auto manager = newManager(catalogue.origin());
        StudioApp studio(*manager);
        MoviesSearchView search(studio.environment());
        searchFor(&search, QStringLiteral("first"));
        QTRY_COMPARE(catalogue.received().size(), 1);
        QVERIFY(search.isLoading());

        catalogue.setAnswer(
            "GET", "/3/search/multi", { 200, R"({"results":[{"media_type":"movie","id":7,"title":"Second"}]})" });
        searchFor(&search, QStringLiteral("second"));
        QTRY_VERIFY(!search.isLoading());
        QCOMPARE(search.results().size(), 1);

        // The first search fails now; it was superseded, so it changes nothing.
        manager->httpClient().abortAll();
        QTest::qWait(100);
        QCOMPARE(search.results().size(), 1);
        QVERIFY(!search.isLoading());

        // An empty search clears the list without a request.
        searchFor(&search, QString());
        QVERIFY(search.results().isEmpty());
        QVERIFY(!search.isLoading());
        QCOMPARE(catalogue.received().size(), 2);
    }

    void recordingDisablesCaptureControlsAndUploads()
    {
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("rec@example.org"))));
        StudioApp studio(*manager);
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90003, QStringLiteral("The General")));
        QVERIFY(window);
        RecordingView* view = window->view();
        ConfigurationView* panel = view->configurationView();
        QCOMPARE(panel->width(), RecordingView::kPanelWidth);
        QTRY_VERIFY(view->screenRecorder().isRunning());
        QVERIFY(!view->isUnauthorized());
        QVERIFY(!view->permissionBanner()->isVisible());
        QTRY_VERIFY(view->screenRecorder().contentSize() != QSizeF(1, 1));
        const QSizeF content = view->screenRecorder().contentSize();
        const QSize preview = view->preview()->size();
        QVERIFY(qAbs(preview.width() / double(preview.height()) - content.width() / content.height()) < 0.03);
        QTRY_VERIFY(panel->swatch()->colours().has_value());

        // A drag on the preview crops, and "Reset crop" takes it away.
        QTest::mousePress(view->preview(), Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseMove(view->preview(), QPoint(60, 40));
        QTest::mouseRelease(view->preview(), Qt::LeftButton, {}, QPoint(60, 40));
        QVERIFY(view->screenRecorder().crop().has_value());
        QVERIFY(panel->resetCropButton()->isEnabled());
        panel->resetCropButton()->click();
        QVERIFY(!view->screenRecorder().crop());

        QCOMPARE(panel->recordingButton()->text(), QStringLiteral("Start recording"));
        QVERIFY(panel->recordingButton()->isEnabled());
        panel->recordingButton()->click();
        QVERIFY(analysis::AnalysisRecorder::shared().started());
        QCOMPARE(panel->recordingButton()->text(), QStringLiteral("Save recording"));
        QVERIFY(!panel->itemSection()->isEnabled());
        QVERIFY(!panel->videoSection()->isEnabled());
        QVERIFY(!panel->captureTypePicker()->isEnabled());
        QVERIFY(!panel->displayPicker()->isEnabled());
        QVERIFY(!panel->resetCropButton()->isEnabled());
        QVERIFY(panel->receiverPicker()->isEnabled());
        QVERIFY(panel->restartButton()->isEnabled());
        QTest::mousePress(view->preview(), Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(view->preview(), Qt::LeftButton, {}, QPoint(60, 40));
        QVERIFY(!view->screenRecorder().crop()); // no cropping while recording
        QTRY_VERIFY(analysis::AnalysisRecorder::shared().frameCount() > 2);
        QTRY_VERIFY(panel->recordingStatus()->text().startsWith(QStringLiteral("Recording 00:0")));
        QTRY_VERIFY(panel->recordingStatus()->text().endsWith(QStringLiteral(" frames")));

        QSignalSpy refreshed(&service::Notifier::instance(), &service::Notifier::refreshLightShows);
        panel->recordingButton()->click();
        QVERIFY(!analysis::AnalysisRecorder::shared().started());
        QCOMPARE(panel->recordingButton()->text(), QStringLiteral("Start recording"));
        QVERIFY(panel->videoSection()->isEnabled());
        QVERIFY(view->userStopped());
        QVERIFY(view->preview()->isStopped());
        QTRY_COMPARE(refreshed.count(), 1);
        QCOMPARE(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."));
        QCOMPARE(manager->outbox()->entries().size(), 0);

        panel->restartButton()->click();
        QVERIFY(!view->userStopped());
        QVERIFY(!view->preview()->isStopped());
    }

    void uploadFailureIsShownAndRetried()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u1","email":"u1@example.org"})" });
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 500, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-for-the-fault-server")));
        StudioApp studio(*manager);
        MainWindow* main = studio.newMainWindow();
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90004, QStringLiteral("Caligari")));
        ConfigurationView* panel = window->view()->configurationView();
        QSignalSpy refreshed(&service::Notifier::instance(), &service::Notifier::refreshLightShows);
        panel->recordingButton()->click();
        panel->recordingButton()->click();
        QTRY_VERIFY(panel->uploadStatus()->text().startsWith(QStringLiteral("Upload failed: ")));
        QVERIFY(panel->uploadStatus()->text().contains(QStringLiteral("500")));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(refreshed.count(), 0);
        QCOMPARE(manager->outbox()->entries().size(), 1);
        QTRY_COMPARE(main->outboxLabel()->text(), QStringLiteral("1 recording is waiting to be uploaded."));
        QVERIFY(main->retryButton()->isVisibleTo(main));

        // A Retry that fails again keeps the recording and offers Retry again.
        const auto posts = [&server] {
            return std::count_if(server.received().begin(), server.received().end(),
                [](const FaultServer::Received& request) { return request.method == "POST"; });
        };
        QCOMPARE(posts(), 1);
        panel->retryButton()->click();
        QTRY_COMPARE(posts(), 2);
        QTRY_VERIFY(!panel->isUploading());
        QVERIFY(panel->uploadStatus()->text().startsWith(QStringLiteral("Upload failed: ")));
        QVERIFY(panel->uploadStatus()->text().contains(QStringLiteral("500")));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QVERIFY(panel->retryButton()->isEnabled());
        QCOMPARE(manager->outbox()->entries().size(), 1);
        QCOMPARE(manager->outbox()->entries().first().attempts, 2);
        QCOMPARE(refreshed.count(), 0);

        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 200, "{}" });
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."));
        QVERIFY(!panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(manager->outbox()->entries().size(), 0);
        QTRY_COMPARE(refreshed.count(), 1);
        QTRY_VERIFY(!main->retryButton()->isVisibleTo(main));
    }

    void mainWindowRetriesTheOutbox()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u2","email":"u2@example.org"})" });
        server.setAnswer("POST", "/tvapi/lightshow/tv/91001/1/2", { 503, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("another-token")));
        manager->setCurrentItem(corvex::testing::episodeItem(91001, QStringLiteral("Flash"), 1, 2));
        const auto first = QCoro::waitFor(manager->uploadLightShow(corvex::testing::smallRecording()));
        QVERIFY(!first.succeeded());
        StudioApp studio(*manager);
        MainWindow* main = studio.newMainWindow();
        QCOMPARE(main->outboxLabel()->text(), QStringLiteral("1 recording is waiting to be uploaded."));
        main->retryButton()->click();
        QTRY_VERIFY(main->outboxLabel()->text().startsWith(QStringLiteral("1 of 1 could not be uploaded")));
        server.setAnswer("POST", "/tvapi/lightshow/tv/91001/1/2", { 200, "{}" });
        main->retryButton()->click();
        QTRY_COMPARE(main->outboxLabel()->text(), QStringLiteral("The waiting recording was uploaded."));
        QVERIFY(!main->retryButton()->isVisibleTo(main));
    }

    void signingOutWhileRecordingKeepsTheRecording()
    {
        auto manager = newManager();
        const QString authorToken = corvex::testing::tokenFor(m_service.origin(), QStringLiteral("out@example.org"));
        QVERIFY(corvex::testing::signIn(*manager, authorToken));
        const QString author = manager->account()->id;
        StudioApp studio(*manager);
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90005, QStringLiteral("A Trip to the Moon")));
        ConfigurationView* panel = window->view()->configurationView();
        panel->recordingButton()->click();
        QVERIFY(analysis::AnalysisRecorder::shared().started());
        manager->setAccessToken(std::nullopt);
        manager->setAccount(std::nullopt);
        QVERIFY(panel->recordingButton()->isEnabled());
        panel->recordingButton()->click();
        QVERIFY(!analysis::AnalysisRecorder::shared().started());
        QVERIFY(!panel->recordingButton()->isEnabled());
        QTRY_VERIFY(panel->uploadStatus()->text().contains(QStringLiteral("not signed in")));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(manager->outbox()->entries().size(), 1);
        QCOMPARE(manager->outbox()->entries().first().accountId, author);

        // Someone else signs in: Retry does not hand the recording to them.
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("other@example.org"))));
        panel->retryButton()->click();
        QTRY_VERIFY(panel->uploadStatus()->text().contains(QStringLiteral("another account")));
        QCOMPARE(manager->outbox()->entries().size(), 1);
        service::LightShowListModel theirs(*manager);
        QCoro::waitFor(theirs.loadLightShows());
        QVERIFY(theirs.shows().isEmpty());

        // Its author signs in again and it goes to them.
        manager->setAccount(std::nullopt);
        QVERIFY(corvex::testing::signIn(*manager, authorToken));
        QTRY_VERIFY(panel->retryButton()->isEnabled());
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."));
        QVERIFY(manager->outbox()->entries().isEmpty());
    }

    void postersAreFetchedOnce()
    {
        ImageCache cache;
        const QUrl poster(m_service.origin() + QStringLiteral("/t/p/w92/movie-90001.png"));
        QSignalSpy loaded(&cache, &ImageCache::loaded);
        TMDBThumbnailView first(cache, poster);
        TMDBThumbnailView second(cache, poster);
        QCOMPARE(first.state(), TMDBThumbnailView::State::Loading);
        QTRY_COMPARE(loaded.count(), 1);
        QCOMPARE(first.state(), TMDBThumbnailView::State::Loaded);
        QCOMPARE(second.state(), TMDBThumbnailView::State::Loaded);
        TMDBThumbnailView third(cache, poster);
        QCOMPARE(third.state(), TMDBThumbnailView::State::Loaded); // from the cache
        QCOMPARE(cache.requestCount(), 1);

        QSignalSpy failed(&cache, &ImageCache::failed);
        TMDBThumbnailView missing(cache, QUrl(m_service.origin() + QStringLiteral("/t/p/w92/movie-1.png")));
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(missing.state(), TMDBThumbnailView::State::Placeholder);
        TMDBThumbnailView none(cache, std::nullopt);
        QCOMPARE(none.state(), TMDBThumbnailView::State::Placeholder);
    }

    void closingDuringARecordingAsks()
    {
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("close@example.org"))));
        StudioApp studio(*manager);
        RecordingWindows& windows = studio.environment().recordingWindows;
        QPointer<RecordingWindow> window
            = windows.openRecordingWindow(corvex::testing::movieItem(90006, QStringLiteral("Sherlock Jr.")));
        window->view()->configurationView()->recordingButton()->click();
        QVERIFY(analysis::AnalysisRecorder::shared().started());

        // Another "Create lightshow" now would record under another title: refused.
        QVERIFY(!windows.openRecordingWindow(corvex::testing::movieItem(90007, QStringLiteral("His Girl Friday"))));
        QCOMPARE(manager->currentItem()->movie->id, 90006);
        QCOMPARE(windows.current(), window.data());

        window->close();
        QVERIFY(window);
        QMessageBox* box = window->closeConfirmation();
        QVERIFY(box);
        buttonWithText(box, QStringLiteral("Cancel"))->click();
        QVERIFY(window && window->isVisible());
        QVERIFY(analysis::AnalysisRecorder::shared().started());

        QSignalSpy refreshed(&service::Notifier::instance(), &service::Notifier::refreshLightShows);
        window->close();
        buttonWithText(window->closeConfirmation(), QStringLiteral("Save and Close"))->click();
        QTRY_VERIFY(!window);
        QVERIFY(!analysis::AnalysisRecorder::shared().started());
        QTRY_COMPARE(refreshed.count(), 1); // uploaded after the window went

        QPointer<RecordingWindow> next
            = windows.openRecordingWindow(corvex::testing::movieItem(90007, QStringLiteral("His Girl Friday")));
        QVERIFY(next);
        next->view()->configurationView()->recordingButton()->click();
        next->close();
        buttonWithText(next->closeConfirmation(), QStringLiteral("Discard"))->click();
        QTRY_VERIFY(!next);
        QVERIFY(!analysis::AnalysisRecorder::shared().started());
        QTest::qWait(100);
        QCOMPARE(refreshed.count(), 1);
    }

    void withoutAnActiveWindowNothingCloses()
    {
        auto manager = newManager();
        StudioApp studio(*manager);
        MainWindow* main = studio.newMainWindow();
        QPointer<CatalogueWindow> catalogue = main->listView()->openAddWindow();
        QCOMPARE(catalogue->windowTitle(), QStringLiteral("Add Lightshow"));
        QCOMPARE(catalogue->size(), QSize(700, 700));
        QVERIFY(QTest::qWaitForWindowActive(catalogue));
        // A further "Add" opens a further window; the first stays.
        QPointer<CatalogueWindow> second = main->listView()->openAddWindow();
        QVERIFY(second != catalogue);
        QVERIFY(catalogue);
        catalogue->showMinimized();
        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
        // The first catalogue window is not the active one: it stays open.
        catalogue->searchView()->movieDetails()->setMovie(
            catalogue::TMDBMovie { 90008, QStringLiteral("Charade"), {}, {}, {} });
        catalogue->searchView()->movieDetails()->createButton()->click();
        QVERIFY(studio.environment().recordingWindows.current());
        QTest::qWait(50);
        QVERIFY(catalogue);
        QVERIFY(second);
    }

    void withoutScreenCaptureTheBannerShows()
    {
        auto manager = newManager();
        UploadQueue uploads(*manager);
        RecordingView view(*manager, uploads, screencapture::createCaptureBackend("null"));
        view.resize(800, 600);
        view.show();
        QTRY_VERIFY(view.hasCheckedPermission());
        QVERIFY(view.isUnauthorized());
        QVERIFY(view.disableInput());
        QVERIFY(view.permissionBanner()->isVisible());
        QVERIFY(!view.configurationView()->isEnabled());
        QStringList texts;
        for (QLabel* label : view.permissionBanner()->findChildren<QLabel*>())
            texts << label->text();
        QCOMPARE(texts.first(), QStringLiteral("No screen recording permission."));
        QVERIFY(texts.last().contains(QStringLiteral("X11")));
        QVERIFY(!view.screenRecorder().isRunning());
        QCOMPARE(view.screenRecorder().contentSize(), QSizeF(1, 1));
        QCOMPARE(view.preview()->width(), view.preview()->height());
    }

    void swatchSamplesLikeARecording()
    {
        // A frame whose left third is red and the rest blue.
        screencapture::Surface surface;
        surface.width = 30;
        surface.height = 30;
        surface.bytesPerRow = 30 * 4;
        auto pixels
            = std::shared_ptr<std::uint8_t>(new std::uint8_t[30 * 30 * 4], std::default_delete<std::uint8_t[]>());
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 30; ++x) {
                std::uint8_t* p = pixels.get() + (y * 30 + x) * 4;
                p[0] = x < 10 ? 0 : 255; // blue
                p[1] = 0;
                p[2] = x < 10 ? 255 : 0; // red
                p[3] = 255;
            }
        }
        surface.pixels = pixels;
        const auto colours = sampleSwatch(surface, std::nullopt);
        QVERIFY(colours.has_value());
        QCOMPARE((*colours)[0], QColor(255, 0, 0)); // top left
        QCOMPARE((*colours)[8], QColor(0, 0, 255)); // bottom right
        // Cropped to the left third, all of it is red.
        const auto cropped = sampleSwatch(surface, media::Rect { 0, 0, 1.0 / 3.0, 1 });
        QVERIFY(cropped.has_value());
        QCOMPARE((*cropped)[8], QColor(255, 0, 0));
    }

    void cropFromADrag_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<bool>("cropped");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("width");
        QTest::newRow("left half") << QPoint(0, 0) << QPoint(100, 100) << true << 0.0 << 0.5;
        QTest::newRow("dragged backwards") << QPoint(200, 100) << QPoint(100, 0) << true << 0.5 << 0.5;
        QTest::newRow("beyond the edge is clamped") << QPoint(150, 0) << QPoint(400, 100) << true << 0.75 << 0.25;
        QTest::newRow("a click is no crop") << QPoint(50, 50) << QPoint(52, 51) << false << 0.0 << 0.0;
    }

    void cropFromADrag()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(bool, cropped);
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), &recorder);
        CapturePreviewView preview(screenRecorder, recorder);
        preview.resize(200, 100);
        const std::optional<media::Rect> crop = preview.cropForDrag(from, to);
        QCOMPARE(crop.has_value(), cropped);
        if (crop) {
            QTEST(crop->x, "x");
            QTEST(crop->width, "width");
            QCOMPARE(crop->y, 0.0);
            QCOMPARE(crop->height, 1.0);
        }
    }

    void aspectFit_data()
    {
        QTest::addColumn<QSizeF>("content");
        QTest::addColumn<QRectF>("area");
        QTest::addColumn<QRectF>("expected");
        QTest::newRow("before the first frame: square")
            << QSizeF(1, 1) << QRectF(8, 8, 484, 284) << QRectF(108, 8, 284, 284);
        QTest::newRow("100 by 56 in a tall pane")
            << QSizeF(100, 56) << QRectF(0, 0, 200, 400) << QRectF(0, 144, 200, 112);
        QTest::newRow("no size is square") << QSizeF(0, 0) << QRectF(0, 0, 100, 50) << QRectF(25, 0, 50, 50);
    }

    void aspectFit()
    {
        QFETCH(QSizeF, content);
        QFETCH(QRectF, area);
        QTEST(aspectFitRect(content, area), "expected");
    }

    void secondLaunchRaisesTheFirstAndHandsOverTheSignIn()
    {
        SingleInstance first(QStringLiteral("corvex-studio"));
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        SingleInstance other(QStringLiteral("corvex-studio"));
        QCOMPARE(other.claim(), SingleInstance::Role::Secondary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        QProcess launch;
        launch.setProcessEnvironment(environment);
        launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), {});
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 20000);
        QCOMPARE(messages.first().first().toByteArray(), QByteArray("activate"));
        QVERIFY(finished(launch));
        QCOMPARE(launch.exitCode(), 0);

        // A sign-in waits; the desktop starts the studio with the browser's answer.
        webauth::Session session([](const QUrl&) { return true; });
        std::optional<webauth::Session::Outcome> outcome;
        auto waiting = [](webauth::Session& s, std::optional<webauth::Session::Outcome>& out) -> QCoro::Task<> {
            out = co_await s.authenticate(
                QUrl(QStringLiteral("http://127.0.0.1:1/auth/signin")), QStringLiteral("corvexapp"));
        }(session, outcome);
        QTRY_VERIFY(session.isActive());
        QProcess answer;
        answer.setProcessEnvironment(environment);
        answer.start(QStringLiteral(CORVEX_STUDIO_BINARY), { QStringLiteral("corvexapp://callback?token=abc123") });
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 20000);
        QVERIFY(outcome->callback.has_value());
        QCOMPARE(QUrlQuery(*outcome->callback).queryItemValue(QStringLiteral("token")), QStringLiteral("abc123"));
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 2, 20000);
        QVERIFY(finished(answer));
        QCOMPARE(answer.exitCode(), 0);

        // Anything but a corvexapp: URL is refused.
        QProcess wrong;
        wrong.setProcessEnvironment(environment);
        wrong.start(QStringLiteral(CORVEX_STUDIO_BINARY), { QStringLiteral("https://example.org/") });
        QVERIFY(finished(wrong));
        QCOMPARE(wrong.exitCode(), 2);
        QVERIFY(wrong.readAllStandardError().contains("not a corvexapp: URL"));
    }
};

int main(int argc, char* argv[])
{
    corvex::testing::privateHome();
    QApplication application(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
