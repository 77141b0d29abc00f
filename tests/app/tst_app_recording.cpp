// The recording window as the author drives it, offscreen, against the real reference service.

#include "studio_fixture.h"

#include "../support/recorded.h"
#include "../support/stored_shows.h"
#include "../support/test_films.h"

#include "analysis/proto/video_analysis.pb.h"

#include "app/capture_preview_view.h"
#include "app/colour_swatch_view.h"
#include "app/global_keys.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/recording_controls.h"
#include "app/video_section.h"
#include "capture/video_file_source.h"
#include "platform/mediafile/media_file_reader.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace corvex;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using namespace corvex::testing;
using State = capture::RecordingSource::State;

namespace {

using corvex::test::Colour;
using corvex::test::colourAt;
using corvex::test::near;
using corvex::test::parseRecord;

// Holds the analysing thread in frame `holdAt` until open() (a minute at most); the thread shares its state.
class FrameGate final {
public:
    explicit FrameGate(int holdAt)
        : m_holdAt(holdAt)
    {
    }
    ~FrameGate() { open(); }
    std::function<void(int)> observer() const
    {
        return [state = m_state, holdAt = m_holdAt](int frame) {
            if (frame != holdAt)
                return;
            std::unique_lock lock(state->mutex);
            state->held = true;
            state->changed.wait_for(lock, std::chrono::minutes(1), [&state] { return state->open; });
            state->held = false;
        };
    }
    bool isHolding() const
    {
        std::lock_guard lock(m_state->mutex);
        return m_state->held && !m_state->open;
    }
    void open()
    {
        std::lock_guard lock(m_state->mutex);
        m_state->open = true;
        m_state->changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        bool open = false;
    };
    const int m_holdAt;
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// The first of the nine cells of `record` whose colour at `time` is not near `expected`, said; empty when none.
QString cellOtherThan(const VideoAnalysis& record, double time, const Colour& expected, int tolerance)
{
    for (int channel = 0; channel < 9; ++channel)
        if (const Colour got = colourAt(record, channel, time); !near(got, expected, tolerance))
            return u"channel %1 at %2 s is %3"_s.arg(channel).arg(time).arg(corvex::test::text(got));
    return {};
}

// Clicks, picks and types into every enabled control `window` shows, and the dialogs they open, but Quit.
void driveEveryControl(QPointer<QWidget> window)
{
    static const QStringList leftAlone { u"&Quit"_s, u"Quit"_s };
    // A file chooser's own buttons act on the real file system (its New Folder makes one wherever it
    // points): the chooser is answered by closing it, never driven.
    const auto inFileChooser = [](QWidget* widget) {
        for (; widget; widget = widget->parentWidget())
            if (qobject_cast<QFileDialog*>(widget))
                return true;
        return false;
    };
    QList<QPointer<QWidget>> controls;
    for (QWidget* widget : window->findChildren<QWidget*>())
        if (!inFileChooser(widget))
            controls.append(widget);
    // (The window itself may go with one of them: it is only ever asked through a guard.)
    for (const QPointer<QWidget>& control : controls) {
        if (!control || !control->isVisible() || !control->isEnabled())
            continue;
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            if (!leftAlone.contains(button->text()))
                button->click();
        } else if (QPointer<QComboBox> box = qobject_cast<QComboBox*>(control)) {
            for (int i = 0; box && i < box->count(); ++i) {
                box->setCurrentIndex(i);
                Q_EMIT box->activated(i);
                QCoreApplication::processEvents();
            }
        } else if (QPointer<QLineEdit> field = qobject_cast<QLineEdit*>(control)) {
            QTest::keyClicks(field, u"a"_s);
            if (field)
                QTest::keyClick(field, Qt::Key_Return);
        }
        QCoreApplication::processEvents();
    }
    QList<QPointer<QAction>> actions;
    if (window) {
        for (QMenu* menu : window->findChildren<QMenu*>())
            for (QAction* action : inFileChooser(menu) ? QList<QAction*>() : menu->actions())
                actions.append(action);
    }
    for (const QPointer<QAction>& action : actions) {
        if (action && action->isEnabled() && !action->menu() && !leftAlone.contains(action->text())
            && action->shortcut() != QKeySequence::Quit) {
            action->trigger();
            QCoreApplication::processEvents();
        }
    }
}

} // namespace

class TestAppRecording final : public QObject {
    Q_OBJECT

    StudioService m_service;
    std::unique_ptr<ServiceClient> m_manager;
    std::shared_ptr<ClosableWindowsBackend> m_screen;
    std::unique_ptr<StudioApp> m_studio;
    qint64 m_nextMovie = 93000;

    RecordingWindow* openWindow()
    {
        RecordingWindow* window
            = m_studio->environment().recordingWindows.openRecordingWindow(movieItem(++m_nextMovie, u"The Kid"_s));
        if (window)
            window->resize(800, 600);
        return window;
    }

    QString path(const QString& name) const { return m_service.folders.filePath(name); }

    // A recording window for a new movie, switched to "Video file" (the file chooser it opens is left open).
    RecordingView* openFileWindow()
    {
        RecordingWindow* window = openWindow();
        if (!window)
            return nullptr;
        Q_EMIT window->view()->configurationView()->captureTypePicker()->activated(2);
        return window->view();
    }

    // The panel of a new "Video file" window with `film` chosen and ready to start; null if it is not.
    ConfigurationView* openFilm(const QString& film)
    {
        RecordingView* view = openFileWindow();
        if (!view || !pick(view, film))
            return nullptr;
        ConfigurationView* panel = view->configurationView();
        return QTest::qWaitFor([panel] { return panel->recordingButton()->isEnabled(); }, 60000) ? panel : nullptr;
    }

