// The recording window where the desktop's own dialog picks what is shared
// (Wayland): what the author chose, "Choose…", and the warning that a shared
// display shows the studio too. The window's part runs over a synthetic screen
// that plays the desktop's dialog; the whole road runs through the screen-cast
// portal of the headless Wayland desktop that scripts/test-services starts.

#include "analysis/analysis_recorder.h"
#include "app/configuration_view.h"
#include "app/desktop_choice_view.h"
#include "app/recording_sources.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/studio_app.h"
#include "app/upload_notifications.h"
#include "app/upload_queue.h"
#include "app/video_section.h"
#include "capture/screen_recorder.h"
#include "capture/video_file_source.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/settings/store.h"
#include "studio_fixture.h"
#include "support/fake_portal.h"
#include "support/wayland_test_desktop.h"

#include <QComboBox>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFileDialog>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <csignal>
#include <mutex>

using namespace corvex;
using namespace corvex::testing;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using screencapture::DesktopChoice;
using Kind = screencapture::DesktopChoice::Kind;

namespace {

// The synthetic screen behind a desktop dialog that the test answers.
class DialogBackend final : public testing::AdjustedSyntheticBackend, public screencapture::DesktopChooser {
public:
    explicit DialogBackend(DesktopChoice choice = {}, bool windowsOffered = false)
        : m_choice(choice)
        , m_windows(windowsOffered)
    {
    }
    std::string name() const override { return "dialog"; }
    void adjust(screencapture::ShareableContent& content) override
    {
        content.displays.resize(1);
        // Where the dialog offers windows, one entry stands for the one it picks.
        content.windows.resize(m_windows && !content.windows.empty() ? 1 : 0);
    }
    DesktopChooser* desktopChooser() override { return this; }

    DesktopChoice desktopChoice() override
    {
        std::lock_guard lock(m_mutex);
        return m_choice;
    }
    bool offersWindows() override { return m_windows; }
    void chooseAgain() override
    {
        std::lock_guard lock(m_mutex);
        m_choice = {};
        ++m_asked;
    }

    void answer(DesktopChoice choice, bool windowsOffered)
    {
        std::lock_guard lock(m_mutex);
        m_choice = choice;
        m_windows = windowsOffered;
    }
    int asked() const { return m_asked; }

private:
    std::mutex m_mutex;
    DesktopChoice m_choice;
    std::atomic<bool> m_windows = false;
    std::atomic<int> m_asked = 0;
};

// The desktop portal's file chooser, answering each OpenFile with `code` and
// `results` once its caller waits for the answer.
class FakeFileChooser final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
    Q_PROPERTY(uint version READ version)
public:
    FakeFileChooser(QObject* parent, const QDBusConnection& bus)
        : QDBusAbstractAdaptor(parent)
        , m_bus(bus)
    {
    }
    uint version() const { return 3; }
    uint code = 0;
    QVariantMap results;
    QByteArray folder; // the current_folder asked for

public Q_SLOTS:
    QDBusObjectPath OpenFile(const QString&, const QString&, const QVariantMap& options, const QDBusMessage& call)
    {
        folder = options.value(u"current_folder"_s).toByteArray();
        return corvex::testing::respondLater(this, m_bus.name(), call, options, code, results);
    }

private:
    QDBusConnection m_bus;
};

// The desktop's notification service: what it was told.
class FakeNotifications final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeNotifications(QObject* parent)
        : QDBusAbstractAdaptor(parent)
    {
    }
    QList<QVariantList> told;

public Q_SLOTS:
    uint Notify(const QString& application, uint replaces, const QString& icon, const QString& summary,
        const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        told.append({ application, replaces, icon, summary, body, actions, hints, timeout });
        return uint(told.size());
    }
};

// The video section, shown, on a screen whose desktop dialog `backend` plays
// (answered with `choice` until told otherwise).
struct SectionRig {
    std::shared_ptr<DialogBackend> backend;
    capture::ScreenRecorder recorder;
    RecordingSources sources;
    VideoSection section;

    explicit SectionRig(DesktopChoice choice = {}, bool windowsOffered = false, bool rememberType = false)
        : backend(std::make_shared<DialogBackend>(choice, windowsOffered))
        , recorder(backend, testing::sharedRecorder(), nullptr)
        , sources(recorder, rememberType)
        , section(sources)
    {
        section.show();
    }
};

} // namespace

Q_DECLARE_METATYPE(DesktopChoice)

