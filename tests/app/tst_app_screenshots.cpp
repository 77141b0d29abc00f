// Saves a picture of each of the studio's windows (PNG) so that a reviewer
// can look at them: the library signed out and signed in, the catalogue with
// a film and with a show open, and the recording window with frames from the
// synthetic screen. The pictures go to CORVEX_SCREENSHOT_DIR, or to
// "screenshots" beside this program.

#include "studio_fixture.h"

#include "../support/fault_server.h"
#include "app/colour_swatch_view.h"

#include "app/configuration_view.h"
#include "app/elided_label.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/movies_search_view.h"
#include "app/recording_controls.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/text_styles.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "app/video_section.h"
#include "capture/screen_recorder.h"
#include "service/light_show_list_model.h"

#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSplitter>
#include <QTableView>

using namespace corvex;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using namespace corvex::testing;

namespace {

QString name(const QWidget* widget)
{
    QString text = QString::fromLatin1(widget->metaObject()->className());
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        text += u" \"%1\""_s.arg(label->text().left(30));
    else if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        text += u" \"%1\""_s.arg(button->text());
    return text;
}

// What is wrong with the layout of `root` as shown: shown siblings that
// overlap, and shown controls or text smaller than they need to be.
QStringList layoutFaults(QWidget* root)
{
    QStringList faults;
    const QList<QWidget*> all = root->findChildren<QWidget*>();
    for (QWidget* parent : QList<QWidget*> { root } + all) {
        // A scroll area's bars and viewport, a combo box's parts and a splitter's handles are laid out by Qt.
        if (qobject_cast<QAbstractScrollArea*>(parent) || qobject_cast<QComboBox*>(parent)
            || qobject_cast<QSplitter*>(parent))
            continue;
        QList<QWidget*> shown;
        for (QObject* child : parent->children()) {
            auto* widget = qobject_cast<QWidget*>(child);
            if (widget && !widget->isWindow() && widget->isVisibleTo(root) && !widget->geometry().isEmpty())
                shown.append(widget);
        }
        // Nothing sticks out of its parent's side, where it would be cut off.
        for (QWidget* widget : shown)
            if (widget->geometry().right() >= parent->width() || widget->x() < 0)
                faults << name(widget) + u" sticks out of "_s + name(parent);
        for (int i = 0; i < shown.size(); ++i)
            for (int j = i + 1; j < shown.size(); ++j)
                if (shown[i]->geometry().intersects(shown[j]->geometry()))
                    faults << name(shown[i]) + u" overlaps "_s + name(shown[j]);
    }
    for (QWidget* widget : all) {
        if (!widget->isVisibleTo(root) || widget->window() != root->window())
            continue;
        const bool control = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget);
        const auto* label = qobject_cast<QLabel*>(widget);
        const int needed = label && label->wordWrap() ? label->heightForWidth(label->width())
            : control || label                        ? widget->minimumSizeHint().height()
                                                      : -1;
        if (needed > 0 && widget->height() < needed)
            faults << name(widget) + u" is %1 high of %2"_s.arg(widget->height()).arg(needed);
    }
    return faults;
}

} // namespace

class TestAppScreenshots final : public QObject {
    Q_OBJECT

    StudioService m_service;
    std::unique_ptr<ServiceClient> m_manager;
    std::unique_ptr<StudioApp> m_studio;
    std::shared_ptr<screencapture::SyntheticBackend> m_screen;

    // Saves the picture, after checking that every message in it shows whole.
    void save(QWidget* window, const QString& name)
    {
        QCoreApplication::processEvents();
        for (QLabel* label : window->findChildren<QLabel*>())
            // (Overviews are cut at two lines on purpose.)
            if (label->isVisibleTo(window) && label->wordWrap() && !label->text().isEmpty()
                && label->maximumHeight() == QWIDGETSIZE_MAX)
                QVERIFY2(label->height() >= label->heightForWidth(label->width()), qPrintable(label->text()));
        saveScreenshot(window, name);
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
        QVERIFY(m_service.start());
        m_manager = m_service.newManager();
        // No browser here: the sign-in window shows the address to open by hand.
        m_studio = std::make_unique<StudioApp>(
            m_manager->uploads, RecordingModels::process(),
            [this] {
                m_screen = std::make_shared<screencapture::SyntheticBackend>();
                return m_screen;
            },
            [](const QUrl&) { return false; });
    }

    void cleanup() { closeRecordingWindow(*m_studio); }

    void cleanupTestCase()
    {
        if (sharedRecorder().started())
            sharedRecorder().stop();
        m_studio.reset();
        m_manager.reset();
    }

