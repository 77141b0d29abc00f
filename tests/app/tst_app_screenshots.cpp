// Saves a picture of each of the studio's windows (PNG) so that a reviewer
// can look at them: the library signed out and signed in, the catalogue with
// a film and with a show open, and the recording window with frames from the
// synthetic screen. The pictures go to CORVEX_SCREENSHOT_DIR, or to
// "screenshots" beside this program.

#include "studio_fixture.h"

#include "app/configuration_view.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/movies_search_view.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "capture/screen_recorder.h"
#include "service/light_show_list_model.h"

#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>

using namespace corvex;
using namespace corvex::app;

class TestAppScreenshots final : public QObject {
    Q_OBJECT

    corvex::testing::ReferenceServiceProcess m_service;
    QTemporaryDir m_folder;
    QString m_output;
    std::unique_ptr<service::AppManager> m_manager;
    std::unique_ptr<StudioApp> m_studio;
    std::shared_ptr<screencapture::SyntheticBackend> m_screen;

    void save(QWidget* window, const QString& name)
    {
        QCoreApplication::processEvents();
        const QString path = m_output + QLatin1Char('/') + name + QStringLiteral(".png");
        QVERIFY2(window->grab().save(path), qPrintable(path));
        qInfo("saved %s", qPrintable(path));
    }