    // Picks `file` in the file chooser, as the author would, once it is open.
    static bool pick(RecordingView* view, const QString& file)
    {
        const VideoSection* section = view->configurationView()->videoSection();
        if (!QTest::qWaitFor([section] { return section->fileDialog() != nullptr; }, 10000))
            return false;
        QFileDialog* dialog = section->fileDialog();
        if (QFileInfo::exists(file)) {
            // Typed into the name field, which has the focus once the dialog is up.
            auto* name = dialog->findChild<QLineEdit*>(u"fileNameEdit"_s);
            if (!name)
                return false;
            name->setText(file);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            // The chooser refuses a missing file, but one can go between choosing and opening.
            Q_EMIT dialog->fileSelected(file);
            dialog->close();
        }
        return true;
    }

    // The light shows the service stored for movie `id`, in upload order.
    QList<QByteArray> storedShows(qint64 id)
    {
        return test::storedShows(path(u"service.sqlite"_s), u"tmdb_id = ?"_s, id);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The last --db given wins: a file, so that the test can read what was uploaded.
        QVERIFY(m_service.start({ u"--demo-catalogue"_s, u"--db"_s, path(u"service.sqlite"_s) }));
        QVERIFY(m_manager = m_service.signedIn(u"keys@example.org"_s));
        // No browser: a sign-in shows the address to open by hand.
        m_studio = std::make_unique<StudioApp>(
            m_manager->uploads, RecordingModels::process(),
            [this] {
                m_screen = std::make_shared<ClosableWindowsBackend>();
                return m_screen;
            },
            [](const QUrl&) { return false; });
    }

    void cleanup()
    {
        closeRecordingWindow(*m_studio);
        settings::Store().setValue(RecordingSources::captureTypeKey(), std::nullopt);
    }

    void cleanupTestCase()
    {
        m_studio.reset();
        m_manager.reset();
    }

    // The recorded window closes: the clock stands, colours and crop go, the panel says why; another carries on.
    void aClosedRecordedWindowStopsWhatShowsIt()
    {
        RecordingWindow* window = openWindow();
        RecordingView* view = window->view();
        ConfigurationView* panel = view->configurationView();
        QTRY_VERIFY(view->screenRecorder().isRunning());
        QSignalSpy resized(&view->screenRecorder(), &capture::ScreenRecorder::contentSizeChanged);
        Q_EMIT panel->captureTypePicker()->activated(1);
        QTRY_VERIFY(resized.count() > 0); // frames of the window arrive
        QVERIFY(panel->windowPicker()->count() >= 2);
        panel->recordingButton()->click();
        QCOMPARE(panel->sources().current().recordingState(), State::Recording);
        QTRY_VERIFY(panel->swatch()->colours().has_value());
        QVERIFY(!panel->windowPicker()->isEnabled());
        QVERIFY(!panel->captureNotice()->isVisibleTo(panel));
        QTRY_VERIFY(panel->recordingControls()->elapsed()->text() != u"● 00:00"_s);

        m_screen->closeWindows();
        QTRY_COMPARE(panel->sources().current().recordingState(), State::Interrupted);
        QVERIFY(panel->isWindowLost());
        QVERIFY(panel->captureNotice()->isVisibleTo(panel));
        QVERIFY(panel->captureNotice()->text().contains(u"was closed"_s));
        QCOMPARE(view->preview()->note(), u"The recorded window was closed"_s);
        QVERIFY(panel->recordingButton()->isEnabled()); // "Save recording" saves what was recorded
        QVERIFY(panel->windowPicker()->isEnabled());
        QVERIFY(!panel->captureTypePicker()->isEnabled());
        QTRY_VERIFY(!panel->swatch()->colours().has_value());
        QVERIFY(!panel->videoSection()->useDetectedCropButton()->isVisible());
        const QString stood = panel->recordingControls()->elapsed()->text();
        QVERIFY(stood != u"● 00:00"_s); // the time recorded before stays
        QTest::qWait(1300);
        QCOMPARE(panel->recordingControls()->elapsed()->text(), stood);

        // Another window carries the same recording on.
        const int before = sharedRecorder().frameCount();
        m_screen->openWindows();
        QTRY_VERIFY(panel->windowPicker()->count() >= 2);
        Q_EMIT panel->windowPicker()->activated(panel->windowPicker()->currentIndex() == 0 ? 1 : 0);
        QTRY_VERIFY(view->screenRecorder().isRunning());
        QCOMPARE(panel->sources().current().recordingState(), State::Recording);
        QVERIFY(!panel->captureNotice()->isVisibleTo(panel));
        QVERIFY(!view->preview()->isStopped());
        QTRY_VERIFY(sharedRecorder().frameCount() > before);
        QTRY_VERIFY(panel->recordingControls()->elapsed()->text() != stood);
    }

    // The chosen window closes while nothing is recorded: nothing of it is shown, and there is nothing to
    // start. The next window opens on the capture type chosen last.
    void aClosedChosenWindowLeavesNothingToStart()
    {
        RecordingWindow* window = openWindow();
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        Q_EMIT panel->captureTypePicker()->activated(1);
        QTRY_VERIFY(panel->swatch()->colours().has_value());
        QVERIFY(panel->recordingButton()->isEnabled());
        std::static_pointer_cast<ClosableWindowsBackend>(window->view()->screenRecorder().backend())->closeWindows();
        QTRY_VERIFY(panel->videoSection()->emptyHint()->isVisibleTo(panel));
        QTRY_VERIFY(!panel->swatch()->colours().has_value());
        QVERIFY(!panel->recordingButton()->isEnabled());
        QCOMPARE(panel->recordingControls()->reason()->text(), u"Choose a window to record above."_s);
        panel->toggleRecording();
        QVERIFY(!sharedRecorder().started());
        window->close();
        window = openWindow();
        QCOMPARE(window->view()->configurationView()->captureTypePicker()->currentIndex(), 1);
        QCOMPARE(window->view()->screenRecorder().captureType(), capture::ScreenRecorder::CaptureType::window);
        Q_EMIT window->view()->configurationView()->captureTypePicker()->activated(2);
        window->close();
        QVERIFY(openWindow()->view()->configurationView()->sources().isFile());
    }

