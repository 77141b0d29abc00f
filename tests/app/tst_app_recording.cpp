// The recording window as the author drives it, offscreen, against the real
// reference service: every control follows the state of what is recorded,
// the keyboard alone records, the window remembers its choices, and every
// control of every window survives being driven twice in every state.

#include "studio_fixture.h"

#include "../support/test_films.h"

#include "app/capture_preview_view.h"
#include "app/catalogue_window.h"
#include "app/colour_swatch_view.h"
#include "app/configuration_view.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/recording_controls.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/video_section.h"
#include "capture/video_file_source.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>

#include <atomic>
#include <chrono>
#include <thread>

using namespace corvex;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using namespace corvex::testing;
using State = capture::RecordingSource::State;

namespace {

// Clicks, picks and types into every enabled control `window` shows now, and
// into the dialogs that this opens; nothing here knows a control by name.
// Controls that leave the program or the machine are left alone.
void driveEveryControl(QPointer<QWidget> window)
{
    static const QStringList leftAlone { u"&Quit"_s, u"Quit"_s };
    QList<QPointer<QWidget>> controls;
    for (QWidget* widget : window->findChildren<QWidget*>())
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
            for (QAction* action : menu->actions())
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
    std::atomic<bool> m_holdAnalysis = false; // read by the analysing thread

    RecordingWindow* openWindow()
    {
        RecordingWindow* window
            = m_studio->environment().recordingWindows.openRecordingWindow(movieItem(++m_nextMovie, u"The Kid"_s));
        if (window)
            window->resize(800, 600);
        return window;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_service.start());
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

    // The recorded window closes mid-recording: the clock stands, the colours
    // and the suggested crop go, the panel says what to do, and another window
    // carries the same recording on.
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

    // The chosen window closes while nothing is recorded: nothing of it is
    // shown, and there is nothing to start.
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
    }

    // "Restart screen capture" is about the screen: there is nothing to
    // restart on a film, and the controls below do not move for it.
    void restartIsForTheScreenOnly()
    {
        RecordingWindow* window = openWindow();
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(window->view()->screenRecorder().isRunning());
        QVERIFY(panel->restartButton()->isVisible());
        const QPoint start = panel->recordingButton()->mapTo(window, QPoint());
        Q_EMIT panel->captureTypePicker()->activated(2);
        QTRY_VERIFY(panel->videoSection()->fileDialog());
        panel->videoSection()->fileDialog()->reject();
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

        QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Delete, Qt::ControlModifier);
        QTRY_VERIFY(panel->discardConfirmation() && panel->discardConfirmation()->isVisible());
        QTest::keyClick(panel->discardConfirmation(), Qt::Key_Return); // Return keeps it
        QVERIFY(sharedRecorder().started());
        QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier); // asks: a recording runs
        QTRY_VERIFY(window->closeConfirmation() && window->closeConfirmation()->isVisible());
        QPointer<RecordingWindow> closing(window);
        buttonWithText(window->closeConfirmation(), u"Discard"_s)->click();
        QTRY_VERIFY(!closing);
        QVERIFY(!sharedRecorder().started());
    }

    // The next window opens on the capture type chosen last.
    void theCaptureTypeIsRemembered()
    {
        RecordingWindow* window = openWindow();
        Q_EMIT window->view()->configurationView()->captureTypePicker()->activated(1);
        window->close();
        window = openWindow();
        QCOMPARE(window->view()->configurationView()->captureTypePicker()->currentIndex(), 1);
        QCOMPARE(window->view()->screenRecorder().captureType(), capture::ScreenRecorder::CaptureType::window);
    }

    // Each cell of the swatch keeps its edge on the panel, also a black cell
    // on a dark panel and a white one on a light panel.
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

    // Every control of every window, twice, in each state a window can be in
    // (under the address sanitizer, a control that reaches a deleted object stops the run).
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
        m_holdAnalysis = state == QLatin1String("analysing");
        capture::VideoFileSource& film = panel->sources().file();
        if (state.startsWith(QLatin1String("analys"))) {
            if (!corvex::test::haveFfmpeg())
                QSKIP("the ffmpeg command is not installed; it makes the test film");
            const QString path = m_service.folders.filePath(u"sweep.mp4"_s);
            if (!QFileInfo::exists(path)) {
                const QString failure = corvex::test::runFfmpeg(
                    { "-f", "lavfi", "-i", corvex::test::colourCycle(2, 160, 90), "-c:v", "libx264", path });
                QVERIFY2(failure.isEmpty(), qPrintable(failure));
            }
            Q_EMIT panel->captureTypePicker()->activated(2);
            film.choose(path);
            QTRY_VERIFY_WITH_TIMEOUT(panel->recordingButton()->isEnabled(), 60000);
            film.setFrameObserver([this](int frame) {
                for (int waited = 0; frame == 10 && m_holdAnalysis && waited < 6000; ++waited)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            });
            panel->recordingButton()->click();
            QCOMPARE(film.stage(), capture::VideoFileSource::Stage::Analysing);
            if (!m_holdAnalysis)
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
        m_holdAnalysis = false;
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