class TestAppDesktopChoice final : public QObject {
    Q_OBJECT

    QTemporaryDir m_folders;
    int m_managers = 0;

    std::unique_ptr<ServiceClient> newManager()
    {
        const QString folder = m_folders.path() + u"/m%1"_s.arg(++m_managers);
        QDir().mkpath(folder);
        // Never signed in: the window asks nothing of the service.
        return makeManager(u"http://127.0.0.1:9"_s, folder);
    }

    // The headless desktop's portal, the author's choice kept in `file`.
    screencapture::portal::PortalBackend::Options portalOn(const test::WaylandTestDesktop& desktop, const QString& file)
    {
        screencapture::portal::PortalBackend::Options options;
        options.address.busAddress = desktop.bus.toStdString();
        options.store = screencapture::portal::settingsChoiceStore(m_folders.filePath(file).toStdString());
        return options;
    }

    QProcess m_bus; // a session bus of the test's own, for the desktop's file chooser

private Q_SLOTS:
    void initTestCase()
    {
        privateHome();
        m_bus.start(u"dbus-daemon"_s, { u"--session"_s, u"--nofork"_s, u"--print-address=1"_s });
        QVERIFY(m_bus.waitForReadyRead(10000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
    }

    // How an upload that nobody watched ended is told to the desktop, as ours.
    void aBackgroundUploadIsToldToTheDesktop()
    {
        QObject object;
        auto* notifications = new FakeNotifications(&object);
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject(u"/org/freedesktop/Notifications"_s, &object, QDBusConnection::ExportAdaptors));
        QVERIFY(bus.registerService(u"org.freedesktop.Notifications"_s));
        auto gone = qScopeGuard([&] {
            bus.unregisterService(u"org.freedesktop.Notifications"_s);
            bus.unregisterObject(u"/org/freedesktop/Notifications"_s);
        });
        auto manager = newManager();
        UploadQueue uploads(manager->uploads);
        UploadNotifications told(uploads);
        UploadQueue::Delivered delivered;
        delivered.pending.entry.item = movieItem(90020, u"Metropolis"_s);
        delivered.delivery = UploadQueue::Delivery::Sent;
        delivered.background = true;
        Q_EMIT uploads.delivered(delivered);
        QTRY_COMPARE(notifications->told.size(), 1);
        const QVariantList& note = notifications->told.first();
        QCOMPARE(note.at(0).toString(), u"Corvex Studio"_s);
        QCOMPARE(note.at(3).toString(), u"Light show uploaded"_s);
        QCOMPARE(note.at(4).toString(), u"“Metropolis” reached the service."_s);
        QCOMPARE(
            note.at(6).toMap().value(u"desktop-entry"_s).toString(), QString::fromLatin1(StudioApp::kApplicationId));
        QCOMPARE(note.at(7).toInt(), -1);
    }

    void cleanup()
    {
        if (testing::sharedRecorder().started())
            testing::sharedRecorder().stop();
    }

    void showsWhatTheDesktopPicked_data()
    {
        QTest::addColumn<DesktopChoice>("choice");
        QTest::addColumn<bool>("windowsOffered");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("warned");
        QTest::addColumn<bool>("suggestsWindow");
        QTest::newRow("not chosen") << DesktopChoice {} << true << u"Not chosen yet"_s << false << false;
        QTest::newRow("display, monitors only")
            << DesktopChoice { Kind::display, 1920, 1080 } << false << u"Display: 1920 x 1080"_s << true << false;
        QTest::newRow("display, windows offered")
            << DesktopChoice { Kind::display, 2560, 1440 } << true << u"Display: 2560 x 1440"_s << true << true;
        QTest::newRow("display of no height yet")
            << DesktopChoice { Kind::display, 1920, 0 } << false << u"Display"_s << true << false;
        QTest::newRow("window") << DesktopChoice { Kind::window, 800, 600 } << true << u"Window: 800 x 600"_s << false
                                << false;
    }
    void showsWhatTheDesktopPicked()
    {
        QFETCH(DesktopChoice, choice);
        QFETCH(bool, windowsOffered);
        QFETCH(QString, text);
        QFETCH(bool, warned);
        QFETCH(bool, suggestsWindow);
        SectionRig rig(choice, windowsOffered);
        VideoSection& section = rig.section;
        DesktopChoiceView* view = section.desktopChoice();
        QVERIFY(view);
        QCOMPARE(view->choiceLabel()->text(), text);
        QCOMPARE(view->ownWindowsHint()->isVisibleTo(&section), warned);
        if (warned) {
            QVERIFY(view->ownWindowsHint()->text().contains(u"cannot be left out"_s));
            QCOMPARE(view->ownWindowsHint()->text().contains(u"the player's window"_s), suggestsWindow);
        }
    }

    // The lists give way to the desktop's dialog; where it offers single
    // windows the window road comes first, unless the author chose a display.
    void theListsGiveWayToTheDesktopsDialog_data()
    {
        QTest::addColumn<bool>("windowsOffered");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<bool>("window");
        QTest::newRow("monitors only") << false << QString() << false;
        QTest::newRow("monitors only, window remembered") << false << u"window"_s << false;
        QTest::newRow("windows offered") << true << QString() << true;
        QTest::newRow("windows offered, window remembered") << true << u"window"_s << true;
        QTest::newRow("windows offered, display remembered") << true << u"display"_s << false;
    }
    void theListsGiveWayToTheDesktopsDialog()
    {
        QFETCH(bool, windowsOffered);
        QFETCH(QString, remembered);
        QFETCH(bool, window);
        settings::Store().setValue(RecordingSources::captureTypeKey(), remembered);
        SectionRig rig({}, windowsOffered, true);
        auto& [backend, recorder, sources, section] = rig;
        QCoro::waitFor(recorder.refreshAvailableContent());
        QVERIFY(section.desktopChoice()->isVisibleTo(&section));
        QVERIFY(!section.displayPicker()->isVisibleTo(&section));
        QVERIFY(!section.windowPicker()->isVisibleTo(&section));
        // Our window list stays empty there for good: no hint about it.
        QVERIFY(!section.emptyHint()->isVisibleTo(&section));
        auto* types = qobject_cast<QStandardItemModel*>(section.captureTypePicker()->model());
        QVERIFY(types);
        QVERIFY(types->item(0)->isEnabled());
        QCOMPARE(types->item(1)->isEnabled(), windowsOffered);
        QCOMPARE(recorder.captureType() == capture::ScreenRecorder::CaptureType::window, window);
        QCOMPARE(section.captureTypePicker()->currentIndex(), window ? 1 : 0);
        if (window) {
            QVERIFY(recorder.contentFilter().has_value());
            saveScreenshot(&section, u"recording-wayland-window-road"_s);
        }
    }

    // "Choose…" asks the desktop's file chooser, in the folder chosen last;
    // Qt's own opens where the desktop has none or its chooser fails.
    void theDesktopsFileChooserComesFirst_data()
    {
        QTest::addColumn<bool>("portal");
        QTest::addColumn<uint>("code");
        QTest::addColumn<bool>("chosen");
        QTest::addColumn<bool>("ownDialog");
        QTest::newRow("chosen") << true << 0u << true << false;
        QTest::newRow("cancelled") << true << 1u << false << false;
        QTest::newRow("failed") << true << 2u << false << true;
        QTest::newRow("no portal") << false << 0u << false << true;
    }
    void theDesktopsFileChooserComesFirst()
    {
        QFETCH(bool, portal);
        QFETCH(uint, code);
        QFETCH(bool, chosen);
        QFETCH(bool, ownDialog);
        QObject portalObject;
        QDBusConnection bus = QDBusConnection::sessionBus();
        auto* chooser = new FakeFileChooser(&portalObject, bus);
        const QString film = m_folders.filePath(u"films/film.mp4"_s);
        QDir().mkpath(QFileInfo(film).path());
        chooser->code = code;
        chooser->results.insert(u"uris"_s, QStringList { QUrl::fromLocalFile(film).toString() });
        const QString service = u"org.freedesktop.portal.Desktop"_s;
        if (portal) {
            QVERIFY(bus.registerObject(corvex::testing::kPortalPath, &portalObject, QDBusConnection::ExportAdaptors));
            QVERIFY(bus.registerService(service));
        }
        auto gone = qScopeGuard([&] {
            bus.unregisterService(service);
            bus.unregisterObject(corvex::testing::kPortalPath);
        });
        settings::Store().setValue(VideoSection::folderKey(), m_folders.path());
        SectionRig rig;
        auto& [backend, recorder, sources, section] = rig;
        section.chooseFile();
        QTRY_VERIFY(!section.portalChooser().isOpen());
        QCOMPARE(chooser->folder, portal ? QByteArray(m_folders.path().toUtf8() + '\0') : QByteArray());
        QCOMPARE(sources.file().path(), chosen ? film : QString());
        QCOMPARE(VideoSection::lastFolder(), chosen ? QFileInfo(film).path() : m_folders.path());
        QCOMPARE(section.fileDialog() != nullptr, ownDialog);
        if (section.fileDialog())
            section.fileDialog()->close();
        // A remembered folder that has gone since is not offered.
        settings::Store().setValue(VideoSection::folderKey(), m_folders.filePath(u"gone"_s));
        QVERIFY2(QDir(VideoSection::lastFolder()).exists(), qPrintable(VideoSection::lastFolder()));
    }

    // The file road has its page, and the choice made on a capture thread
    // while the dialog is open shows with the model's next refresh.
    void theChoiceFollowsTheDesktop()
    {
        SectionRig rig;
        auto& [backend, recorder, sources, section] = rig;
        for (const bool file : { true, false, true, false }) {
            sources.setFile(file);
            QCOMPARE(section.chooseFileButton()->isVisibleTo(&section), file);
            QCOMPARE(section.desktopChoice()->isVisibleTo(&section), !file);
        }
        QCOMPARE(section.desktopChoice()->choiceLabel()->text(), DesktopChoiceView::notChosenText());
        backend->answer({ Kind::display, 1280, 1024 }, false);
        QCoro::waitFor(recorder.refreshAvailableContent());
        QCOMPARE(section.desktopChoice()->choiceLabel()->text(), u"Display: 1280 x 1024"_s);
        QVERIFY(section.desktopChoice()->ownWindowsHint()->isVisibleTo(&section));
    }

    void onX11NothingChanges()
    {
        capture::ScreenRecorder recorder(
            std::make_shared<screencapture::SyntheticBackend>(), testing::sharedRecorder(), nullptr);
        RecordingSources sources(recorder);
        VideoSection section(sources);
        section.show();
        QCoro::waitFor(recorder.refreshAvailableContent());
        QVERIFY(!section.desktopChoice());
        QVERIFY(section.displayPicker()->isVisibleTo(&section));
        QVERIFY(section.displayPicker()->count() > 0);
        auto* types = qobject_cast<QStandardItemModel*>(section.captureTypePicker()->model());
        QVERIFY(types->item(1)->isEnabled());
    }

    void chooseAsksAgainAndStartsAStoppedCapture()
    {
        SectionRig rig({ Kind::display, 1920, 1080 });
        auto& [backend, recorder, sources, section] = rig;
        recorder.setIsAudioCaptureEnabled(false);
        QVERIFY(!recorder.isRunning());
        QTest::mouseClick(section.desktopChoice()->chooseButton(), Qt::LeftButton);
        QCOMPARE(backend->asked(), 1);
        QCOMPARE(section.desktopChoice()->choiceLabel()->text(), DesktopChoiceView::notChosenText());
        QVERIFY(!section.desktopChoice()->ownWindowsHint()->isVisibleTo(&section));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.isRunning(), 10000);
        // While it runs the capture asks by itself: pressing again starts nothing more.
        backend->answer({ Kind::display, 1920, 1080 }, false);
        QSignalSpy running(&recorder, &capture::ScreenRecorder::isRunningChanged);
        QTest::mouseClick(section.desktopChoice()->chooseButton(), Qt::LeftButton);
        QCOMPARE(backend->asked(), 2);
        QVERIFY(recorder.isRunning());
        QCOMPARE(running.count(), 0);
    }