    bool thumbnailsSettled(QWidget* window)
    {
        for (TMDBThumbnailView* thumbnail : window->findChildren<TMDBThumbnailView*>()) {
            if (thumbnail->state() == TMDBThumbnailView::State::Loading)
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_output = qEnvironmentVariable(
            "CORVEX_SCREENSHOT_DIR", QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"));
        QVERIFY(QDir().mkpath(m_output));
        QVERIFY(m_service.start({ QStringLiteral("--demo-catalogue") }));
        m_manager = corvex::testing::makeManager(m_service.origin(), m_folder.path());
        // No browser here: the sign-in window shows the address to open by hand.
        m_studio = std::make_unique<StudioApp>(
            *m_manager, RecordingModels::process(),
            [this] {
                m_screen = std::make_shared<screencapture::SyntheticBackend>();
                return m_screen;
            },
            [](const QUrl&) { return false; });
    }

    void cleanupTestCase()
    {
        if (corvex::testing::sharedRecorder().started())
            corvex::testing::sharedRecorder().stop();
        m_studio.reset();
        m_manager.reset();
    }

    void library()
    {
        MainWindow* window = m_studio->newMainWindow();
        QVERIFY(window->listView()->isShowingPrompt());
        save(window, QStringLiteral("library-signed-out"));
        window->listView()->signInButton()->click();
        QTRY_VERIFY(window->listView()->signInDialog() && window->listView()->signInDialog()->isVisible());
        QCoreApplication::processEvents();
        save(window->listView()->signInDialog(), QStringLiteral("sign-in-without-a-browser"));
        window->listView()->signInDialog()->reject();
        QTRY_VERIFY(!m_studio->environment().signInSession.isActive());

        QVERIFY(corvex::testing::signIn(
            *m_manager, corvex::testing::tokenFor(m_service.origin(), QStringLiteral("shots@example.org"))));
        QTRY_VERIFY(!window->listView()->model().isLoading());
        save(window, QStringLiteral("library-empty"));
        QVERIFY(corvex::testing::uploadFor(*m_manager, corvex::testing::movieItem(90001, {})));
        QVERIFY(corvex::testing::uploadFor(*m_manager, corvex::testing::movieItem(90002, {})));
        QVERIFY(corvex::testing::uploadFor(*m_manager, corvex::testing::episodeItem(91002, {}, 1, 5)));
        QVERIFY(corvex::testing::uploadFor(*m_manager, corvex::testing::episodeItem(91001, {}, 0, 1)));
        window->listView()->model().loadLightShows();
        QTRY_COMPARE(window->listView()->model().shows().size(), 4);
        QTRY_VERIFY(!window->listView()->model().isLoading());
        window->listView()->table()->selectRow(1);
        save(window, QStringLiteral("library-signed-in"));
        window->close();
    }

    void catalogue()
    {
        auto* window = new CatalogueWindow(m_studio->environment());
        window->showCentred();
        MoviesSearchView* search = window->searchView();
        search->searchField()->setText(QStringLiteral("the"));
        search->performSearch();
        QTRY_VERIFY(!search->results().isEmpty() && !search->isLoading());
        for (const catalogue::TMDBSearchResult& result : search->results()) {
            if (result.movie() && result.movie()->title == QStringLiteral("The General"))
                search->select(result);
        }
        QTRY_VERIFY(search->selectedMovie().has_value());
        QTRY_VERIFY(thumbnailsSettled(window));
        save(window, QStringLiteral("catalogue-film"));

        search->searchField()->setText(QStringLiteral("Cisco"));
        search->performSearch();
        QTRY_COMPARE(search->results().size(), 1);
        search->select(search->results().first());
        TVShowSeasonsView* seasons = search->seasonsView();
        QTRY_COMPARE(seasons->seasons().size(), 2);
        seasons->toggleSeason(1);
        QTRY_VERIFY(seasons->episodesBySeason().contains(1));
        QTRY_VERIFY(thumbnailsSettled(window));
        save(window, QStringLiteral("catalogue-show"));
        window->close();

        // The catalogue follows the desktop's palette; here a dark one.
        const QPalette light = QApplication::palette();
        QPalette dark = light;
        dark.setColor(QPalette::Window, QColor(40, 40, 44));
        dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
        dark.setColor(QPalette::Base, QColor(28, 28, 30));
        dark.setColor(QPalette::Text, QColor(230, 230, 230));
        dark.setColor(QPalette::Button, QColor(55, 55, 60));
        dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
        QApplication::setPalette(dark);
        auto* darkWindow = new CatalogueWindow(m_studio->environment());
        darkWindow->showCentred();
        darkWindow->searchView()->searchField()->setText(QStringLiteral("the"));
        darkWindow->searchView()->performSearch();
        QTRY_VERIFY(!darkWindow->searchView()->results().isEmpty() && !darkWindow->searchView()->isLoading());
        QTest::keyClick(darkWindow->searchView()->searchField(), Qt::Key_Down);
        QTRY_VERIFY(thumbnailsSettled(darkWindow));
        save(darkWindow, QStringLiteral("catalogue-dark-keyboard"));
        darkWindow->close();
        QApplication::setPalette(light);
    }

    void recording()
    {
        RecordingWindow* window = m_studio->environment().recordingWindows.openRecordingWindow(
            corvex::testing::episodeItem(91002, QStringLiteral("The Cisco Kid"), 2, 1));
        QVERIFY(window);
        RecordingView* view = window->view();
        QTRY_VERIFY(view->screenRecorder().isRunning());
        QTRY_VERIFY(view->screenRecorder().contentSize() != QSizeF(1, 1));
        view->screenRecorder().setCrop(media::Rect { 0.1, 0.15, 0.6, 0.6 });
        view->configurationView()->recordingButton()->click();
        QTRY_VERIFY(corvex::testing::sharedRecorder().frameCount() > 30);
        QTest::qWait(300);
        save(window, QStringLiteral("recording"));
        view->configurationView()->recordingButton()->click();
        QTRY_VERIFY(!view->configurationView()->isUploading());
        save(window, QStringLiteral("recording-saved"));

        // The recorded window closes under a recording.
        Q_EMIT view->configurationView()->captureTypePicker()->activated(1);
        QSignalSpy resized(&view->screenRecorder(), &capture::ScreenRecorder::contentSizeChanged);
        QTRY_VERIFY(resized.count() > 0);
        view->configurationView()->recordingButton()->click();
        m_screen->failRunningStreams(
            { screencapture::CaptureError::ContentUnavailable, "The window to capture is no longer open." });
        QTRY_VERIFY(view->configurationView()->isWindowLost());
        save(window, QStringLiteral("recording-window-closed"));
        view->configurationView()->discard();
        QTRY_VERIFY(view->configurationView()->discardConfirmation());
        save(view->configurationView()->discardConfirmation(), QStringLiteral("recording-discard-question"));
        view->configurationView()->discardConfirmation()->reject();
        corvex::testing::sharedRecorder().stop();
        window->close();

        UploadQueue uploads(*m_manager);
        const RecordingModels models = RecordingModels::process();
        RecordingView refused(
            *m_manager, uploads, models.recorder, models.previewLink, screencapture::createCaptureBackend("null"));
        refused.setWindowTitle(QStringLiteral("Recording"));
        refused.resize(800, 600);
        refused.show();
        QTRY_VERIFY(refused.isUnauthorized());
        save(&refused, QStringLiteral("recording-no-permission"));
    }
};

int main(int argc, char* argv[])
{
    corvex::testing::privateHome();
    QApplication application(argc, argv);
    TestAppScreenshots test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app_screenshots.moc"