    // The library signed out, signed in with rows (one not up to date), and
    // the catalogue with a film, a show and a failure, at 800 × 600 (the
    // smallest the windows get) in the desktop's light palette and a dark one.
    // Run once more at twice the scale (tst_app_screenshots_2x).
    void library()
    {
        MainWindow* window = m_studio->newMainWindow();
        QVERIFY(shown<QPushButton>(window, u"Sign In"_s));
        save(window, u"library-signed-out"_s);
        shown<QPushButton>(window, u"Sign In"_s)->click();
        QTRY_VERIFY(shownWindow<QDialog>(u"Sign In"_s));
        QCoreApplication::processEvents();
        save(shownWindow<QDialog>(u"Sign In"_s), u"sign-in-without-a-browser"_s);
        shownWindow<QDialog>(u"Sign In"_s)->reject();
        QTRY_VERIFY(!m_studio->environment().signInSession.isActive());

        QVERIFY(signIn(*m_manager, tokenFor(m_service.origin(), u"shots@example.org"_s)));
        QTRY_VERIFY(labelStartingWith(window, u"No light shows yet"_s));
        save(window, u"library-empty"_s);
        QVERIFY(QCoro::waitFor(
            m_manager->uploads.uploadLightShow(smallRecording(), movieItem(99999, u"A Film of My Own"_s)))
                    .succeeded());
        QVERIFY(uploadFor(*m_manager, movieItem(90002, {})));
        catalogue::TMDBItem episode = episodeItem(91002, u"The Cisco Kid"_s, 1, 5);
        episode.episode->name = u"Rustling"_s;
        QVERIFY(QCoro::waitFor(m_manager->uploads.uploadLightShow(smallRecording(), episode)).succeeded());
        QVERIFY(uploadFor(*m_manager, episodeItem(91001, {}, 0, 1)));
        window->listView()->refresh();
        QTableView* table = window->findChild<QTableView*>();
        QTRY_COMPARE(table->model()->rowCount(), 4);
        table->selectRow(1);
        save(window, u"library-signed-in"_s);
        menuAction(window, u"Settings…"_s)->trigger();
        QTRY_VERIFY(shownWindow<QDialog>(u"Settings"_s));
        save(shownWindow<QDialog>(u"Settings"_s), u"settings"_s);
        shownWindow<QDialog>(u"Settings"_s)->reject();
        window->close();
    }

    void catalogue_data()
    {
        QTest::addColumn<QString>("palette");
        QTest::newRow("light") << "light";
        QTest::newRow("dark") << "dark";
    }

    void catalogue()
    {
        QFETCH(QString, palette);
        const QPalette light = QApplication::palette();
        if (palette == QLatin1StringView("dark")) {
            QPalette dark = light;
            dark.setColor(QPalette::Window, QColor(40, 40, 44));
            dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
            dark.setColor(QPalette::Base, QColor(28, 28, 30));
            dark.setColor(QPalette::Text, QColor(230, 230, 230));
            dark.setColor(QPalette::Button, QColor(55, 55, 60));
            dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
            QApplication::setPalette(dark);
        }
        const auto restore = qScopeGuard([light] { QApplication::setPalette(light); });
        auto* window = new CatalogueWindow(m_studio->environment());
        window->showCentred();
        window->resize(800, 600);
        MoviesSearchView* search = window->searchView();
        search->searchField()->setText(u"the"_s);
        search->performSearch();
        QTRY_VERIFY(!search->results().isEmpty() && !search->isLoading());
        QTest::keyClick(search->searchField(), Qt::Key_Down);
        QTRY_VERIFY(search->selectedMovie().has_value());
        QTRY_VERIFY(thumbnailsSettled(window));
        save(window, u"catalogue-film-"_s + palette);

        search->searchField()->setText(u"Cisco"_s);
        search->performSearch();
        QTRY_COMPARE(search->results().size(), 1);
        search->select(search->results().first());
        TVShowSeasonsView* seasons = search->seasonsView();
        QTRY_COMPARE(seasons->seasons().size(), 2);
        seasons->toggleSeason(1);
        QTRY_VERIFY(seasons->episodesBySeason().contains(1));
        QTRY_VERIFY(thumbnailsSettled(window));
        save(window, u"catalogue-show-"_s + palette);

        // A search that finds nothing (where it is said: tst_library).
        search->searchField()->setText(u"zzzz"_s);
        search->performSearch();
        QTRY_VERIFY(labelStartingWith(window, u"Nothing found"_s));
        save(window, u"catalogue-nothing-found-"_s + palette);
        window->close();
    }

    // The recording window at its default size and at its smallest, in a
    // light and a dark palette, in the states that add rows to its panel:
    // nothing overlaps, nothing is squeezed, a long title ends in "…" with
    // the whole of it in its tooltip, and the recording button does not move.
    void recordingPanelLayout_data()
    {
        QTest::addColumn<bool>("smallest");
        QTest::addColumn<bool>("dark");
        for (const bool smallest : { false, true })
            for (const bool dark : { false, true })
                QTest::addRow("%s, %s", smallest ? "smallest" : "800 x 600", dark ? "dark" : "light")
                    << smallest << dark;
    }