    void theRecordingWindowOnWayland()
    {
        auto manager = newManager();
        UploadQueue uploads(manager->uploads);
        auto backend = std::make_shared<DialogBackend>(DesktopChoice { Kind::display, 1920, 1080 }, true);
        RecordingView view(manager->session, uploads, {}, RecordingModels::process().recorder,
            RecordingModels::process().previewLink, backend);
        view.resize(800, 600);
        view.show();
        QTRY_VERIFY_WITH_TIMEOUT(view.screenRecorder().isRunning(), 10000);
        QTRY_VERIFY(view.screenRecorder().contentSize() != QSizeF(1, 1));
        VideoSection* section = view.configurationView()->videoSection();
        QCOMPARE(section->desktopChoice()->choiceLabel()->text(), u"Display: 1920 x 1080"_s);
        QVERIFY(section->desktopChoice()->ownWindowsHint()->isVisibleTo(&view));
        // The panel must still fit the 600-point window with the warning in it.
        QVERIFY(view.configurationView()->minimumSizeHint().height() <= 600);
        saveScreenshot(&view, u"recording-wayland-display"_s);
        // While recording, what is shared cannot be changed.
        testing::sharedRecorder().start();
        QVERIFY(!section->desktopChoice()->chooseButton()->isEnabled());
        testing::sharedRecorder().stop();
        QVERIFY(section->desktopChoice()->chooseButton()->isEnabled());
        backend->answer({ Kind::window, 1280, 720 }, true);
        QCoro::waitFor(view.screenRecorder().refreshAvailableContent());
        QVERIFY(!section->desktopChoice()->ownWindowsHint()->isVisibleTo(&view));
        saveScreenshot(&view, u"recording-wayland-window"_s);
    }