    // "Restart screen capture" starts again a capture that ended by itself; on a film there is nothing to restart,
    // the controls below do not move for it, and "Choose…" opens a new chooser after one closed (and deleted itself).
    void restartIsForTheScreenOnly()
    {
        RecordingWindow* window = openWindow();
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        QVERIFY(panel->restartButton()->isVisible());
        // A capture that ends by itself leaves no stale picture, until Restart starts it again.
        QTRY_VERIFY(panel->swatch()->colours().has_value()); // its frames arrive
        m_screen->closeWindows();
        QTRY_VERIFY(!window->view()->screenRecorder().isRunning());
        QVERIFY(window->view()->preview()->isStopped());
        QVERIFY(window->view()->preview()->stoppedMessage().startsWith(
            u"Screen capture stopped: The window to capture is no longer open. Press"_s));
        panel->restartButton()->click();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        QVERIFY(!window->view()->preview()->isStopped());
        const QPoint start = panel->recordingButton()->mapTo(window, QPoint());
        Q_EMIT panel->captureTypePicker()->activated(2);
        QPushButton* choose = panel->videoSection()->chooseFileButton();
        const auto openChoosers = [] {
            int open = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                open += qobject_cast<QFileDialog*>(widget) && widget->isVisible();
            return open;
        };
        for (int round = 0; round < 3; ++round) {
            QTRY_COMPARE(openChoosers(), 1);
            choose->click(); // while one is open, it comes to the front
            QCOMPARE(openChoosers(), 1);
            panel->videoSection()->fileDialog()->reject();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCOMPARE(openChoosers(), 0);
            QVERIFY(!panel->videoSection()->fileDialog());
            choose->click();
        }
        QVERIFY(!panel->restartButton()->isVisible());
        QCOMPARE(panel->recordingButton()->mapTo(window, QPoint()), start);
    }