    void recordingPanelLayout()
    {
        QFETCH(bool, smallest);
        QFETCH(bool, dark);
        const QPalette light = QApplication::palette();
        if (dark)
            QApplication::setPalette(app::text_styles::darkPalette());
        const QString title = QStringLiteral("Dr. Strangelove or: How I Learned to Stop Worrying and Love the Bomb "
                                             "(Director's Cut)");
        RecordingWindow* window = m_studio->environment().recordingWindows.openRecordingWindow(movieItem(90010, title));
        QVERIFY(window);
        window->resize(smallest ? window->minimumSize() : QSize(800, 600));
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        QTRY_VERIFY(panel->swatch()->colours().has_value());
        QVERIFY(panel->itemTitle()->isElided());
        QCOMPARE(panel->itemTitle()->toolTip(), title);
        const QPoint button = panel->recordingButton()->mapTo(window, QPoint());
        const QString tag
            = u"recording-layout-%1-%2%3"_s.arg(smallest ? u"smallest"_s : u"800x600"_s, dark ? u"dark"_s : u"light"_s,
                qEnvironmentVariable("QT_SCALE_FACTOR").isEmpty() ? QString()
                                                                  : u"-x"_s + qEnvironmentVariable("QT_SCALE_FACTOR"));
        const auto check = [&](const QString& state) {
            QCoreApplication::processEvents();
            const QStringList faults = layoutFaults(window);
            QVERIFY2(faults.isEmpty(), qPrintable(state + u": "_s + faults.join(u"; "_s)));
            QCOMPARE(panel->recordingButton()->mapTo(window, QPoint()), button);
            save(window, tag + QLatin1Char('-') + state);
        };
        check(u"idle"_s);
        window->view()->screenRecorder().setCrop(media::Rect { 0.1, 0.15, 0.6, 0.6 });
        check(u"cropped"_s);
        window->view()->screenRecorder().setCrop(std::nullopt);
        // A crop that black bars suggest brings its button.
        panel->videoSection()->useDetectedCropButton()->show();
        check(u"crop-suggested"_s);
        panel->videoSection()->useDetectedCropButton()->hide();
        QVERIFY2(panel->recordingButton()->isEnabled(), qPrintable(panel->recordingControls()->reason()->text()));
        panel->recordingButton()->click();
        QTRY_VERIFY(sharedRecorder().frameCount() > 2);
        check(u"recording"_s);
        // The upload fails (the author signed out meanwhile): the status and Retry.
        const QString token = *m_manager->session.accessToken();
        m_manager->session.setAccessToken(std::nullopt);
        m_manager->session.setAccount(std::nullopt);
        panel->recordingButton()->click();
        QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::NotUploaded);
        QVERIFY(panel->retryButton()->isVisible());
        check(u"upload-failed"_s);
        QVERIFY(signIn(*m_manager, token));
        window->close();
        QApplication::setPalette(light);
    }

    void recording()
    {
        RecordingWindow* window = m_studio->environment().recordingWindows.openRecordingWindow(
            episodeItem(91002, u"The Cisco Kid"_s, 2, 1));
        QVERIFY(window);
        window->resize(800, 600); // not the smallest size an earlier case left remembered
        RecordingView* view = window->view();
        QTRY_VERIFY(view->screenRecorder().isRunning());
        QTRY_VERIFY(view->screenRecorder().contentSize() != QSizeF(1, 1));
        view->screenRecorder().setCrop(media::Rect { 0.1, 0.15, 0.6, 0.6 });
        view->configurationView()->recordingButton()->click();
        QTRY_VERIFY(sharedRecorder().frameCount() > 30);
        QTest::qWait(300);
        save(window, u"recording"_s);
        view->configurationView()->recordingButton()->click();
        QTRY_VERIFY(!view->configurationView()->isUploading());
        save(window, u"recording-saved"_s);

        // The recorded window closes under a recording.
        Q_EMIT view->configurationView()->captureTypePicker()->activated(1);
        QSignalSpy resized(&view->screenRecorder(), &capture::ScreenRecorder::contentSizeChanged);
        QTRY_VERIFY(resized.count() > 0);
        view->configurationView()->recordingButton()->click();
        m_screen->failRunningStreams(
            { screencapture::CaptureError::ContentUnavailable, "The window to capture is no longer open." });
        QTRY_VERIFY(view->configurationView()->isWindowLost());
        save(window, u"recording-window-closed"_s);
        view->configurationView()->discard();
        QTRY_VERIFY(view->configurationView()->discardConfirmation());
        save(view->configurationView()->discardConfirmation(), u"recording-discard-question"_s);
        view->configurationView()->discardConfirmation()->reject();
        sharedRecorder().stop();
        window->close();

        UploadQueue uploads(m_manager->uploads);
        const RecordingModels models = RecordingModels::process();
        RecordingView refused(m_manager->session, uploads, {}, models.recorder, models.previewLink,
            screencapture::createCaptureBackend("null"));
        refused.setWindowTitle(u"Recording"_s);
        refused.resize(800, 600);
        refused.show();
        QTRY_VERIFY(refused.isUnauthorized());
        save(&refused, u"recording-no-permission"_s);
    }
};

int main(int argc, char* argv[])
{
    privateHome();
    QApplication application(argc, argv);
    TestAppScreenshots test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app_screenshots.moc"