    // Where the desktop shares a whole display, the Recording window steps
    // aside when a recording starts; a shared window, or none chosen yet, keeps it.
    void theWindowStepsAsideFromASharedDisplay_data()
    {
        QTest::addColumn<Kind>("shared");
        QTest::newRow("display") << Kind::display;
        QTest::newRow("window") << Kind::window;
        QTest::newRow("nothing chosen") << Kind::none;
    }
    void theWindowStepsAsideFromASharedDisplay()
    {
        QFETCH(Kind, shared);
        auto manager = newManager();
        UploadQueue uploads(manager->uploads);
        RecordingWindow window(manager->session, uploads, movieItem(90001, u"Nosferatu"_s), RecordingModels::process(),
            std::make_shared<DialogBackend>(DesktopChoice { shared, 1920, 1080 }, true));
        window.show();
        capture::ScreenRecorder& screen = window.view()->screenRecorder();
        QTRY_VERIFY(screen.isRunning());
        QVERIFY(screen.startRecording(std::nullopt));
        QCoreApplication::processEvents();
        QCOMPARE(window.isMinimized(), shared == Kind::display);
        screen.discardRecording();
    }

    // ---- Through the real screen-cast portal ----

    // KDE's portal offers single windows: the window road comes first and
    // shares the window the author chose. Sway's offers none: a display stays.
    void theWindowRoadComesFirstThroughThePortal()
    {
        const std::optional<test::WaylandTestDesktop> desktop = test::WaylandTestDesktop::fromEnvironment();
        if (!desktop)
            QSKIP("no headless Wayland desktop (scripts/test-services starts one)");
        QVERIFY(desktop->ensurePortalRunning());
        desktop->resetChooser();
        test::WaylandPainter painter(*desktop, u"frame"_s);
        screencapture::portal::PortalBackend::Options options = portalOn(*desktop, u"road.ini"_s);
        if (desktop->sharesWindows()) {
            // What the author picks in KDE's dialog, as its permission store keeps it.
            const QString token = desktop->rememberPaintersWindow();
            QVERIFY(!token.isEmpty());
            options.store->save({ token.toStdString(), 0, 0, screencapture::portal::kSourceWindow });
        }
        auto manager = newManager();
        UploadQueue uploads(manager->uploads);
        RecordingView view(manager->session, uploads, {}, RecordingModels::process().recorder,
            RecordingModels::process().previewLink, screencapture::portal::PortalBackend::create(options));
        view.screenRecorder().setIsAudioCaptureEnabled(false);
        view.resize(800, 600);
        view.show();
        QTRY_VERIFY_WITH_TIMEOUT(view.screenRecorder().isRunning(), 20000);
        using Type = capture::ScreenRecorder::CaptureType;
        QCOMPARE(view.screenRecorder().captureType(), desktop->sharesWindows() ? Type::window : Type::display);
        if (!desktop->sharesWindows())
            return;
        DesktopChoiceView* choice = view.configurationView()->videoSection()->desktopChoice();
        QTRY_VERIFY_WITH_TIMEOUT(choice->choiceLabel()->text().startsWith(u"Window"_s), 20000);
        QVERIFY(!choice->ownWindowsHint()->isVisibleTo(&view));
        testing::sharedRecorder().start();
        QTRY_VERIFY_WITH_TIMEOUT(testing::sharedRecorder().frameCount() > 0, 20000);
        testing::sharedRecorder().stop();
        saveScreenshot(&view, u"recording-kde-window-road"_s);
    }
};

QTEST_MAIN(TestAppDesktopChoice)
#include "tst_app_desktop_choice.moc"
