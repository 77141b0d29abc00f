// The studio's windows, offscreen, against the real reference service (and a
// fault-injecting server where the service would have to misbehave).

#include "studio_fixture.h"

#include "../support/fault_server.h"

#include "app/capture_preview_view.h"
#include "app/colour_swatch_view.h"
#include "app/configuration_view.h"
#include "app/elided_label.h"
#include "app/image_cache.h"
#include "app/light_show_table_model.h"
#include "app/light_shows_list_view.h"
#include "app/live_colours_section.h"
#include "app/main_window.h"
#include "app/movie_details_view.h"
#include "app/movies_search_view.h"
#include "app/panel_section.h"
#include "app/realtime_preview_section.h"
#include "app/recording_controls.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/single_instance.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "app/upload_queue.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/light_show_list_model.h"
#include "service/notifier.h"

#include "platform/dnssd/publisher.h"
#include "platform/net/udp_listener.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/webauth/session.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTableView>
#include <QToolButton>

using namespace corvex;
using namespace corvex::app;
using corvex::testing::buttonWithText;
using corvex::testing::FaultServer;

namespace {

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

// A screen with displays but no window that names its process (fault injection
// over the synthetic screen).
class NoWindowsBackend final : public screencapture::CaptureBackend {
public:
    std::string name() const override { return "no-windows"; }
    screencapture::ShareableContentResult shareableContent(bool excludingDesktop, bool onScreenOnly) override
    {
        screencapture::ShareableContentResult result = m_screen.shareableContent(excludingDesktop, onScreenOnly);
        if (result.content)
            result.content->windows.clear();
        return result;
    }
    screencapture::SourceResult createVideoSource(
        const screencapture::ContentFilter& filter, const screencapture::StreamConfiguration& configuration) override
    {
        return m_screen.createVideoSource(filter, configuration);
    }
    screencapture::SourceResult createAudioSource(const screencapture::StreamConfiguration& configuration) override
    {
        return m_screen.createAudioSource(configuration);
    }

private:
    screencapture::SyntheticBackend m_screen;
};

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
        if (corvex::testing::sharedRecorder().started())
            corvex::testing::sharedRecorder().stop();
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
            // A token the service refuses would sign the studio out, so a
            // real one, whose account is then set (or not) by hand.
            QVERIFY(corvex::testing::signIn(
                *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("button@example.org"))));
        }
        manager->setAccount(account
                ? std::optional(service::Account { QStringLiteral("a1"), QStringLiteral("a@example.org") })
                : std::nullopt);
        if (item)
            manager->setCurrentItem(corvex::testing::movieItem(90002, QStringLiteral("Nosferatu")));
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
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
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
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
        StudioApp studio(*manager, app::RecordingModels::process());
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

        // Signing in again (the old token ended with the logout) shows the
        // table and loads it at once.
        const QString again = corvex::testing::tokenFor(m_service.origin(), QStringLiteral("ada@example.org"));
        const QByteArray before = m_service.log();
        manager->setAccessToken(again);
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
        StudioApp studio(*manager, app::RecordingModels::process());
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
        StudioApp studio(*manager, app::RecordingModels::process(), {}, [&opened](const QUrl& url) {
            opened = url;
            return true;
        });
        MainWindow* window = studio.newMainWindow();
        LightShowsListView* view = window->listView();
        QVERIFY(view->isShowingPrompt());
        view->signInButton()->click();
        QTRY_VERIFY(opened.isValid());
        QVERIFY2(
            opened.toString().startsWith(m_service.origin() + "/auth/signin?redirectUri=corvexapp://callback&state="),
            qPrintable(opened.toString()));
        QVERIFY(!view->signInButton()->isEnabled());

        // The browser's answer reaches the studio through a second launch, as the desktop does it.
        const QUrl callback = QCoro::waitFor(
            corvex::testing::submitSignInForm(m_service.origin(), QStringLiteral("browser@example.org"),
                QStringLiteral("correct horse"), QUrlQuery(opened).queryItemValue(QStringLiteral("state"))));
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
        StudioApp studio(*manager, app::RecordingModels::process(), {}, [](const QUrl&) { return true; });
        LightShowsListView* view = studio.newMainWindow()->listView();
        view->signInButton()->click();
        QTRY_VERIFY(studio.environment().signInSession.isActive());
        studio.environment().signInSession.cancel();
        QTRY_VERIFY(view->signInButton()->isEnabled());
        QVERIFY(view->isShowingPrompt());
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
        StudioApp studio(*manager, app::RecordingModels::process());
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
        StudioApp studio(*manager, app::RecordingModels::process());
        auto* window = new CatalogueWindow(studio.environment());
        window->showCentred();
        QVERIFY(corvex::testing::waitForActive(window));
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
        StudioApp studio(*manager, app::RecordingModels::process());
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
        StudioApp studio(*manager, app::RecordingModels::process());
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
        StudioApp studio(*manager, app::RecordingModels::process());
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
        QVERIFY(corvex::testing::sharedRecorder().started());
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
        QTRY_VERIFY(corvex::testing::sharedRecorder().frameCount() > 2);
        QTRY_VERIFY(panel->recordingControls()->elapsed()->text().startsWith(QStringLiteral("● 00:0")));
        QTRY_VERIFY(panel->recordingControls()->frames()->text().endsWith(QStringLiteral(" frames")));

        QSignalSpy refreshed(&service::Notifier::instance(), &service::Notifier::refreshLightShows);
        panel->recordingButton()->click();
        QVERIFY(!corvex::testing::sharedRecorder().started());
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

    void recordingWindowFeedsTheRecorderItIsGiven()
    {
        // A studio given a recorder and a preview link of its own records into
        // them, never into the process's pair.
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("own@example.org"))));
        preview_link::UDPManager previewLink;
        analysis::AnalysisRecorder recorder(&previewLink);
        StudioApp studio(*manager, RecordingModels { recorder, previewLink });
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90003, QStringLiteral("The General")));
        QVERIFY(window);
        RecordingView* view = window->view();
        QTRY_VERIFY(view->screenRecorder().isRunning());
        view->configurationView()->recordingButton()->click();
        QVERIFY(recorder.started());
        QVERIFY(!corvex::testing::sharedRecorder().started());
        QTRY_VERIFY(recorder.frameCount() > 2);
        // Closing asks first, since it is this recording that would be lost.
        window->close();
        QVERIFY(window->closeConfirmation());
        QVERIFY(window->isVisible());
        recorder.stop();
    }

    void uploadFailureIsShownAndRetried()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u1","email":"u1@example.org"})" });
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 500, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-for-the-fault-server")));
        StudioApp studio(*manager, app::RecordingModels::process());
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
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::NotUploaded);
        QCOMPARE(window->view()->preview()->note(), QStringLiteral("Not uploaded yet"));
        QCOMPARE(refreshed.count(), 0);
        QCOMPARE(manager->outbox()->entries().size(), 1);
        QTRY_COMPARE(main->outboxLabel()->fullText(), QStringLiteral("1 recording is waiting to be uploaded."));
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
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        QCOMPARE(window->view()->preview()->note(), QStringLiteral("Uploaded"));
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
        StudioApp studio(*manager, app::RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        QCOMPARE(main->outboxLabel()->fullText(), QStringLiteral("1 recording is waiting to be uploaded."));
        main->retryButton()->click();
        QTRY_VERIFY(main->outboxLabel()->fullText().startsWith(QStringLiteral("1 of 1 could not be uploaded")));
        server.setAnswer("POST", "/tvapi/lightshow/tv/91001/1/2", { 200, "{}" });
        main->retryButton()->click();
        QTRY_COMPARE(main->outboxLabel()->fullText(), QStringLiteral("The waiting recording was uploaded."));
        QVERIFY(!main->retryButton()->isVisibleTo(main));
    }

    void signingOutWhileRecordingKeepsTheRecording()
    {
        auto manager = newManager();
        const QString authorToken = corvex::testing::tokenFor(m_service.origin(), QStringLiteral("out@example.org"));
        QVERIFY(corvex::testing::signIn(*manager, authorToken));
        const QString author = manager->account()->id;
        StudioApp studio(*manager, app::RecordingModels::process());
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90005, QStringLiteral("A Trip to the Moon")));
        ConfigurationView* panel = window->view()->configurationView();
        panel->recordingButton()->click();
        QVERIFY(corvex::testing::sharedRecorder().started());
        manager->setAccessToken(std::nullopt);
        manager->setAccount(std::nullopt);
        QVERIFY(panel->recordingButton()->isEnabled());
        panel->recordingButton()->click();
        QVERIFY(!corvex::testing::sharedRecorder().started());
        QVERIFY(!panel->recordingButton()->isEnabled());
        QTRY_VERIFY(panel->uploadStatus()->text().contains(QStringLiteral("not signed in")));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(manager->outbox()->entries().size(), 1);
        QCOMPARE(manager->outbox()->entries().first().accountId, author);

        // Someone else signs in: Retry does not hand the recording to them.
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("other@example.org"))));
        panel->retryButton()->click();
        QTRY_VERIFY2(panel->uploadStatus()->text().contains(QStringLiteral("another account, account ") + author),
            qPrintable(panel->uploadStatus()->text()));
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
        StudioApp studio(*manager, app::RecordingModels::process());
        RecordingWindows& windows = studio.environment().recordingWindows;
        QPointer<RecordingWindow> window
            = windows.openRecordingWindow(corvex::testing::movieItem(90006, QStringLiteral("Sherlock Jr.")));
        window->view()->configurationView()->recordingButton()->click();
        QVERIFY(corvex::testing::sharedRecorder().started());

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
        QVERIFY(corvex::testing::sharedRecorder().started());

        QSignalSpy refreshed(&service::Notifier::instance(), &service::Notifier::refreshLightShows);
        window->close();
        buttonWithText(window->closeConfirmation(), QStringLiteral("Save and Close"))->click();
        QTRY_VERIFY(!window);
        QVERIFY(!corvex::testing::sharedRecorder().started());
        QTRY_COMPARE(refreshed.count(), 1); // uploaded after the window went

        QPointer<RecordingWindow> next
            = windows.openRecordingWindow(corvex::testing::movieItem(90007, QStringLiteral("His Girl Friday")));
        QVERIFY(next);
        next->view()->configurationView()->recordingButton()->click();
        next->close();
        buttonWithText(next->closeConfirmation(), QStringLiteral("Discard"))->click();
        QTRY_VERIFY(!next);
        QVERIFY(!corvex::testing::sharedRecorder().started());
        QTest::qWait(100);
        QCOMPARE(refreshed.count(), 1);
    }

    void withoutAnActiveWindowNothingCloses()
    {
        auto manager = newManager();
        StudioApp studio(*manager, app::RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        QPointer<CatalogueWindow> catalogue = main->listView()->openAddWindow();
        QCOMPARE(catalogue->windowTitle(), QStringLiteral("Add Lightshow"));
        QCOMPARE(catalogue->size(), QSize(700, 700));
        QVERIFY(corvex::testing::waitForActive(catalogue));
        // A further "Add" opens a further window; the first stays.
        QPointer<CatalogueWindow> second = main->listView()->openAddWindow();
        QVERIFY(second != catalogue);
        QVERIFY(catalogue);
        catalogue->showMinimized();
        QVERIFY(corvex::testing::activate(main));
        // The first catalogue window is not the active one: it stays open.
        catalogue->searchView()->movieDetails()->setMovie(
            catalogue::TMDBMovie { 90008, QStringLiteral("Charade"), {}, {}, {} });
        catalogue->searchView()->movieDetails()->createButton()->click();
        QVERIFY(studio.environment().recordingWindows.current());
        QTest::qWait(50);
        QVERIFY(catalogue);
        QVERIFY(second);
    }

    // The banner tells what is missing on each road: on X11 the display, on
    // Wayland the desktop's screen-cast portal.
    void withoutScreenCaptureTheBannerShows_data()
    {
        QTest::addColumn<QString>("road");
        QTest::addColumn<QString>("advice");
        QTest::newRow("no capture at all") << "null"
                                           << "X11";
        QTest::newRow("Wayland without a screen-cast portal") << "portal"
                                                              << "screen-cast portal";
    }
    void withoutScreenCaptureTheBannerShows()
    {
        QFETCH(QString, road);
        QFETCH(QString, advice);
        QTemporaryDir settings;
        std::shared_ptr<screencapture::CaptureBackend> backend;
        if (road == QLatin1StringView("portal")) {
            screencapture::portal::PortalBackend::Options options;
            options.address.service = "org.corvex.test.NoScreenCastPortalHere";
            options.store = screencapture::portal::settingsChoiceStore(
                settings.filePath(QStringLiteral("corvex.ini")).toStdString());
            backend = screencapture::portal::PortalBackend::create(options);
        } else {
            backend = screencapture::createCaptureBackend(road.toStdString());
        }
        auto manager = newManager();
        UploadQueue uploads(*manager);
        RecordingView view(*manager, uploads, corvex::testing::sharedRecorder(), preview_link::UDPManager::shared(),
            std::move(backend));
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
        QVERIFY2(texts.last().contains(advice), qPrintable(texts.last()));
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
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
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

    // A second launch whose request goes nowhere says why, for its error line.
    void secondLaunchSaysWhyTheRequestFailed_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nobody listens") << QByteArray("activate")
                                        << "Corvex Studio is already running but does not answer (nobody is listening)";
        QTest::newRow("not one line") << QByteArray("activate\nquit")
                                      << "Corvex Studio did not take the request: the message holds control characters";
    }

    void secondLaunchSaysWhyTheRequestFailed()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, reason);
        const SingleInstance nobody(
            QStringLiteral("corvex-studio-nobody-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const auto sent = nobody.send(message, 200);
        QVERIFY(!sent);
        QCOMPARE(sent.error, reason);
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

    // ---- A service down at launch, and the Refresh action ----

    void accountAndListComeBackWithTheService()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 503, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 503, "{}" });
        auto manager = newManager(server.origin());
        manager->setAccessToken(QStringLiteral("token-while-down"));
        manager->setCurrentItem(corvex::testing::movieItem(90011, QStringLiteral("Metropolis")));
        StudioApp studio(*manager, app::RecordingModels::process());
        studio.environment().accountRetry.backoff().setDelays(20, 200);
        LightShowsListView* view = studio.newMainWindow()->listView();
        view->listRetry().setDelays(20, 200);
        QTRY_VERIFY(view->errorLabel()->isVisibleTo(view));
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        ConfigurationView panel(
            screenRecorder, recorder, preview_link::UDPManager::shared(), *manager, studio.environment().uploads);
        QVERIFY(!panel.recordingButton()->isEnabled());
        // Why is said in the panel, not only in a tooltip.
        QVERIFY(panel.recordingControls()->reason()->isVisibleTo(&panel));

        // Asked again and again while the service fails, not once.
        auto accountRequests = [&server] {
            int count = 0;
            for (const FaultServer::Received& request : server.received())
                count += request.target == "/auth/account" ? 1 : 0;
            return count;
        };
        QTRY_VERIFY_WITH_TIMEOUT(accountRequests() >= 3, 10000);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u9","email":"u9@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        QTRY_VERIFY_WITH_TIMEOUT(manager->account().has_value(), 10000);
        QVERIFY(panel.recordingButton()->isEnabled());
        QVERIFY(!panel.recordingControls()->reason()->isVisibleTo(&panel));
        QTRY_VERIFY_WITH_TIMEOUT(!view->model().isLoading() && !view->model().error(), 10000);
        QVERIFY(!view->errorLabel()->isVisibleTo(view));
    }

    void refreshReloadsTheLibrary()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u10","email":"u10@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 503, "{}" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-refresh")));
        StudioApp studio(*manager, app::RecordingModels::process());
        MainWindow* window = studio.newMainWindow();
        LightShowsListView* view = window->listView();
        view->listRetry().setDelays(3600000, 3600000); // only the author asks again here
        QTRY_VERIFY(view->errorLabel()->isVisibleTo(view));
        QVERIFY(view->retryNote()->isVisibleTo(view));
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });

        QVERIFY(view->refreshAction()->shortcuts().contains(QKeySequence(Qt::Key_F5)));
        QVERIFY(corvex::testing::waitForActive(window));
        QTest::keyClick(window, Qt::Key_F5);
        QTRY_VERIFY(!view->model().isLoading() && !view->model().error());
        QVERIFY(!view->errorLabel()->isVisibleTo(view));
        QVERIFY(!view->retryNote()->isVisibleTo(view));
        QVERIFY(view->emptyLabel()->isVisibleTo(view));
        QCOMPARE(view->emptyLabel()->text(), QStringLiteral("No light shows yet — press Add"));
    }

    // ---- Sign-in without a browser, and a hand-over that fails ----

    void signInWithoutABrowserKeepsWaiting()
    {
        auto manager = newManager();
        StudioApp studio(*manager, app::RecordingModels::process(), {}, [](const QUrl&) { return false; });
        LightShowsListView* view = studio.newMainWindow()->listView();
        view->signInButton()->click();
        QTRY_VERIFY(view->signInDialog() && view->signInDialog()->isVisible());
        QTRY_VERIFY(studio.environment().signInSession.isActive());
        QDialog* dialog = view->signInDialog();
        bool told = false;
        for (const QLabel* label : dialog->findChildren<QLabel*>())
            told = told || label->text().startsWith(QStringLiteral("No web browser could be opened."));
        QVERIFY(told);
        auto* address = dialog->findChild<QLineEdit*>();
        QVERIFY(address);
        const QString expected = address->text();
        QVERIFY2(expected.startsWith(m_service.origin() + "/auth/signin?redirectUri=corvexapp://callback&state="),
            qPrintable(expected));
        QVERIFY(address->isReadOnly());
        QPushButton* copy = nullptr;
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("Copy"))
                copy = button;
        QVERIFY(copy);
        copy->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), expected);

        // The author opens the address by hand; the answer still finds the studio.
        const QUrl callback = QCoro::waitFor(
            corvex::testing::submitSignInForm(m_service.origin(), QStringLiteral("nobrowser@example.org"),
                QStringLiteral("correct horse"), QUrlQuery(QUrl(expected)).queryItemValue(QStringLiteral("state"))));
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
    }

    void aFailedHandOverShowsInTheStudio()
    {
        auto manager = newManager();
        StudioApp studio(*manager, app::RecordingModels::process());
        LightShowsListView* view = studio.newMainWindow()->listView();
        SingleInstance first(QStringLiteral("corvex-studio"));
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy messages(&first, &SingleInstance::messageReceived);
        QObject::connect(&first, &SingleInstance::messageReceived, &studio, &StudioApp::handleLaunchMessage);

        // No sign-in waits: the browser's answer comes too late.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        QProcess answer;
        answer.setProcessEnvironment(environment);
        answer.start(QStringLiteral(CORVEX_STUDIO_BINARY), { QStringLiteral("corvexapp://callback?token=late1234") });
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 20000);
        const QByteArray message = messages.first().first().toByteArray();
        QVERIFY2(message.startsWith("signin-failed "), message.constData());
        QVERIFY(!message.contains("late1234"));
        QVERIFY(finished(answer));
        QCOMPARE(answer.exitCode(), 1);
        QTRY_VERIFY(view->signInError()->isVisibleTo(view));
        QVERIFY(view->signInError()->text().contains(QStringLiteral("did not reach the studio")));
        QVERIFY(!view->signInError()->text().contains(QStringLiteral("late1234")));
    }

    // ---- The recorded window closes mid-recording ----

    void aClosedWindowOffersSaveOrAnotherWindow()
    {
        auto manager = newManager();
        UploadQueue uploads(*manager);
        auto backend = std::make_shared<screencapture::SyntheticBackend>();
        RecordingView view(
            *manager, uploads, corvex::testing::sharedRecorder(), preview_link::UDPManager::shared(), backend);
        view.resize(800, 600);
        view.show();
        QTRY_VERIFY(view.screenRecorder().isRunning());
        ConfigurationView* panel = view.configurationView();
        QSignalSpy resized(&view.screenRecorder(), &capture::ScreenRecorder::contentSizeChanged);
        Q_EMIT panel->captureTypePicker()->activated(1);
        QTRY_VERIFY(resized.count() > 0); // frames of the window arrive
        QVERIFY(panel->windowPicker()->count() >= 2);
        corvex::testing::sharedRecorder().start();
        QVERIFY(!panel->windowPicker()->isEnabled());
        QVERIFY(!panel->captureNotice()->isVisibleTo(panel));

        backend->failRunningStreams(
            { screencapture::CaptureError::ContentUnavailable, "The window to capture is no longer open." });
        QTRY_VERIFY(panel->isWindowLost());
        QVERIFY(panel->captureNotice()->isVisibleTo(panel));
        QVERIFY(panel->captureNotice()->text().contains(QStringLiteral("was closed")));
        QVERIFY(panel->recordingButton()->isEnabled()); // "Save recording" saves what was recorded
        QVERIFY(panel->minimumSizeHint().height() <= 600);
        QCOMPARE(view.preview()->note(), QStringLiteral("The recorded window was closed"));
        QVERIFY(panel->windowPicker()->isEnabled());
        QVERIFY(!panel->captureTypePicker()->isEnabled());
        QVERIFY(corvex::testing::sharedRecorder().started());

        // Another window carries the same recording on.
        const int before = corvex::testing::sharedRecorder().frameCount();
        const int other = panel->windowPicker()->currentIndex() == 0 ? 1 : 0;
        Q_EMIT panel->windowPicker()->activated(other);
        QTRY_VERIFY(view.screenRecorder().isRunning());
        QVERIFY(!panel->isWindowLost());
        QVERIFY(!panel->captureNotice()->isVisibleTo(panel));
        QVERIFY(!view.preview()->isStopped());
        QVERIFY(corvex::testing::sharedRecorder().started());
        QTRY_VERIFY(corvex::testing::sharedRecorder().frameCount() > before);
        QVERIFY(!panel->windowPicker()->isEnabled());
    }

    // ---- Icons and palettes ----

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
            QDir().mkpath(folder + QStringLiteral("/24x24/actions"));
            QFile index(folder + QStringLiteral("/index.theme"));
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
                QVERIFY(image.save(folder + QStringLiteral("/24x24/actions/") + themeIconName(StudioIcon(kind))
                    + QStringLiteral(".png")));
            }
        }
        const QStringList oldPaths = QIcon::themeSearchPaths();
        const QString oldTheme = QIcon::themeName();
        QIcon::setThemeSearchPaths({ themes.path() });
        QIcon::setThemeName(theme);
        for (int kind = 0; kind <= int(StudioIcon::Copy); ++kind) {
            const QIcon icon = studioIcon(StudioIcon(kind), background);
            QVERIFY2(iconContrast(icon, background) >= 0.35, qPrintable(themeIconName(StudioIcon(kind))));
        }
        // A theme icon that reads is the desktop's, not ours.
        const bool themeReads = (theme == QStringLiteral("light-icons")) == (background == QColor(Qt::black));
        if (!theme.isEmpty() && themeReads) {
            const QImage ours = studioIcon(StudioIcon::Add, background).pixmap(24).toImage();
            QCOMPARE(ours.pixelColor(12, 12).lightness() > 128, theme == QStringLiteral("light-icons"));
            QCOMPARE(ours.pixelColor(2, 12).alpha(), 0); // the theme's square, not our cross
        }
        QIcon::setThemeSearchPaths(oldPaths);
        QIcon::setThemeName(oldTheme);
    }

    void windowsFollowTheDesktopPalette_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("text");
        QTest::addRow("light") << QColor(239, 239, 239) << QColor(20, 20, 20);
        QTest::addRow("dark") << QColor(42, 42, 46) << QColor(230, 230, 230);
    }

    void windowsFollowTheDesktopPalette()
    {
        QFETCH(QColor, window);
        QFETCH(QColor, text);
        const QPalette old = QApplication::palette();
        QPalette desktop = old;
        desktop.setColor(QPalette::Window, window);
        desktop.setColor(QPalette::WindowText, text);
        QApplication::setPalette(desktop);
        {
            auto manager = newManager();
            QVERIFY(corvex::testing::signIn(
                *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("palette@example.org"))));
            StudioApp studio(*manager, app::RecordingModels::process());
            MainWindow* main = studio.newMainWindow();
            // The main window stays black; what is on it reads on black.
            QCOMPARE(main->palette().color(QPalette::Window), QColor(Qt::black));
            for (QAction* action : { main->listView()->logoutAction(), main->listView()->addAction(),
                     main->listView()->deleteAction(), main->listView()->refreshAction() })
                QVERIFY2(iconContrast(action->icon(), Qt::black) >= 0.35, qPrintable(action->text()));
            // Its dialogs and the other windows are the desktop's.
            main->listView()->logoutAction()->trigger();
            QMessageBox* box = main->listView()->confirmation();
            QVERIFY(box);
            QCOMPARE(box->palette().color(QPalette::Window), window);
            box->reject();
            CatalogueWindow* catalogue = main->listView()->openAddWindow();
            QCOMPARE(catalogue->palette().color(QPalette::Window), window);
            QVERIFY(iconContrast(catalogue->searchView()->searchButton()->icon(), window) >= 0.35);
            catalogue->close();
        }
        QApplication::setPalette(old);
    }

    // ---- Recording state, Discard, and what a save leaves ----

    void recordingIsUnmistakableAndCanBeDiscarded()
    {
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("state@example.org"))));
        StudioApp studio(*manager, app::RecordingModels::process());
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90012, QStringLiteral("Safety Last!")));
        RecordingView* view = window->view();
        ConfigurationView* panel = view->configurationView();
        RecordingControls* controls = panel->recordingControls();
        QVERIFY(!panel->discardButton()->isVisibleTo(panel));
        QVERIFY(!controls->elapsed()->isVisibleTo(panel));
        const QString idleStyle = panel->recordingButton()->styleSheet();

        panel->recordingButton()->click();
        QVERIFY(panel->recordingButton()->styleSheet() != idleStyle);
        QVERIFY(panel->recordingButton()->styleSheet().contains(RecordingControls::recordColour().name()));
        QVERIFY(controls->elapsed()->isVisibleTo(panel));
        QVERIFY(controls->elapsed()->font().pointSizeF() > QApplication::font().pointSizeF() * 1.4);
        QCOMPARE(controls->elapsed()->palette().color(QPalette::WindowText), RecordingControls::recordColour());
        QTRY_VERIFY(controls->elapsed()->text().contains(QStringLiteral("00:0")));
        QTRY_VERIFY(controls->frames()->text().endsWith(QStringLiteral(" frames")));
        QVERIFY(panel->discardButton()->isVisibleTo(panel));

        // Discard asks first; Return on the question keeps the recording.
        panel->discardButton()->click();
        QMessageBox* box = panel->discardConfirmation();
        QVERIFY(box);
        QCOMPARE(box->defaultButton(), buttonWithText(box, QStringLiteral("Cancel")));
        QTest::keyClick(box, Qt::Key_Return);
        QVERIFY(corvex::testing::sharedRecorder().started());
        panel->discardButton()->click();
        buttonWithText(panel->discardConfirmation(), QStringLiteral("Discard"))->click();
        QVERIFY(!corvex::testing::sharedRecorder().started());
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::Discarded);
        QCOMPARE(view->preview()->note(), QStringLiteral("Discarded"));
        QCOMPARE(manager->outbox()->entries().size(), 0);

        // A saved recording leaves a plain "Uploaded", not a warning sign.
        panel->recordingButton()->click();
        QVERIFY(view->preview()->note().isEmpty());
        QTRY_VERIFY(corvex::testing::sharedRecorder().frameCount() > 2);
        panel->recordingButton()->click();
        QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        QVERIFY(view->preview()->isStopped());
        QCOMPARE(view->preview()->note(), QStringLiteral("Uploaded"));
    }

    void theLiveColoursHaveTheirOwnPlace()
    {
        auto manager = newManager();
        UploadQueue uploads(*manager);
        RecordingView view(*manager, uploads, corvex::testing::sharedRecorder(), preview_link::UDPManager::shared(),
            screencapture::createCaptureBackend("synthetic"));
        view.resize(800, 600);
        view.show();
        ConfigurationView* panel = view.configurationView();
        QTRY_VERIFY(panel->swatch()->colours().has_value());
        QCOMPARE(panel->liveColoursSection()->heading()->text(), QStringLiteral("Live colours"));
        QVERIFY(panel->swatch()->parentWidget() == panel->liveColoursSection());
        // Each of the nine cells is large enough to see.
        QVERIFY(panel->swatch()->width() / 3 >= 60);
        QVERIFY(panel->swatch()->height() / 3 >= 14);
    }

    // ---- Messages that stay true ----

    void messagesGoWhenTheirCauseDoes()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u11","email":"u11@example.org"})" });
        server.setAnswer("POST", "/tvapi/lightshow/movie/90013", { 500, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-messages")));
        StudioApp studio(*manager, app::RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90013, QStringLiteral("The Kid")));
        ConfigurationView* panel = window->view()->configurationView();
        panel->recordingButton()->click();
        panel->recordingButton()->click();
        QTRY_VERIFY(panel->retryButton()->isVisibleTo(panel));
        main->retryButton()->click();
        QTRY_VERIFY(main->outboxLabel()->fullText().startsWith(QStringLiteral("1 of 1 could not be uploaded")));
        // Long messages are cut at the window's edge with the whole text in the tooltip.
        main->resize(main->minimumSize());
        QCOMPARE(main->outboxLabel()->toolTip(), main->outboxLabel()->fullText());
        QVERIFY(main->outboxLabel()->width() <= main->width());

        // The panel's Retry succeeds: nothing waits, so nothing "could not be uploaded".
        server.setAnswer("POST", "/tvapi/lightshow/movie/90013", { 200, "{}" });
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."));
        QTRY_VERIFY(!main->outboxLabel()->fullText().contains(QStringLiteral("could not")));

        // "Uploaded" is gone with the next recording, and with the author.
        panel->recordingButton()->click();
        QVERIFY(panel->uploadStatus()->text().isEmpty());
        panel->recordingButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), QStringLiteral("The recording was uploaded."));
        main->listView()->signOut();
        QVERIFY(panel->uploadStatus()->text().isEmpty());
    }

    void aFailedDeleteSaysSoAndKeepsTheSelection()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u12","email":"u12@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows",
            { 200,
                R"({"results":[{"id":"a","tmdb_id":1,"season":0,"episode":0,"type":"movie","author_id":"u12","created_at":"2026-01-01T10:00:00Z","title":"One"},)"
                R"({"id":"b","tmdb_id":2,"season":0,"episode":0,"type":"movie","author_id":"u12","created_at":"2026-01-02T10:00:00Z","title":"Two"}]})" });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/a", { 500, "{}" });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/b", { 500, "{}" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-delete")));
        StudioApp studio(*manager, app::RecordingModels::process());
        LightShowsListView* view = studio.newMainWindow()->listView();
        QTRY_COMPARE(view->model().shows().size(), 2);
        view->table()->selectAll();
        QCOMPARE(view->model().selection().size(), 2);
        view->deleteAction()->trigger();
        QMessageBox* box = view->confirmation();
        QCOMPARE(box->defaultButton(), buttonWithText(box, QStringLiteral("Cancel")));
        buttonWithText(box, QStringLiteral("Delete"))->click();
        QTRY_VERIFY(view->actionError()->isVisibleTo(view));
        QVERIFY(!view->isDeleting());
        QVERIFY(view->actionError()->fullText().startsWith(QStringLiteral("2 of 2 light shows could not be deleted")));
        QVERIFY(view->actionError()->fullText().contains(QStringLiteral("500")));
        QCOMPARE(view->model().shows().size(), 2);
        QCOMPARE(view->table()->selectionModel()->selectedRows().size(), 2);
        QCOMPARE(view->model().selection().size(), 2);
        QVERIFY(view->deleteAction()->isEnabled());

        // The service answers again: the next try deletes and the message goes.
        server.setAnswer("DELETE", "/tvapi/me/lightshows/a", { 200, "{}" });
        server.setAnswer("DELETE", "/tvapi/me/lightshows/b", { 200, "{}" });
        view->deleteAction()->trigger();
        buttonWithText(view->confirmation(), QStringLiteral("Delete"))->click();
        QTRY_COMPARE(view->model().shows().size(), 0);
        QVERIFY(!view->actionError()->isVisibleTo(view));
    }

    // ---- Empty lists say why ----

    void emptyPickersSayWhy()
    {
        auto manager = newManager();
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(std::make_shared<NoWindowsBackend>(), recorder);
        UploadQueue uploads(*manager);
        ConfigurationView view(screenRecorder, recorder, preview_link::UDPManager::shared(), *manager, uploads);
        view.show();
        QCoro::waitFor(screenRecorder.refreshAvailableContent());
        Q_EMIT view.captureTypePicker()->activated(1);
        QCOMPARE(view.windowPicker()->count(), 0);
        QVERIFY(view.videoSection()->emptyHint()->isVisibleTo(&view));
        QCOMPARE(view.videoSection()->emptyHint()->text(),
            QStringLiteral("No windows to record: windows that do not name their process are left out"));
        Q_EMIT view.captureTypePicker()->activated(0);
        QVERIFY(!view.videoSection()->emptyHint()->isVisibleTo(&view));

        // A fresh look at the network has found nothing yet.
        preview_link::UDPManager::shared().udpClient().startDiscovery();
        QVERIFY(view.previewSection()->emptyHint()->isVisibleTo(&view));
        QCOMPARE(view.previewSection()->emptyHint()->text(), QStringLiteral("No light receivers found on the network"));
    }

    // ---- The library sorts ----

    void createdAtNamesATime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("msecs"); // -1: not a time
        QTest::addRow("utc") << "2026-01-02T10:00:00Z" << qint64(1767348000000);
        QTest::addRow("offset") << "2026-01-02T09:00:00-03:00" << qint64(1767355200000);
        QTest::addRow("fraction") << "2026-01-02T10:00:00.250Z" << qint64(1767348000250);
        QTest::addRow("garbage") << "yesterday" << qint64(-1);
        QTest::addRow("empty") << "" << qint64(-1);
    }

    void createdAtNamesATime()
    {
        QFETCH(QString, text);
        QFETCH(qint64, msecs);
        const std::optional<qint64> time = createdAtTime(text);
        QCOMPARE(time.value_or(-1), msecs);
    }

    void columnsSortOnAHeaderClick()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u13","email":"u13@example.org"})" });
        // Text order and time order differ: 09:00 at -03:00 is the latest moment.
        server.setAnswer("GET", "/tvapi/me/lightshows",
            { 200,
                R"({"results":[)"
                R"({"id":"late","tmdb_id":3,"season":2,"episode":1,"type":"tv","author_id":"u13","created_at":"2026-01-02T09:00:00-03:00","title":"beta"},)"
                R"({"id":"early","tmdb_id":1,"season":0,"episode":0,"type":"movie","author_id":"u13","created_at":"2025-12-31T23:00:00Z","title":"Gamma"},)"
                R"({"id":"middle","tmdb_id":2,"season":1,"episode":7,"type":"tv","author_id":"u13","created_at":"2026-01-02T10:00:00Z","title":"Alpha"}]})" });
        auto manager = newManager(server.origin());
        QVERIFY(corvex::testing::signIn(*manager, QStringLiteral("token-sort")));
        StudioApp studio(*manager, app::RecordingModels::process());
        LightShowsListView* view = studio.newMainWindow()->listView();
        QTRY_COMPARE(view->model().shows().size(), 3);
        QAbstractItemModel* table = view->table()->model();
        auto column = [table](int index) {
            QStringList texts;
            for (int row = 0; row < table->rowCount(); ++row)
                texts << table->index(row, index).data().toString();
            return texts;
        };
        // As received until a header is clicked.
        QCOMPARE(column(LightShowTableModel::TitleColumn), (QStringList { "beta", "Gamma", "Alpha" }));
        QHeaderView* header = view->table()->horizontalHeader();
        auto click = [header](int section) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                QPoint(
                    header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2));
        };
        view->window()->show();
        click(LightShowTableModel::CreatedColumn);
        QCOMPARE(column(LightShowTableModel::CreatedColumn),
            (QStringList { "2025-12-31T23:00:00Z", "2026-01-02T10:00:00Z", "2026-01-02T09:00:00-03:00" }));
        click(LightShowTableModel::CreatedColumn);
        QCOMPARE(column(LightShowTableModel::CreatedColumn).first(), QStringLiteral("2026-01-02T09:00:00-03:00"));
        click(LightShowTableModel::TitleColumn);
        QCOMPARE(column(LightShowTableModel::TitleColumn), (QStringList { "Alpha", "beta", "Gamma" }));
        click(LightShowTableModel::SeasonEpisodeColumn);
        QCOMPARE(column(LightShowTableModel::SeasonEpisodeColumn), (QStringList { "Movie", "S01E07", "S02E01" }));

        // The selection follows the rows, not their places.
        view->table()->selectRow(2);
        QCOMPARE(view->model().selection(), QSet<QString> { QStringLiteral("late") });
    }

    // ---- The keyboard ----

    void theFileMenuReachesTheLibrary()
    {
        auto manager = newManager();
        QVERIFY(corvex::testing::signIn(
            *manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("keys@example.org"))));
        StudioApp studio(*manager, app::RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        LightShowsListView* view = main->listView();
        QMenu* file = main->menuBar()->findChild<QMenu*>();
        QVERIFY(file);
        const QList<QAction*> actions = file->actions();
        for (QAction* action :
            { view->addAction(), view->deleteAction(), view->logoutAction(), view->refreshAction() }) {
            QVERIFY2(actions.contains(action), qPrintable(action->text()));
            QVERIFY2(!action->shortcut().isEmpty(), qPrintable(action->text()));
        }
        QCOMPARE(view->deleteAction()->shortcut(), QKeySequence(QKeySequence::Delete));
        QSet<QKeySequence> keys;
        for (QAction* action : actions)
            for (const QKeySequence& key : action->shortcuts())
                QVERIFY2(!keys.contains(key) && (keys.insert(key), true), qPrintable(key.toString()));

        // Return on the log-out question keeps the author signed in.
        QVERIFY(corvex::testing::waitForActive(main));
        QTest::keySequence(main, view->logoutAction()->shortcut());
        QMessageBox* box = view->confirmation();
        QVERIFY(box);
        QCOMPARE(box->defaultButton(), buttonWithText(box, QStringLiteral("Cancel")));
        QTest::keyClick(box, Qt::Key_Return);
        QVERIFY(manager->accessToken().has_value());

        // Signed out, the library's actions are greyed in the menu.
        view->signOut();
        QVERIFY(!view->addAction()->isEnabled());
        QVERIFY(!view->logoutAction()->isEnabled());
        QVERIFY(!view->refreshAction()->isEnabled());
    }

    void catalogueResultsMoveWithTheArrows()
    {
        auto manager = newManager();
        StudioApp studio(*manager, app::RecordingModels::process());
        QPointer<CatalogueWindow> window = new CatalogueWindow(studio.environment());
        window->showCentred();
        QVERIFY(corvex::testing::waitForActive(window));
        MoviesSearchView* search = window->searchView();
        searchFor(search, QStringLiteral("the"));
        QTRY_VERIFY(search->results().size() >= 2 && !search->isLoading());
        QVERIFY(search->searchField()->hasFocus());
        QTest::keyClick(search->searchField(), Qt::Key_Down);
        QTRY_VERIFY(search->selectedMovie() || search->selectedTVShow());
        QTRY_VERIFY(search->resultRows().value(0) && search->resultRows().value(0)->hasFocus());
        const auto first = search->selectedMovie() ? search->selectedMovie()->id : search->selectedTVShow()->id;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QTRY_VERIFY(search->resultRows().value(1) && search->resultRows().value(1)->hasFocus());
        const auto second = search->selectedMovie() ? search->selectedMovie()->id : search->selectedTVShow()->id;
        QVERIFY(first != second);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
        QTRY_VERIFY(search->resultRows().value(0) && search->resultRows().value(0)->hasFocus());

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QTRY_VERIFY(!window);
        QPointer<CatalogueWindow> another = new CatalogueWindow(studio.environment());
        another->showCentred();
        QVERIFY(corvex::testing::waitForActive(another));
        QTest::keySequence(another, QKeySequence::Close);
        QTRY_VERIFY(!another);
    }

    void prominentButtonsShowFocus()
    {
        QPushButton button(QStringLiteral("Sign In"));
        text_styles::makeProminent(&button);
        QVERIFY(button.styleSheet().contains(QStringLiteral("QPushButton:focus")));
    }

    // ---- Sizes ----

    void theRecordingWindowKeepsAUsableSize()
    {
        auto manager = newManager();
        StudioApp studio(*manager, app::RecordingModels::process());
        RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(
            corvex::testing::movieItem(90014, QStringLiteral("Modern Times")));
        // The panel fits the window's 600 points, idle and recording.
        ConfigurationView* panel = window->view()->configurationView();
        QVERIFY2(
            panel->minimumSizeHint().height() <= 600, qPrintable(QString::number(panel->minimumSizeHint().height())));
        panel->recordingButton()->setEnabled(true);
        corvex::testing::sharedRecorder().start();
        QVERIFY2(
            panel->minimumSizeHint().height() <= 600, qPrintable(QString::number(panel->minimumSizeHint().height())));
        corvex::testing::sharedRecorder().stop();
        window->resize(100, 100);
        QVERIFY(window->width() >= RecordingView::kPanelWidth + RecordingView::kMinimumPreviewWidth);
        QTRY_VERIFY(window->view()->preview()->width() > 200 || window->view()->preview()->height() > 200);
        // The divider cannot move (the panel has a fixed width), so it does not offer to.
        QSplitterHandle* handle = window->view()->splitter()->handle(1);
        QVERIFY(!handle->isEnabled());
        QVERIFY(handle->cursor().shape() != Qt::SplitHCursor);
        QVERIFY(window->view()->splitter()->handleWidth() <= 1);
        window->close();
    }

    void aReceiverThatStopsAnsweringIsMarked()
    {
        // A receiver announced on this machine at a port where nobody listens.
        std::uint16_t closedPort = 0;
        {
            net::UdpListener probe;
            QVERIFY(!probe.listen(0, true));
            closedPort = probe.port();
        }
        const QString name = QStringLiteral("Gone receiver %1").arg(QCoreApplication::applicationPid());
        dnssd::Publisher publisher;
        QSignalSpy published(&publisher, &dnssd::Publisher::published);
        publisher.publish(name, QString::fromLatin1(preview_link::kLightReceiverServiceType), closedPort);
        QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);

        auto manager = newManager();
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        UploadQueue uploads(*manager);
        preview_link::UDPManager& udp = preview_link::UDPManager::shared();
        ConfigurationView view(screenRecorder, recorder, udp, *manager, uploads);
        view.show();
        QComboBox* picker = view.receiverPicker();
        QTRY_VERIFY_WITH_TIMEOUT(picker->findText(name) > 0, 10000);
        QVERIFY(!view.previewSection()->emptyHint()->isVisibleTo(&view));
        Q_EMIT picker->activated(picker->findText(name));
        QCOMPARE(udp.selectedService()->name, name);
        QVERIFY(!view.previewSection()->problem()->isVisibleTo(&view));

        udp.udpClient().send(QByteArrayLiteral("{}"), *udp.selectedService());
        QTRY_VERIFY_WITH_TIMEOUT(view.previewSection()->problem()->isVisibleTo(&view), 10000);
        QVERIFY(view.previewSection()->problem()->text().contains(name));
        QCOMPARE(picker->currentText(), name + QStringLiteral(" (not answering)"));

        // Choosing "None" ends the complaint.
        Q_EMIT picker->activated(0);
        QVERIFY(!view.previewSection()->problem()->isVisibleTo(&view));
        QCOMPARE(picker->findText(name + QStringLiteral(" (not answering)")), -1);
        publisher.unpublish();
    }

    // A datagram the system refuses to send (too large here; a full buffer or
    // no route elsewhere) leaves the connection up: the panel says so once per
    // cause while sends fail, and forgets it when they go out again.
    void sendFailuresShowInThePanel()
    {
        net::UdpListener receiver;
        QVERIFY(!receiver.listen(0, true));
        QSignalSpy datagrams(&receiver, &net::UdpListener::datagramReceived);
        const QString name = QStringLiteral("Busy receiver %1").arg(QCoreApplication::applicationPid());
        dnssd::Publisher publisher;
        QSignalSpy published(&publisher, &dnssd::Publisher::published);
        publisher.publish(name, QString::fromLatin1(preview_link::kLightReceiverServiceType), receiver.port());
        QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, 10000);

        auto manager = newManager();
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        UploadQueue uploads(*manager);
        preview_link::UDPManager& udp = preview_link::UDPManager::shared();
        ConfigurationView view(screenRecorder, recorder, udp, *manager, uploads);
        view.show();
        QComboBox* picker = view.receiverPicker();
        QTRY_VERIFY_WITH_TIMEOUT(picker->findText(name) > 0, 10000);
        Q_EMIT picker->activated(picker->findText(name));
        QLabel* problem = view.previewSection()->problem();
        QSignalSpy problems(&udp.udpClient(), &preview_link::UDPClient::sendProblemChanged);

        // Connected: the first colours arrive.
        udp.udpClient().send(QByteArrayLiteral("{}"), *udp.selectedService());
        QTRY_COMPARE_WITH_TIMEOUT(datagrams.size(), 1, 10000);
        QVERIFY(!problem->isVisibleTo(&view));

        const QByteArray tooLarge(70000, 'x');
        for (int i = 0; i < 3; ++i)
            udp.udpClient().send(tooLarge, *udp.selectedService());
        QTRY_VERIFY(problem->isVisibleTo(&view));
        QVERIFY2(problem->text().contains(name) && problem->text().contains(QStringLiteral("EMSGSIZE")),
            qPrintable(problem->text()));
        QCOMPARE(picker->currentText(), name); // it still answers: not marked as gone
        QCOMPARE(problems.size(), 1);

        udp.udpClient().send(QByteArrayLiteral("{}"), *udp.selectedService());
        QTRY_COMPARE_WITH_TIMEOUT(datagrams.size(), 2, 10000);
        QTRY_VERIFY(!problem->isVisibleTo(&view));
        QCOMPARE(problems.size(), 2);
        QVERIFY(problems.last().at(1).toString().isEmpty());
        Q_EMIT picker->activated(0);
        publisher.unpublish();
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