    // Start, save, discard and close from the keyboard, with the menu's keys.
    void theKeyboardAloneRecords()
    {
        RecordingWindow* window = openWindow();
        QVERIFY(activate(window));
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(panel->recordingButton()->isEnabled());
        QCOMPARE(window->findChild<QMenuBar*>()->actions().first()->text(), u"&Recording"_s);
        QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier);
        QVERIFY(sharedRecorder().started());
        QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier); // no second start
        QVERIFY(sharedRecorder().started());
        QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
        QVERIFY(!sharedRecorder().started());
        QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        // The keys that work anywhere on the desktop do the same, and its tray icon brings the window back.
        auto* desktopKeys = window->findChild<GlobalKeys*>();
        Q_EMIT desktopKeys->pressed(GlobalKeys::Command::Start);
        QVERIFY(sharedRecorder().started());
        Q_EMIT desktopKeys->pressed(GlobalKeys::Command::Save);
        QVERIFY(!sharedRecorder().started());
        window->showMinimized();
        Q_EMIT window->findChild<QSystemTrayIcon*>()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!window->isMinimized());

        QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Delete, Qt::ControlModifier);
        QTRY_VERIFY(panel->discardConfirmation() && panel->discardConfirmation()->isVisible());
        QTest::keyClick(panel->discardConfirmation(), Qt::Key_Return); // Return keeps it
        QVERIFY(sharedRecorder().started());
        // A question still open when the desktop's key saved is about nothing any more.
        QTest::keyClick(window, Qt::Key_Delete, Qt::ControlModifier);
        QTRY_VERIFY(panel->discardConfirmation() && panel->discardConfirmation()->isVisible());
        Q_EMIT desktopKeys->pressed(GlobalKeys::Command::Save);
        QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        if (QMessageBox* question = panel->discardConfirmation())
            buttonWithText(question, u"Discard"_s)->click();
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        Q_EMIT desktopKeys->pressed(GlobalKeys::Command::Start);
        QVERIFY(sharedRecorder().started() && activate(window));
        QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier); // asks: a recording runs
        QTRY_VERIFY(window->closeConfirmation() && window->closeConfirmation()->isVisible());
        QPointer<RecordingWindow> closing(window);
        buttonWithText(window->closeConfirmation(), u"Discard"_s)->click();
        QTRY_VERIFY(!closing);
        QVERIFY(!sharedRecorder().started());
    }

    // Each swatch cell keeps an edge on the panel, even a black cell on a dark panel or a white one on a light one.
    void swatchCellsStandOutOfThePanel_data()
    {
        QTest::addColumn<QColor>("panel");
        QTest::addColumn<QColor>("cell");
        QTest::newRow("black on dark") << QColor(40, 40, 44) << QColor(Qt::black);
        QTest::newRow("near black on black") << QColor(Qt::black) << QColor(8, 8, 8);
        QTest::newRow("white on light") << QColor(239, 239, 239) << QColor(Qt::white);
    }

    void swatchCellsStandOutOfThePanel()
    {
        QFETCH(QColor, panel);
        QFETCH(QColor, cell);
        ColourSwatchView swatch;
        QPalette palette = swatch.palette();
        palette.setColor(QPalette::Window, panel);
        swatch.setPalette(palette);
        analysis::GridColours colours;
        colours.fill(analysis::RGB { cell.red(), cell.green(), cell.blue() });
        swatch.setColours(colours);
        swatch.resize(240, 48);
        const QImage picture = swatch.grab().toImage();
        const QColor edge = picture.pixelColor(0, picture.height() / 6);
        QVERIFY2(
            std::abs(edge.lightness() - panel.lightness()) >= 60 && std::abs(edge.lightness() - cell.lightness()) >= 60,
            qPrintable(edge.name()));
    }

    // The words of a suggested crop go on a black bar, where they hide no picture.
    void theSuggestionIsLabelledOnTheBar_data()
    {
        QTest::addColumn<QRectF>("proposed");
        QTest::addColumn<bool>("outside");
        QTest::newRow("letterbox") << QRectF(0, 60, 640, 240) << true;
        QTest::newRow("thin bars") << QRectF(0, 8, 640, 344) << false;
        QTest::newRow("pillarbox") << QRectF(120, 0, 400, 360) << true;
        QTest::newRow("bottom bar only") << QRectF(0, 0, 640, 300) << true;
    }

    void theSuggestionIsLabelledOnTheBar()
    {
        QFETCH(QRectF, proposed);
        QFETCH(bool, outside);
        const QRectF bounds(0, 0, 640, 360);
        const QRectF label = CapturePreviewView::suggestionLabelRect(bounds, proposed, QSizeF(300, 16));
        QVERIFY(bounds.contains(label));
        QCOMPARE(!label.intersects(proposed), outside);
        if (!outside)
            QVERIFY(proposed.contains(label));
    }

    // A film of four colours is previewed while analysed, reaches 100 % and uploads a show of the film's colours.
    void analysesAFilmAndUploadsIt_data()
    {
        QTest::addColumn<bool>("withSound");
        QTest::newRow("with sound") << true;
        QTest::newRow("without sound") << false;
    }

    void analysesAFilmAndUploadsIt()
    {
        REQUIRE_FFMPEG();
        QFETCH(bool, withSound);
        const QString film = path(withSound ? u"colours.mp4"_s : u"silent.mp4"_s);
        QStringList arguments { "-f", "lavfi", "-i", corvex::test::colourCycle(4, 320, 180) };
        if (withSound)
            arguments << QStringList { "-f", "lavfi", "-i", "sine=f=330:beep_factor=3:d=4", "-c:a", "aac",
                "-shortest" };
        arguments << QStringList { "-c:v", "libx264", "-g", "10", film };
        MAKE_FILM(arguments);

        RecordingView* view = openFileWindow();
        QVERIFY(view);
        ConfigurationView* panel = view->configurationView();
        capture::VideoFileSource& videoFile = panel->sources().file();
        QVERIFY(panel->sources().isFile());
        QCOMPARE(panel->captureTypePicker()->currentText(), VideoSection::videoFileOption());
        QVERIFY(!panel->recordingButton()->isEnabled()); // no file yet
        QVERIFY(pick(view, film));
        QTRY_COMPARE_WITH_TIMEOUT(videoFile.stage(), capture::VideoFileSource::Stage::Ready, 60000);
        QCOMPARE(panel->videoSection()->soundNote()->isVisibleTo(panel), !withSound);
        QTRY_VERIFY_WITH_TIMEOUT(panel->recordingButton()->isEnabled(), 60000);
        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        // Until the analysis starts, the film's first picture.
        const auto poster = videoFile.preview()->contents();
        QVERIFY(poster != nullptr);

        FrameGate gate(40);
        videoFile.setFrameObserver(gate.observer());
        QElapsedTimer started;
        started.start();
        panel->recordingButton()->click();
        QCOMPARE(videoFile.stage(), capture::VideoFileSource::Stage::Analysing);
        RecordingControls* controls = panel->recordingControls();
        QVERIFY(controls->progressBar()->isVisibleTo(panel));
        QVERIFY(controls->cancelButton()->isVisibleTo(panel));
        QVERIFY(!controls->elapsed()->isVisibleTo(panel));
        QVERIFY(!panel->recordingButton()->isEnabled());
        QVERIFY(!panel->captureTypePicker()->isEnabled());
        QVERIFY(!panel->videoSection()->chooseFileButton()->isEnabled());
        // Held part way: the picture, the swatch and the bar show where it is.
        QTRY_VERIFY_WITH_TIMEOUT(gate.isHolding(), 60000);
        QTRY_VERIFY(videoFile.preview()->contents() != poster);
        QTRY_VERIFY(controls->progressBar()->value() > 0);
        QTRY_VERIFY(panel->swatch()->colours().has_value());
        if (withSound) {
            // The time left is guessed from the time taken so far: held, the analysis seems ever slower.
            QTest::qWait(3000);
            const QString text = controls->progressBar()->text();
            const double taken = started.elapsed() / 1000.0;
            const double done = controls->progressBar()->value() / 1000.0;
            const auto left = QRegularExpression(u"^\\d+ % · (\\d+):(\\d\\d) left$"_s).match(text);
            const int guessed = left.captured(1).toInt() * 60 + left.captured(2).toInt();
            const double rate = (1 - done) / done;
            QVERIFY2(left.hasMatch() && guessed <= taken * rate + 1 && guessed >= (taken - 0.5) * rate - 1,
                qPrintable(text + u" after %1 s"_s.arg(taken)));
        }
        // The row is the bar's and Cancel's: none of it is squeezed.
        const auto whole = [](QWidget* widget) { return widget->width() >= widget->sizeHint().width(); };
        QVERIFY(whole(controls->progressBar()) && whole(controls->cancelButton()));
        saveScreenshot(view->window(), withSound ? u"video-file-analysing"_s : u"video-file-analysing-no-sound"_s);
        gate.open();

        QTRY_COMPARE_WITH_TIMEOUT(videoFile.stage(), capture::VideoFileSource::Stage::Analysed, 60000);
        QCOMPARE(controls->progressBar()->value(), 1000);
        QVERIFY(controls->progressBar()->isVisibleTo(panel));
        QCOMPARE(controls->progressBar()->text(), u"100 % · done"_s);
        QVERIFY(!controls->cancelButton()->isVisibleTo(panel));
        QTRY_VERIFY(whole(controls->progressBar()) && whole(controls->discardButton())); // once laid out
        QCOMPARE(panel->recordingButton()->text(), u"Save recording"_s);
        QVERIFY(panel->recordingButton()->isEnabled());
        saveScreenshot(view->window(), withSound ? u"video-file-analysed"_s : u"video-file-analysed-no-sound"_s);

        panel->recordingButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(panel->uploadStatus()->text(), u"The recording was uploaded."_s, 30000);
        QCOMPARE(m_manager->uploads.outbox()->entries().size(), 0);
        QCOMPARE(videoFile.frameCount(), 0); // the record saved is not held on to
        // The next film chosen is not shown as uploaded.
        panel->videoSection()->chooseFileButton()->click();
        QVERIFY(pick(view, film));
        QTRY_VERIFY(panel->uploadStatus()->text().isEmpty());
        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        QVERIFY(!view->preview()->isStopped()); // its first picture, under no sign
        if (withSound) { // a silent film next: its meter shows none of the sound before
            const QString silent = path(u"silent-next.mp4"_s);
            MAKE_FILM({ "-f", "lavfi", "-i", corvex::test::colourCycle(4, 320, 180), "-c:v", "libx264", silent });
            QTRY_VERIFY(!panel->videoSection()->fileDialog());
            panel->videoSection()->chooseFileButton()->click();
            QVERIFY(pick(view, silent));
            QTRY_VERIFY_WITH_TIMEOUT(panel->videoSection()->soundNote()->isVisibleTo(panel), 60000);
            FrameGate held(40);
            videoFile.setFrameObserver(held.observer());
            panel->recordingButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(held.isHolding(), 60000);
            QTRY_COMPARE(videoFile.audioLevels()->audioLevels(), capture::AudioLevels {});
            held.open();
            videoFile.setFrameObserver({});
        }

        const QList<QByteArray> shows = storedShows(m_nextMovie);
        QCOMPARE(shows.size(), 1);
        const VideoAnalysis record = parseRecord(shows.front());
        QVERIFY2(std::abs(record.timestamps_size() - 120) <= 1, qPrintable(QString::number(record.timestamps_size())));
        QCOMPARE(record.signature().empty(), !withSound);
        const Colour expected[] = { { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 }, { 255, 255, 255 } };
        for (int second = 0; second < 4; ++second)
            QCOMPARE(cellOtherThan(record, second + 0.5, expected[second], 6), QString());
    }

    // Mid-way, closing asks and offers no Save, and Cancel leaves the window ready for another start at once,
    // with nothing sent to the service, then or later; once analysed, "Save and Close" uploads the film.
    void cancelKeepsNothingAndClosingAsks()
    {
        REQUIRE_FFMPEG();
        const QString film = path(u"cancel.mp4"_s);
        MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=320x180:r=30:d=6", "-f", "lavfi", "-i", "sine=d=6", "-c:v",
            "libx264", "-c:a", "aac", "-shortest", film });
        ConfigurationView* panel = openFilm(film);
        QVERIFY(panel);
        capture::VideoFileSource& videoFile = panel->sources().file();
        const auto poster = videoFile.preview()->contents();
        FrameGate gate(20);
        videoFile.setFrameObserver(gate.observer());
        panel->recordingButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(gate.isHolding(), 60000);
        QTRY_VERIFY(videoFile.preview()->contents() != poster); // frames were shown
        auto* window = static_cast<RecordingWindow*>(panel->window());
        window->close();
        QVERIFY(window->isVisible() && window->closeConfirmation());
        QVERIFY(!buttonWithText(window->closeConfirmation(), u"Save and Close"_s));
        buttonWithText(window->closeConfirmation(), u"Cancel"_s)->click();
        QCOMPARE(videoFile.stage(), capture::VideoFileSource::Stage::Analysing);
        // Another title's window waits for this one, which says why.
        QVERIFY(!m_studio->environment().recordingWindows.openRecordingWindow(movieItem(1, u"Other"_s)));
        QCOMPARE(m_studio->environment().recordingWindows.current(), window);
        QTRY_VERIFY(shownWindow<QMessageBox>());
        shownWindow<QMessageBox>()->close();
        QCOMPARE(videoFile.stage(), capture::VideoFileSource::Stage::Analysing);

        // The analysing thread is held inside a frame: Cancel must not wait for it.
        panel->recordingControls()->cancelButton()->click();
        QCOMPARE(videoFile.stage(), capture::VideoFileSource::Stage::Ready);
        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        QVERIFY(panel->recordingButton()->isEnabled());
        QVERIFY(!panel->recordingControls()->progressBar()->isVisibleTo(panel));
        QVERIFY(panel->captureTypePicker()->isEnabled());
        QVERIFY(panel->videoSection()->chooseFileButton()->isEnabled());
        QCOMPARE(videoFile.preview()->contents(), poster); // the half-analysed picture goes
        QTest::qWait(300); // several of the meter's ticks: the film's sound is not shown again
        QCOMPARE(videoFile.audioLevels()->audioLevels(), capture::AudioLevels {});
        QVERIFY(gate.isHolding());
        gate.open();

        // The cancelled run ends without a word; a new one goes the whole way.
        videoFile.setFrameObserver({});
        panel->recordingButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(videoFile.stage(), capture::VideoFileSource::Stage::Analysed, 60000);
        QVERIFY(panel->recordingControls()->progressBar()->text().startsWith(u"100 %"_s));
        QVERIFY(storedShows(m_nextMovie).isEmpty());
        QVERIFY(!m_service.log().contains(QByteArray("/tvapi/lightshow/movie/") + QByteArray::number(m_nextMovie)));
        QCOMPARE(m_manager->uploads.outbox()->entries().size(), 0);
        window->close();
        QVERIFY(window->isVisible() && window->closeConfirmation());
        buttonWithText(window->closeConfirmation(), u"Save and Close"_s)->click();
        QTRY_VERIFY(!window->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(storedShows(m_nextMovie).size(), 1, 30000);
    }

    // A file that cannot be analysed: the reader's one-line reason in the window, and no way to start.
    void badFilesSayWhy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("film"); // ffmpeg arguments; empty: written by the test
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("keep"); // bytes of the film kept; -1: all

        QTest::newRow("not a video") << "notes.mp4" << QStringList {} << QByteArray("These are not moving pictures.\n")
                                     << qint64(-1);
        QTest::newRow("empty file") << "empty.mkv" << QStringList {} << QByteArray() << qint64(-1);
        QTest::newRow("missing file") << "missing.mp4" << QStringList {} << QByteArray("-") << qint64(-1);
        QTest::newRow("sound only") << "sound.m4a" << QStringList { "-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac" }
                                    << QByteArray() << qint64(-1);
        QTest::newRow("truncated") << "cut.mp4"
                                   << QStringList { "-f", "lavfi", "-i", "testsrc2=s=320x180:r=30:d=3", "-c:v",
                                          "libx264", "-movflags", "+faststart" }
                                   << QByteArray() << qint64(600);
    }

    void badFilesSayWhy()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, film);
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, keep);
        const QString file = path(name);
        if (!film.isEmpty()) {
            REQUIRE_FFMPEG();
            MAKE_FILM(film << file);
            if (keep >= 0)
                QVERIFY(corvex::test::truncateFile(file, keep));
        } else if (bytes != "-") {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        }
        const std::string reason = mediafile::MediaFileReader::open(file.toStdString()).error.message;
        QVERIFY(!reason.empty());

        RecordingView* view = openFileWindow();
        QVERIFY(view);
        ConfigurationView* panel = view->configurationView();
        QVERIFY(pick(view, file));
        QTRY_COMPARE_WITH_TIMEOUT(panel->sources().file().stage(), capture::VideoFileSource::Stage::Invalid, 60000);
        QLabel* message = panel->videoSection()->fileMessage();
        // The reason as the reader gives it, with the file's name for its path.
        QCOMPARE(message->text(), QString::fromStdString(reason).replace(file, name));
        QTRY_VERIFY(message->height() >= message->heightForWidth(message->width()));
        QVERIFY(message->isVisibleTo(panel));
        QVERIFY(!message->text().contains(QLatin1Char('\n')));
        QVERIFY(!panel->recordingButton()->isEnabled());
        QVERIFY(!panel->recordingControls()->reason()->text().isEmpty());
        panel->toggleRecording(); // not even by another way in
        QCOMPARE(panel->sources().file().stage(), capture::VideoFileSource::Stage::Invalid);
        if (QTest::currentDataTag() == QByteArrayLiteral("not a video"))
            saveScreenshot(view->window(), u"video-file-not-a-video"_s);
    }

    // A film cut short or damaged still gives a show of what was read, but the window says what is wrong.
    void flawedFilmsSaySo_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("said");
        QTest::newRow("cut short") << "cut.mkv"
                                   << "the file is cut short";
        QTest::newRow("damaged in the middle") << "damaged.ts"
                                               << "The file is damaged: ";
        QTest::newRow("no picture decodes") << "pictures.mkv"
                                            << "Not one frame of this file could be decoded";
    }

    void flawedFilmsSaySo()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, name);
        QFETCH(QString, said);
        const QString film = path(name);
        const bool png = QTest::currentDataTag() == QByteArrayLiteral("no picture decodes");
        MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=8", "-f", "lavfi", "-i", "sine=d=8", "-c:v",
            png ? "png" : "libx264", "-g", "25", "-c:a", name.endsWith(QLatin1StringView(".ts")) ? "mp2" : "aac",
            film });
        if (png)
            QVERIFY(corvex::test::replaceAll(film, "\x89PNG", "XPNG")); // every picture's signature
        else if (name.endsWith(QLatin1StringView(".ts")))
            QVERIFY(corvex::test::damageMiddle(film));
        else
            QVERIFY(corvex::test::truncateFile(film, QFileInfo(film).size() * 6 / 10));

        ConfigurationView* panel = openFilm(film);
        QVERIFY(panel);
        capture::VideoFileSource& videoFile = panel->sources().file();
        panel->recordingButton()->click();
        // Without one picture there is nothing to save.
        QTRY_COMPARE_WITH_TIMEOUT(videoFile.stage(),
            png ? capture::VideoFileSource::Stage::Invalid : capture::VideoFileSource::Stage::Analysed, 60000);
        QLabel* message = panel->videoSection()->fileMessage();
        QVERIFY2(message->text().contains(said), qPrintable(message->text()));
        QVERIFY(videoFile.isMessageAFailure());
        QVERIFY(message->isVisibleTo(panel));
        if (png)
            return;
        // The author may still save what was read; here it is discarded, through the question.
        QCOMPARE(panel->recordingButton()->text(), u"Save recording"_s);
        panel->recordingControls()->discardButton()->click();
        QVERIFY(panel->discardConfirmation());
        buttonWithText(panel->discardConfirmation(), u"Discard"_s)->click();
        QCOMPARE(videoFile.stage(), capture::VideoFileSource::Stage::Ready);
        QCOMPARE(message->text(), u"The analysis was thrown away."_s);
        QVERIFY(!videoFile.isMessageAFailure());
    }

    // Black bars propose a crop, taken with one click; a dark film or one fading to black proposes none.
    void blackBarsProposeACrop_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("proposed");
        QTest::newRow("letterboxed") << corvex::test::colourCycle(8, 320, 134) + u",pad=320:180:0:23:black"_s << true;
        QTest::newRow("pillarboxed") << corvex::test::colourCycle(8, 240, 180) + u",pad=320:180:40:0:black"_s << true;
        QTest::newRow("dark scenes") << u"testsrc2=s=320x180:r=30:d=8,lutrgb=r=val/10:g=val/10:b=val/10"_s << false;
        QTest::newRow("fade to black") << corvex::test::colourCycle(8, 320, 180) + u",fade=out:st=2:d=6"_s << false;
    }

    void blackBarsProposeACrop()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, source);
        QFETCH(bool, proposed);
        const QString film = path(u"bars-%1.mp4"_s.arg(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
        MAKE_FILM({ "-f", "lavfi", "-i", source, "-c:v", "libx264", "-g", "15", film });
        RecordingView* view = openFileWindow();
        QVERIFY(view);
        ConfigurationView* panel = view->configurationView();
        view->screenRecorder().setCrop(std::nullopt);
        QVERIFY(pick(view, film));
        QTRY_VERIFY_WITH_TIMEOUT(panel->sources().file().hasLookedForBars(), 60000);
        QPushButton* use = panel->videoSection()->useDetectedCropButton();
        QCOMPARE(panel->sources().file().proposedCrop().has_value(), proposed);
        QCOMPARE(use->isVisibleTo(panel), proposed);
        if (!proposed)
            return;
        saveScreenshot(view->window(),
            u"video-file-bars-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
        use->click();
        const std::optional<media::Rect> crop = view->screenRecorder().crop();
        QVERIFY(crop.has_value());
        const bool letterbox = QTest::currentDataTag() == QByteArrayLiteral("letterboxed");
        const media::Rect expected
            = letterbox ? media::Rect { 0, 23.0 / 180, 1, 134.0 / 180 } : media::Rect { 40.0 / 320, 0, 240.0 / 320, 1 };
        QVERIFY2(std::abs(crop->x - expected.x) < 0.02 && std::abs(crop->y - expected.y) < 0.02
                && std::abs(crop->width - expected.width) < 0.02 && std::abs(crop->height - expected.height) < 0.02,
            qPrintable(u"%1 %2 %3 %4"_s.arg(crop->x).arg(crop->y).arg(crop->width).arg(crop->height)));
        // Taken: the button and the outline go.
        QVERIFY(!use->isVisibleTo(panel));
        QVERIFY(!panel->sources().newCropProposal());

        // And the analysis sees only the picture: the outer cells are not the bars.
        panel->recordingButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(panel->sources().file().stage(), capture::VideoFileSource::Stage::Analysed, 60000);
        QCOMPARE(cellOtherThan(parseRecord(panel->sources().file().takeRecording()), 0.5, { 255, 0, 0 }, 8), QString());
    }

    // On the screen, the crop comes from captured frames whatever their row padding; another display starts afresh.
    void liveFramesProposeACrop_data()
    {
        QTest::addColumn<int>("bar"); // rows of black above and below the picture
        QTest::addColumn<int>("brightness"); // of the picture, 0-255
        QTest::addColumn<bool>("proposed");
        QTest::newRow("letterboxed") << 8 << 200 << true;
        QTest::newRow("whole picture") << 0 << 200 << false;
        QTest::newRow("dark scenes") << 8 << 12 << false;
    }

    void liveFramesProposeACrop()
    {
        QFETCH(int, bar);
        QFETCH(int, brightness);
        QFETCH(bool, proposed);
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        RecordingSources sources(screenRecorder);
        QSignalSpy changed(&sources, &RecordingSources::cropChanged);
        constexpr int kWidth = 100;
        constexpr int kHeight = 56;
        constexpr std::size_t kRow = kWidth * 4 + 24; // padded, as captured frames may be
        for (int frame = 0; frame < 120; ++frame) {
            std::shared_ptr<std::uint8_t> pixels(
                new std::uint8_t[kRow * kHeight](), std::default_delete<std::uint8_t[]>());
            // A new scene every ten frames: its own colour, with a lighter patch that moves.
            const int scene = frame / 10;
            for (int y = bar; y < kHeight - bar; ++y)
                for (int x = 0; x < kWidth; ++x) {
                    std::uint8_t* p = pixels.get() + y * kRow + x * 4;
                    const bool patch = (x / 20 + scene) % 5 == 0;
                    p[0] = std::uint8_t((scene * 67) % 256 * brightness / 255);
                    p[1] = std::uint8_t((patch ? 255 : (scene * 131) % 256) * brightness / 255);
                    p[2] = std::uint8_t(brightness);
                    p[3] = 255;
                }
            screenRecorder.capturePreview()->setContents(std::make_shared<const screencapture::Surface>(
                screencapture::Surface { kWidth, kHeight, kRow, media::PixelFormat::BGRA, pixels }));
            screenRecorder.lookForBars();
        }
        QCOMPARE(sources.newCropProposal().has_value(), proposed);
        if (!proposed)
            return;
        QVERIFY(changed.count() > 0);
        QVERIFY(std::abs(sources.newCropProposal()->y - bar / double(kHeight)) < 0.03);
        QVERIFY(std::abs(sources.newCropProposal()->height - (kHeight - 2 * bar) / double(kHeight)) < 0.03);
        // The file has its own proposal (none here); the screen's comes back with it.
        sources.setFile(true);
        QVERIFY(!sources.newCropProposal());
        sources.setFile(false);
        QVERIFY(sources.newCropProposal().has_value());
        sources.useProposedCrop();
        QVERIFY(screenRecorder.crop().has_value());
        QVERIFY(!sources.newCropProposal());
        // A crop in use more than a hundredth off in any one side leaves the proposal new.
        const media::Rect taken = *screenRecorder.crop();
        for (double media::Rect::*side :
            { &media::Rect::x, &media::Rect::y, &media::Rect::width, &media::Rect::height })
            for (const double off : { 0.005, 0.02 }) {
                media::Rect moved = taken;
                moved.*side -= off;
                sources.setCrop(moved);
                QCOMPARE(sources.newCropProposal().has_value(), off > 0.01);
            }
        // Another display: what was seen of the old one proves nothing.
        screenRecorder.setCaptureType(capture::ScreenRecorder::CaptureType::window);
        QVERIFY(!screenRecorder.proposedCrop());
    }
    // What is said of an earlier choice of file, arriving after a later choice, is not shown.
    void anEarlierChoiceAnsweringLateIsNotShown()
    {
        const QString earlier = path(u"earlier.mp4"_s);
        QFile notes(earlier);
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("These are not moving pictures.\n") > 0);
        notes.close();
        const QString latest = path(u"latest-missing.mp4"_s);
        RecordingView* view = openFileWindow();
        QVERIFY(view);
        capture::VideoFileSource& film = view->configurationView()->sources().file();
        // The latest file is chosen when the answer about the earlier one comes in.
        struct ChooseFirst final : QObject {
            ChooseFirst(capture::VideoFileSource& source, const QString& path)
                : m_source(source)
                , m_path(path)
            {
            }
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::MetaCall && m_source.path() != m_path)
                    m_source.choose(m_path);
                return false;
            }
            capture::VideoFileSource& m_source;
            QString m_path;
        } chooseFirst(film, latest);
        film.installEventFilter(&chooseFirst);
        QStringList said;
        QObject listener;
        connect(&film, &capture::RecordingSource::messageChanged, &listener, [&] { said << film.message(); });
        film.choose(earlier);
        QTRY_COMPARE_WITH_TIMEOUT(film.stage(), capture::VideoFileSource::Stage::Invalid, 30000);
        const qsizetype chosen = said.indexOf(u"Looking at latest-missing.mp4…"_s);
        QVERIFY2(chosen > 0, qPrintable(said.join(u'\n')));
        QCOMPARE(said.mid(chosen + 1).filter(u"earlier.mp4"_s), QStringList());
        QVERIFY2(said.last().contains(u"latest-missing.mp4"_s), qPrintable(said.last()));
    }

    // Every control of every window, twice, in each state (under ASan, one reaching a deleted object stops the run).
    void everyControlSurvivesBeingDrivenTwice_data()
    {
        QTest::addColumn<QString>("state");
        for (const char* state :
            { "idle", "recording", "failed upload", "signed out", "video file", "analysing", "analysed" })
            QTest::newRow(state) << QString::fromLatin1(state);
    }

    void everyControlSurvivesBeingDrivenTwice()
    {
        QFETCH(QString, state);
        m_studio->newMainWindow()->listView()->openAddWindow();
        RecordingWindow* window = openWindow();
        QVERIFY(window);
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        if (state == QLatin1String("recording")) {
            panel->recordingButton()->click();
        } else if (state == QLatin1String("failed upload")) {
            panel->recordingButton()->click();
            m_manager->session.setAccessToken(u"refused"_s);
            panel->recordingButton()->click();
            QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::NotUploaded);
        } else if (state == QLatin1String("signed out")) {
            m_manager->session.setAccessToken(std::nullopt);
        } else if (state == QLatin1String("video file")) {
            Q_EMIT panel->captureTypePicker()->activated(2);
        }
        // A film held inside its analysis (until the sweep is over), or analysed to its end.
        FrameGate gate(10);
        capture::VideoFileSource& film = panel->sources().file();
        if (state.startsWith(QLatin1String("analys"))) {
            REQUIRE_FFMPEG();
            const QString sweep = path(u"sweep.mp4"_s);
            if (!QFileInfo::exists(sweep))
                MAKE_FILM({ "-f", "lavfi", "-i", corvex::test::colourCycle(2, 160, 90), "-c:v", "libx264", sweep });
            Q_EMIT panel->captureTypePicker()->activated(2);
            film.choose(sweep);
            QTRY_VERIFY_WITH_TIMEOUT(panel->recordingButton()->isEnabled(), 60000);
            if (state == QLatin1String("analysing"))
                film.setFrameObserver(gate.observer());
            panel->recordingButton()->click();
            QCOMPARE(film.stage(), capture::VideoFileSource::Stage::Analysing);
            if (state == QLatin1String("analysed"))
                QTRY_COMPARE_WITH_TIMEOUT(film.stage(), capture::VideoFileSource::Stage::Analysed, 60000);
        }
        // Questions and choosers that the controls open are answered as they come.
        QTimer answer;
        answer.setInterval(20);
        connect(&answer, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        answer.start();
        // Every window and dialog on screen, whichever opened it.
        for (int round = 0; round < 2; ++round) {
            QList<QPointer<QWidget>> windows;
            for (QWidget* top : QApplication::topLevelWidgets())
                if (top->isVisible())
                    windows.append(top);
            for (const QPointer<QWidget>& each : windows)
                if (each && each->isVisible())
                    driveEveryControl(each);
        }
        answer.stop();
        gate.open();
        for (QWidget* top : QApplication::topLevelWidgets())
            top->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // Signed in afresh: a row may have left a missing or refused token.
        QVERIFY(signIn(*m_manager, tokenFor(m_service.origin(), u"keys@example.org"_s)));
    }
};

int main(int argc, char** argv)
{
    privateHome();
    QApplication app(argc, argv);
    TestAppRecording test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app_recording.moc"
