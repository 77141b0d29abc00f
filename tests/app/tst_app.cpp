// The studio's windows, offscreen, against the real reference service (and a
// fault-injecting server where the service would have to misbehave).

#include "studio_fixture.h"

#include "../support/fault_server.h"

#include "app/audio_levels_view.h"
#include "app/backoff.h"
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
#include "app/outbox_actions.h"
#include "app/outbox_bar.h"
#include "app/outbox_dialog.h"
#include "app/outbox_retry.h"
#include "app/panel_section.h"
#include "app/realtime_preview_section.h"
#include "app/recording_controls.h"
#include "app/recording_upload.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/single_instance.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "app/upload_notifications.h"
#include "app/upload_queue.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/light_show_list_model.h"

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
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
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
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>

using namespace corvex;
using namespace Qt::StringLiterals;
using namespace corvex::app;
using namespace corvex::testing;

namespace {

// A screen with displays but no window that names its process (fault injection
// over the synthetic screen).
class NoWindowsBackend final : public AdjustedSyntheticBackend {
public:
    std::string name() const override { return "no-windows"; }

protected:
    void adjust(screencapture::ShareableContent& content) override { content.windows.clear(); }
};

// Announces a light receiver `name` at `port` on this machine, and picks it in
// `view` (shown) once the panel lists it.
bool pickReceiver(dnssd::Publisher& publisher, ConfigurationView& view, const QString& name, std::uint16_t port)
{
    view.show();
    publisher.publish(name, QString::fromLatin1(preview_link::kLightReceiverServiceType), port);
    QComboBox* picker = view.receiverPicker();
    if (!QTest::qWaitFor([&] { return picker->findText(name) > 0; }, 15000))
        return false;
    Q_EMIT picker->activated(picker->findText(name));
    return true;
}

// Opens a recording window for `item` and records a show in it, from start to save.
RecordingWindow* recordShow(StudioApp& studio, const catalogue::TMDBItem& item)
{
    RecordingWindow* window = studio.environment().recordingWindows.openRecordingWindow(item);
    window->view()->configurationView()->recordingButton()->click();
    window->view()->configurationView()->recordingButton()->click();
    return window;
}

} // namespace

class TestApp final : public QObject {
    Q_OBJECT

    StudioService m_service;

    // A manager signed in at `server`, whose account and (empty) list answer.
    std::unique_ptr<ServiceClient> signedInAt(FaultServer& server)
    {
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u","email":"u@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        auto manager = m_service.newManager(server.origin());
        return signIn(*manager, u"token-u"_s) ? std::move(manager) : nullptr;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_service.start()); }

    void cleanup()
    {
        if (sharedRecorder().started())
            sharedRecorder().stop();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
        auto manager = m_service.newManager();
        if (token) {
            // A token the service refuses would sign the studio out, so a
            // real one, whose account is then set (or not) by hand.
            QVERIFY(signIn(*manager, tokenFor(m_service.origin(), u"button@example.org"_s)));
        }
        manager->session.setAccount(
            account ? std::optional(service::Account { u"a1"_s, u"a@example.org"_s }) : std::nullopt);
        PanelRig rig(*manager, item ? std::optional(movieItem(90002, u"Nosferatu"_s)) : std::nullopt);
        auto& [recorder, screenRecorder, uploads, sources, view] = rig;
        QCoro::waitFor(screenRecorder.refreshAvailableContent());
        QCOMPARE(view.recordingButton()->isEnabled(), token && account && item);
        QCOMPARE(view.recordingButton()->text(), u"Start recording"_s);
        // Pressing a disabled button's action does nothing.
        view.toggleRecording();
        QCOMPARE(recorder.started(), token && account && item);
        QCOMPARE(view.itemTitle()->fullText(), item ? u"Nosferatu"_s : QString());
        if (recorder.started())
            recorder.stop();
    }

    void captureTypeSwitchesThePicker()
    {
        auto manager = m_service.newManager();
        PanelRig rig(*manager);
        auto& [recorder, screenRecorder, uploads, sources, view] = rig;
        QCoro::waitFor(screenRecorder.refreshAvailableContent());
        QCOMPARE(view.captureTypePicker()->itemText(0), u"Display"_s);
        QCOMPARE(view.captureTypePicker()->itemText(1), u"Window"_s);
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

        QCOMPARE(view.receiverPicker()->itemText(0), u"None"_s);
        Q_EMIT view.receiverPicker()->activated(0);
        QVERIFY(!preview_link::UDPManager::shared().selectedService());
    }

    void recordingDisablesCaptureControlsAndUploads()
    {
        auto manager = m_service.signedIn(u"rec@example.org"_s);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        RecordingWindow* window
            = studio.environment().recordingWindows.openRecordingWindow(movieItem(90003, u"The General"_s));
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

        // A drag on the preview crops, says where (left, then top), and "Reset crop" takes it away.
        QTest::mousePress(view->preview(), Qt::LeftButton, {}, QPoint(10, 40));
        QTest::mouseMove(view->preview(), QPoint(60, 70));
        QTest::mouseRelease(view->preview(), Qt::LeftButton, {}, QPoint(60, 70));
        QVERIFY(view->screenRecorder().crop().has_value());
        const media::Rect crop = *view->screenRecorder().crop();
        const QString at = u" at %1%, %2%"_s.arg(qRound(crop.x * 100)).arg(qRound(crop.y * 100));
        const auto labels = panel->findChildren<ElidedLabel*>();
        QVERIFY2(std::any_of(labels.begin(), labels.end(), [&](auto* label) { return label->fullText().endsWith(at); }),
            qPrintable(at));
        QVERIFY(panel->resetCropButton()->isEnabled());
        panel->resetCropButton()->click();
        QVERIFY(!view->screenRecorder().crop());

        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        QVERIFY(panel->recordingButton()->isEnabled());
        QTest::mousePress(view->preview(), Qt::LeftButton, {}, QPoint(10, 10)); // a drag the start overtakes
        panel->recordingButton()->click();
        QVERIFY(sharedRecorder().started());
        QCOMPARE(panel->recordingButton()->text(), u"Save recording"_s);
        QVERIFY(!panel->itemSection()->isEnabled());
        QVERIFY(!panel->videoSection()->isEnabled());
        QVERIFY(!panel->captureTypePicker()->isEnabled());
        QVERIFY(!panel->displayPicker()->isEnabled());
        QVERIFY(!panel->resetCropButton()->isEnabled());
        QVERIFY(panel->receiverPicker()->isEnabled());
        QVERIFY(panel->restartButton()->isEnabled());
        QTest::mouseRelease(view->preview(), Qt::LeftButton, {}, QPoint(60, 40));
        QVERIFY(!view->screenRecorder().crop()); // no cropping while recording
        QTRY_VERIFY(sharedRecorder().frameCount() > 2);
        QTRY_VERIFY(panel->recordingControls()->elapsed()->text().startsWith(u"● 00:0"_s));
        QTRY_VERIFY(panel->recordingControls()->frames()->text().endsWith(u" frames"_s));

        QSignalSpy refreshed(&manager->uploads, &service::UploadDelivery::lightShowsChanged);
        panel->recordingButton()->click();
        QVERIFY(!sharedRecorder().started());
        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        QVERIFY(panel->videoSection()->isEnabled());
        QVERIFY(view->userStopped());
        QVERIFY(view->preview()->isStopped());
        QTRY_COMPARE(refreshed.count(), 1);
        QCOMPARE(panel->uploadStatus()->text(), u"The recording was uploaded."_s);
        QCOMPARE(manager->uploads.outbox()->entries().size(), 0);

        panel->restartButton()->click();
        QVERIFY(!view->userStopped());
        QVERIFY(!view->preview()->isStopped());
    }

    // A failed upload is said in every view and kept; Retry, here or in the
    // main window, sends it again. Each message goes when its cause does.
    void uploadFailureIsShownAndRetried()
    {
        FaultServer server;
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 500, "{}" });
        auto manager = signedInAt(server);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        // The panel's Retry is what is tried here, not the outbox's own.
        studio.environment().outboxRetry.backoff().setDelays(600000, 600000);
        MainWindow* main = studio.newMainWindow();
        QSignalSpy refreshed(&manager->uploads, &service::UploadDelivery::lightShowsChanged);
        RecordingWindow* window = recordShow(studio, movieItem(90004, u"Caligari"_s));
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(panel->uploadStatus()->text().startsWith(u"Upload failed: "_s));
        QVERIFY(panel->uploadStatus()->text().contains(u"500"_s));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::NotUploaded);
        QCOMPARE(window->view()->preview()->note(), u"Not uploaded yet"_s);
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        QTRY_VERIFY(main->outboxLabel()->fullText().startsWith(u"1 recording is waiting to be uploaded."_s));
        QVERIFY(main->retryButton()->isVisibleTo(main));
        // The outbox's own retry is announced with the whole wait still ahead, in seconds rounded up.
        const QRegularExpressionMatch wait
            = QRegularExpression(u" Trying again in (\\d+) s\\.$"_s).match(main->outboxLabel()->fullText());
        const qint64 remaining = studio.environment().outboxRetry.backoff().remaining().count();
        QVERIFY2(wait.hasMatch() && wait.captured(1).toInt() >= 590 && wait.captured(1).toInt() * 1000 >= remaining,
            qPrintable(main->outboxLabel()->fullText() + u" with %1 ms to go"_s.arg(remaining)));

        // A Retry that fails again keeps the recording and offers Retry again.
        panel->retryButton()->click();
        QTRY_COMPARE(server.count("POST"), 2);
        QTRY_VERIFY(!panel->isUploading());
        QVERIFY(panel->uploadStatus()->text().startsWith(u"Upload failed: "_s));
        QVERIFY(panel->retryButton()->isEnabled());
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        QCOMPARE(manager->uploads.outbox()->entries().first().attempts, 2);
        main->retryButton()->click();
        QTRY_VERIFY(main->outboxLabel()->fullText().contains(u"Last attempt: "_s));
        QCOMPARE(refreshed.count(), 0);
        // Another recording that the main window's Retry sends is not this one.
        QVERIFY(manager->uploads.outbox()->add("recording", movieItem(90005, u"Golem"_s), u"u"_s));
        server.setAnswer("POST", "/tvapi/lightshow/movie/90005", { 200, "{}" });
        main->retryButton()->click();
        QTRY_COMPARE(refreshed.count(), 1);
        QTRY_VERIFY(!studio.environment().uploads.isRetryingAll());
        QVERIFY(panel->uploadStatus()->text().startsWith(u"Upload failed: "_s));
        // Long messages are cut at the window's edge with the whole text in the tooltip.
        main->resize(main->minimumSize());
        QCOMPARE(main->outboxLabel()->toolTip(), main->outboxLabel()->fullText());
        QVERIFY(main->outboxLabel()->width() <= main->width());

        // With another account signed in meanwhile, Retry leaves it for its own.
        const std::optional<service::Account> author = manager->session.account();
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"v","email":"v@example.org"})" });
        manager->session.setAccount(service::Account { u"v"_s, u"v@example.org"_s });
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(),
            u"This recording was made under another account, u@example.org (account u). It waits in the outbox until "
            "that account signs in again."_s);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u","email":"u@example.org"})" });
        manager->session.setAccount(author);

        // While the main window's Retry sends it, the panel's says so; its failure is the panel's news again.
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 500, "{}", FaultServer::Action::Hold });
        main->retryButton()->click();
        QTRY_COMPARE(server.held(), 1);
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), u"The recording is being uploaded from the main window."_s);
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 500, "{}" });
        server.releaseHeld();
        QTRY_VERIFY(panel->uploadStatus()->text().startsWith(u"Upload failed: "_s));

        // While the panel's Retry is on its way, the outbox window's says so and stays usable.
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 200, "{}", FaultServer::Action::Hold });
        panel->retryButton()->click();
        QTRY_COMPARE(server.held(), 1);
        // Nor is it sent again meanwhile, by any way in.
        QVERIFY(!panel->retryButton()->isEnabled());
        panel->recordingUpload().retry();
        QTest::qWait(100);
        QCOMPARE(panel->uploadStatus()->text(), u"Uploading the recording again…"_s);
        QVERIFY(panel->isUploading());
        server.setAnswer("POST", "/tvapi/lightshow/movie/90004", { 200, "{}" });
        OutboxDialog* outbox = main->outboxBar()->openOutbox();
        outbox->retryButton()->click();
        QTRY_COMPARE(outbox->message()->text(), u"It is being uploaded elsewhere right now."_s);
        QVERIFY(outbox->retryButton()->isEnabled());
        // (With no retry of the outbox's own planned, nothing else looks at the outbox meanwhile.)
        studio.environment().outboxRetry.backoff().reset();
        server.releaseHeld();
        QTRY_COMPARE(panel->uploadStatus()->text(), u"The recording was uploaded."_s);
        QVERIFY(!panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        QCOMPARE(window->view()->preview()->note(), u"Uploaded"_s);
        QCOMPARE(manager->uploads.outbox()->entries().size(), 0);
        // The main window's outbox knows at once, not at its next look.
        QVERIFY(!main->retryButton()->isVisibleTo(main));
        QVERIFY(!main->outboxLabel()->fullText().contains(u"Last attempt"_s));
        QTRY_COMPARE(refreshed.count(), 2);

        // "Uploaded" is gone with the next recording, and with the author.
        panel->recordingButton()->click();
        QVERIFY(panel->uploadStatus()->text().isEmpty());
        panel->recordingButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), u"The recording was uploaded."_s);
        // A first upload is its window's news, not the outbox's: that still counts the one that waited.
        QCOMPARE(main->outboxLabel()->fullText(), u"The waiting recording was uploaded."_s);
        // The main window's Retry brings news of its own sends only.
        QVERIFY(manager->uploads.outbox()->add("recording", movieItem(90007, u"Faust"_s), u"u"_s));
        server.setAnswer("POST", "/tvapi/lightshow/movie/90007", { 500, "{}" });
        main->retryButton()->click();
        QTRY_VERIFY(
            main->outboxLabel()->fullText().startsWith(u"1 recording is waiting to be uploaded. Last attempt"_s));
        // Retry in the outbox window on a recording that left the outbox elsewhere says so, and sends nothing.
        const int posts = server.count("POST");
        outbox->list()->setCurrentItem(outbox->list()->topLevelItem(0));
        QVERIFY(manager->uploads.outbox()->remove(manager->uploads.outbox()->entries().first().id)); // corvex outbox
        outbox->retryButton()->click();
        QTRY_COMPARE(outbox->message()->text(), u"It no longer waits: it was uploaded or removed elsewhere."_s);
        QCOMPARE(server.count("POST"), posts);
        main->listView()->signOut();
        QVERIFY(panel->uploadStatus()->text().isEmpty());
    }

    // What becomes of a recording whose upload failed: one that may pass is
    // sent again by itself, with growing waits, no sooner than the service
    // asked; one refused for good is never sent again, and can be saved and
    // removed. Every view says the same of it.
    void outboxAfterAFailedUpload_data()
    {
        QTest::addColumn<int>("status"); // 0: the connection is dropped
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<int>("accountStatus"); // of the account check before each retry; 0: dropped
        QTest::addColumn<int>("finally"); // the answer to the retries in the end
        QTest::newRow("busy") << 503 << QByteArray() << true << 200 << 200;
        QTest::newRow("busy, asks for a second") << 503 << QByteArray("1") << true << 200 << 200;
        QTest::newRow("dropped") << 0 << QByteArray() << true << 200 << 200;
        QTest::newRow("busy, account check busy") << 503 << QByteArray() << true << 503 << 200;
        QTest::newRow("busy, account check dropped") << 503 << QByteArray() << true << 0 << 200;
        QTest::newRow("busy, then refused for good") << 503 << QByteArray() << true << 200 << 400;
        QTest::newRow("too large") << 413 << QByteArray() << false << 200 << 200;
        QTest::newRow("bad request") << 400 << QByteArray() << false << 200 << 200;
    }

    void outboxAfterAFailedUpload()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, retryAfter);
        QFETCH(bool, passes);
        QFETCH(int, accountStatus);
        QFETCH(int, finally);
        FaultServer server;
        FaultServer::Answer failure { status, "{}" };
        if (status == 0)
            failure.action = FaultServer::Action::Drop;
        if (!retryAfter.isEmpty())
            failure.headers = { { "Retry-After", retryAfter } };
        server.setAnswer("POST", "/tvapi/lightshow/movie/90006", failure);
        auto manager = signedInAt(server);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        Backoff& backoff = studio.environment().outboxRetry.backoff();
        backoff.setDelays(20, 200);
        QSignalSpy notified(&studio.notifications(), &UploadNotifications::shown);
        MainWindow* main = studio.newMainWindow();
        RecordingWindow* window = recordShow(studio, movieItem(90006, u"Nosferatu: A Symphony of Horror"_s));
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(panel->uploadStatus()->text().startsWith(u"Upload failed: "_s));
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        if (passes) {
            QTRY_VERIFY(
                main->outboxLabel()->fullText().startsWith(u"1 recording is waiting to be uploaded. Last attempt: "_s));
            QTRY_VERIFY_WITH_TIMEOUT(server.count("POST") >= 3, 10000);
            QVERIFY(backoff.currentDelay() >= (retryAfter.isEmpty() ? 20 : 1000));
            if (accountStatus != 200) {
                // A failed account check ends that retry: the next ones still go.
                FaultServer::Answer check { accountStatus, "{}" };
                if (accountStatus == 0)
                    check.action = FaultServer::Action::Drop;
                server.setAnswer("GET", "/auth/account", check);
                server.clearReceived();
                QTRY_VERIFY_WITH_TIMEOUT(server.received().size() >= 2, 10000);
                QTRY_VERIFY(!main->outboxLabel()->fullText().startsWith(u"Uploading"_s));
                server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u","email":"u@example.org"})" });
            }
            if (finally != 200) {
                // Refused for good on a retry of its own: the outbox stops trying by itself.
                server.setAnswer("POST", "/tvapi/lightshow/movie/90006", { 503, "{}", FaultServer::Action::Hold });
                QTRY_COMPARE_WITH_TIMEOUT(server.held(), 1, 10000);
                backoff.setDelays(600000, 600000);
                server.setAnswer("POST", "/tvapi/lightshow/movie/90006", { finally, "{}" });
                server.releaseHeld();
                QTRY_VERIFY(main->outboxLabel()->fullText().startsWith(u"1 refused for good"_s));
                QVERIFY(!backoff.isScheduled());
                QVERIFY2(!main->outboxLabel()->fullText().contains(u"Trying again"_s),
                    qPrintable(main->outboxLabel()->fullText()));
                return;
            }
            // The service takes it again: it goes without a press, and no view keeps the old error.
            server.setAnswer("POST", "/tvapi/lightshow/movie/90006", { 200, "{}" });
            QTRY_COMPARE_WITH_TIMEOUT(panel->uploadStatus()->text(), u"The recording was uploaded."_s, 10000);
            QVERIFY(!backoff.isScheduled()); // the next failure starts again from the shortest wait
            QCOMPARE(window->view()->preview()->note(), u"Uploaded"_s);
            QVERIFY(!panel->retryButton()->isVisibleTo(panel));
            QTRY_COMPARE(main->outboxLabel()->fullText(), u"The waiting recording was uploaded."_s);
            QVERIFY(manager->uploads.outbox()->entries().isEmpty());
            // Sent with nobody watching: the desktop says so too.
            QTRY_COMPARE(notified.count(), 1);
            QCOMPARE(notified.first().at(1).toString(), u"“Nosferatu: A Symphony of Horror” reached the service."_s);
            return;
        }
        QVERIFY2(panel->uploadStatus()->text().contains(u"refused it for good"_s),
            qPrintable(panel->uploadStatus()->text()));
        QVERIFY(!panel->retryButton()->isVisibleTo(panel));
        QVERIFY(panel->saveAsButton()->isVisibleTo(panel));
        QTRY_VERIFY(main->outboxLabel()->fullText().startsWith(u"1 refused for good"_s));
        QVERIFY(!main->retryButton()->isVisibleTo(main));
        QTest::qWait(300); // many of the test's waits
        OutboxDialog* outbox = main->outboxBar()->openOutbox();
        QCOMPARE(outbox->list()->topLevelItemCount(), 1);
        QVERIFY(outbox->list()->topLevelItem(0)->text(3).startsWith(u"Refused for good (status %1)"_s.arg(status)));
        QVERIFY(!outbox->retryButton()->isVisibleTo(outbox));
        QVERIFY(outbox->removeButton()->isEnabled());
        QCOMPARE(server.count("POST"), 1);
        // The author comes back: with nothing it may send, the automatic retry does not even ask
        // whose the token is.
        server.clearReceived();
        const std::optional<service::Account> account = manager->session.account();
        manager->session.setAccount(std::nullopt);
        manager->session.setAccount(account);
        QTest::qWait(300);
        QCOMPARE(server.count("GET", "/auth/account"), 0);
        // Nor does a sign-out take from the window why the recording still waits.
        const std::optional<QString> token = manager->session.accessToken();
        manager->session.setAccessToken(std::nullopt);
        QVERIFY(panel->uploadStatus()->text().contains(u"refused it for good"_s));
        manager->session.setAccessToken(token);

        // Saved as a file, it still waits; removed after a question that names it, it is gone.
        QTemporaryDir folder;
        const QString path = folder.filePath(u"kept.corvex"_s);
        panel->saveAsButton()->click();
        auto* chooser = panel->findChild<QFileDialog*>();
        QVERIFY(chooser);
        // The title as a file name, without the characters file names trip on, and when it was recorded.
        QCOMPARE(QFileInfo(chooser->selectedFiles().value(0)).fileName(),
            u"Nosferatu-A-Symphony-of-Horror-%1.corvex"_s.arg(
                manager->uploads.outbox()->entries().value(0).savedAt.toLocalTime().toString(u"yyyyMMdd-HHmm"_s)));
        chooser->selectFile(path);
        static_cast<QDialog*>(chooser)->accept();
        QTRY_VERIFY(panel->uploadStatus()->text().startsWith(u"Saved "_s));
        QVERIFY(QFileInfo(path).size() > 0);
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        // The outbox window saves the one chosen there, and says so there: a file
        // that cannot be written as a failure.
        const QString copy = folder.filePath(u"from-the-outbox.corvex"_s);
        outbox->list()->setCurrentItem(outbox->list()->topLevelItem(0));
        for (const QString& target : { u"/dev/null/kept.corvex"_s, copy }) {
            QTRY_VERIFY(!outbox->findChild<QFileDialog*>());
            outbox->saveButton()->click();
            chooser = outbox->findChild<QFileDialog*>();
            QVERIFY(chooser);
            chooser->selectFile(target);
            static_cast<QDialog*>(chooser)->accept();
            QTRY_VERIFY(outbox->message()->text().contains(target));
            QCOMPARE(
                outbox->message()->palette().color(QPalette::WindowText) == text_styles::failure(), target != copy);
        }
        QVERIFY(outbox->message()->text().endsWith(u" as "_s + copy + u". It still waits in the outbox."_s));
        QVERIFY(outbox->message()->text().startsWith(u"Saved “Nosferatu: A Symphony of Horror”"_s));
        QCOMPARE(QFileInfo(copy).size(), QFileInfo(path).size());
        {
            // Not removed while another sends it: the window still offers what it offered.
            const auto taken = manager->uploads.outbox()->take(manager->uploads.outbox()->entries().first().id);
            QVERIFY(taken);
            panel->removeButton()->click();
            QPointer<QMessageBox> question = panel->findChild<QMessageBox*>();
            QVERIFY(question);
            buttonWithText(question, u"Remove"_s)->click();
            QCOMPARE(
                panel->uploadStatus()->text(), u"The recording is being uploaded right now, so it was not removed."_s);
            QVERIFY(panel->removeButton()->isVisibleTo(panel));
            QVERIFY(panel->saveAsButton()->isVisibleTo(panel));
            QTRY_VERIFY(!question);
        }
        panel->removeButton()->click();
        auto* question = panel->findChild<QMessageBox*>();
        QVERIFY(question);
        QVERIFY(question->text().contains(u"“Nosferatu: A Symphony of Horror”"_s));
        QCOMPARE(question->textFormat(), Qt::PlainText); // the title is no markup
        QCOMPARE(question->defaultButton(), buttonWithText(question, u"Cancel"_s));
        buttonWithText(question, u"Remove"_s)->click();
        QVERIFY(manager->uploads.outbox()->entries().isEmpty());
        QVERIFY(panel->uploadStatus()->text().startsWith(u"Removed "_s));
        QVERIFY(!panel->removeButton()->isVisibleTo(panel));
        QTRY_VERIFY(main->outboxLabel()->fullText().isEmpty());
        QCOMPARE(outbox->list()->topLevelItemCount(), 0);
        QCOMPARE(notified.count(), 0); // the window that saved it said it all
    }

    // What becomes of a recording is said where it is still watched: its window
    // says that it left the outbox elsewhere; once the window has closed, the
    // desktop says that the service refused it for good.
    void newsOfARecordingReachesWhoeverStillWatches()
    {
        FaultServer server;
        server.setAnswer("POST", "/tvapi/lightshow/movie/90013", { 500, "{}" });
        auto manager = signedInAt(server);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        studio.environment().outboxRetry.backoff().setDelays(600000, 600000);
        QSignalSpy notified(&studio.notifications(), &UploadNotifications::shown);
        QPointer<RecordingWindow> window = recordShow(studio, movieItem(90013, u"Speedy"_s));
        ConfigurationView* panel = window->view()->configurationView();
        QTRY_VERIFY(panel->retryButton()->isVisibleTo(panel));
        QVERIFY(manager->uploads.outbox()->remove(manager->uploads.outbox()->entries().value(0).id)); // corvex outbox
        studio.environment().uploads.refreshCount(); // as its count every few seconds does
        QCOMPARE(panel->uploadStatus()->text(),
            u"The recording no longer waits in the outbox: it was uploaded or removed elsewhere."_s);
        QVERIFY(!panel->retryButton()->isVisibleTo(panel));

        // Once its window is gone, a refusal for good is news; a passing failure is not, it is tried again.
        window->close();
        for (const int status : { 503, 413 }) {
            server.setAnswer("POST", "/tvapi/lightshow/movie/90013", { status, "{}", FaultServer::Action::Hold });
            window = recordShow(studio, movieItem(90013, u"Speedy"_s));
            QTRY_COMPARE(server.held(), 1);
            window->close();
            QTRY_VERIFY(!window);
            server.releaseHeld();
            const auto answered = [&manager, status] {
                const auto entries = manager->uploads.outbox()->entries();
                return std::any_of(
                    entries.begin(), entries.end(), [status](const auto& e) { return e.lastStatus == status; });
            };
            QTRY_VERIFY(answered());
            QCOMPARE(notified.count(), status == 413 ? 1 : 0);
        }
        QCOMPARE(notified.first().at(0).toString(), u"Light show refused"_s);
        QVERIFY(notified.first().at(1).toString().startsWith(u"The service refused “Speedy” for good (status 413)"_s));
    }

    // A recording that cannot be kept on disk is not said to be kept: it
    // waits in its window, for Retry there.
    void aRecordingThatCannotBeKeptWaitsInItsWindow()
    {
        FaultServer server;
        server.setAnswer("POST", "/tvapi/lightshow/movie/90014", { 500, "{}" });
        auto manager = signedInAt(server);
        QVERIFY(manager);
        QFile blocker(manager->uploads.outbox()->folder()); // a file where the outbox's folder would go
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        ConfigurationView* panel = recordShow(studio, movieItem(90014, u"Girl Shy"_s))->view()->configurationView();
        QTRY_VERIFY(panel->retryButton()->isVisibleTo(panel));
        // Why, in the outbox's own words, which name its folder.
        QVERIFY2(panel->uploadStatus()->toolTip().contains(u"It could not be kept on disk ("_s)
                && panel->uploadStatus()->toolTip().contains(manager->uploads.outbox()->folder()),
            qPrintable(panel->uploadStatus()->toolTip()));
        // Another recording that reaches the outbox later does not make this one "gone".
        QVERIFY(blocker.remove());
        QVERIFY(manager->uploads.outbox()->add("recording", movieItem(90015, u"Speedy"_s), u"v"_s));
        studio.environment().uploads.refreshCount();
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        server.setAnswer("POST", "/tvapi/lightshow/movie/90014", { 200, "{}" });
        panel->retryButton()->click();
        QTRY_COMPARE(panel->uploadStatus()->text(), u"The recording was uploaded."_s);
    }

    void signingOutWhileRecordingKeepsTheRecording()
    {
        auto manager = m_service.newManager();
        const QString authorToken = tokenFor(m_service.origin(), u"out@example.org"_s);
        QVERIFY(signIn(*manager, authorToken));
        const QString author = manager->session.account()->id;
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        MainWindow* library = studio.newMainWindow(); // opened first, as in the studio
        library->show();
        RecordingWindow* window
            = studio.environment().recordingWindows.openRecordingWindow(movieItem(90005, u"A Trip to the Moon"_s));
        ConfigurationView* panel = window->view()->configurationView();
        panel->recordingButton()->click();
        QVERIFY(sharedRecorder().started());
        {
            // Quit asks in the Recording window before any window closes.
            menuAction(library, u"Quit"_s)->trigger();
            QPointer<QMessageBox> question = window->findChild<QMessageBox*>();
            QVERIFY(question && library->isVisible() && window->isVisible());
            buttonWithText(question, u"Cancel"_s)->click();
            QVERIFY(library->isVisible() && window->isVisible() && sharedRecorder().started());
            QTRY_VERIFY(!question);
        }
        manager->session.setAccessToken(std::nullopt);
        manager->session.setAccount(std::nullopt);
        QVERIFY(panel->recordingButton()->isEnabled());
        panel->recordingButton()->click();
        QVERIFY(!sharedRecorder().started());
        QVERIFY(!panel->recordingButton()->isEnabled());
        QTRY_VERIFY(panel->uploadStatus()->text().contains(u"not signed in"_s));
        QVERIFY(panel->retryButton()->isVisibleTo(panel));
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        QCOMPARE(manager->uploads.outbox()->entries().first().accountId, author);

        // Someone else signs in: Retry does not hand the recording to them.
        QVERIFY(signIn(*manager, tokenFor(m_service.origin(), u"other@example.org"_s)));
        panel->retryButton()->click();
        QTRY_VERIFY2(panel->uploadStatus()->text().contains(u"another account, account "_s + author),
            qPrintable(panel->uploadStatus()->text()));
        QCOMPARE(manager->uploads.outbox()->entries().size(), 1);
        service::LightShowListModel theirs(manager->session);
        QCoro::waitFor(theirs.loadLightShows());
        QVERIFY(theirs.shows().isEmpty());

        // Its author signs in again and it goes to them, without a press.
        manager->session.setAccount(std::nullopt);
        QVERIFY(signIn(*manager, authorToken));
        QTRY_COMPARE(panel->uploadStatus()->text(), u"The recording was uploaded."_s);
        QVERIFY(manager->uploads.outbox()->entries().isEmpty());
    }

    // A studio given a recorder and a preview link of its own records into
    // them, never into the process's pair; closing the window asks first.
    void closingDuringARecordingAsks()
    {
        auto manager = m_service.signedIn(u"close@example.org"_s);
        QVERIFY(manager);
        preview_link::UDPManager previewLink;
        analysis::AnalysisRecorder recorder;
        StudioApp studio(manager->uploads, RecordingModels { recorder, previewLink });
        RecordingWindows& windows = studio.environment().recordingWindows;
        QPointer<RecordingWindow> window = windows.openRecordingWindow(movieItem(90006, u"Sherlock Jr."_s));
        window->view()->configurationView()->recordingButton()->click();
        QVERIFY(recorder.started());
        QVERIFY(!sharedRecorder().started());

        // Another "Create lightshow" now would record under another title: refused.
        QVERIFY(!windows.openRecordingWindow(movieItem(90007, u"His Girl Friday"_s)));
        QCOMPARE(window->view()->configurationView()->item()->movie->id, 90006);
        QCOMPARE(windows.current(), window.data());

        window->close();
        QVERIFY(window);
        QMessageBox* box = window->closeConfirmation();
        QVERIFY(box);
        QTest::keyClick(box, Qt::Key_Return); // the safe answer: Cancel
        QVERIFY(window && window->isVisible());
        QVERIFY(recorder.started());

        QSignalSpy refreshed(&manager->uploads, &service::UploadDelivery::lightShowsChanged);
        window->close();
        buttonWithText(window->closeConfirmation(), u"Save and Close"_s)->click();
        QTRY_VERIFY(!window);
        QVERIFY(!recorder.started());
        QTRY_COMPARE(refreshed.count(), 1); // uploaded after the window went

        QPointer<RecordingWindow> next = windows.openRecordingWindow(movieItem(90007, u"His Girl Friday"_s));
        QVERIFY(next);
        next->view()->configurationView()->recordingButton()->click();
        next->close();
        buttonWithText(next->closeConfirmation(), u"Discard"_s)->click();
        QTRY_VERIFY(!next);
        QVERIFY(!recorder.started());
        QTest::qWait(100);
        QCOMPARE(refreshed.count(), 1);
    }

    void withoutAnActiveWindowNothingCloses()
    {
        auto manager = m_service.newManager();
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        MainWindow* main = studio.newMainWindow();
        QPointer<CatalogueWindow> catalogue = main->listView()->openAddWindow();
        QCOMPARE(catalogue->windowTitle(), u"Add Light Show"_s);
        QCOMPARE(catalogue->size(), QSize(700, 700));
        QVERIFY(waitForActive(catalogue));
        // A further "Add" opens a further window; the first stays.
        QPointer<CatalogueWindow> second = main->listView()->openAddWindow();
        QVERIFY(second != catalogue);
        QVERIFY(catalogue);
        QVERIFY(waitForActive(second)); // mapped, so it cannot take the focus later
        catalogue->showMinimized();
        QVERIFY(activate(main));
        // The first catalogue window is not the active one: it stays open.
        catalogue->searchView()->movieDetails()->setMovie(catalogue::TMDBMovie { 90008, u"Charade"_s, {}, {}, {} });
        catalogue->searchView()->movieDetails()->createButton()->click();
        QVERIFY(studio.environment().recordingWindows.current());
        QTest::qWait(50);
        QVERIFY(catalogue);
        QVERIFY(second);
        // The next opens at the size the last one closed at; a memory of it that
        // cannot be read gives the first size.
        second->resize(760, 660);
        second->close();
        LightShowsListView* library = studio.newMainWindow()->listView(); // the first closed for the recording
        QCOMPARE(library->openAddWindow()->size(), QSize(760, 660));
        QVERIFY(manager->session.store().setValue(u"windows/catalogue/geometry"_s, u"damaged"_s));
        QCOMPARE(library->openAddWindow()->size(), QSize(700, 700));
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
            options.store
                = screencapture::portal::settingsChoiceStore(settings.filePath(u"corvex.ini"_s).toStdString());
            backend = screencapture::portal::PortalBackend::create(options);
        } else {
            backend = screencapture::createCaptureBackend(road.toStdString());
        }
        auto manager = m_service.newManager();
        UploadQueue uploads(manager->uploads);
        RecordingView view(
            manager->session, uploads, {}, sharedRecorder(), preview_link::UDPManager::shared(), std::move(backend));
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
        QCOMPARE(texts.first(), u"No screen recording permission."_s);
        QVERIFY2(texts.last().contains(advice), qPrintable(texts.last()));
        QVERIFY(!view.screenRecorder().isRunning());
        QCOMPARE(view.screenRecorder().contentSize(), QSizeF(1, 1));
        QCOMPARE(view.preview()->width(), view.preview()->height());
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
        QTest::newRow("a thin sliver is no crop") << QPoint(0, 40) << QPoint(200, 45) << false << 0.0 << 0.0;
        QTest::newRow("the shortest drag crops") << QPoint(10, 0) << QPoint(16, 100) << true << 0.05 << 0.03;
    }

    void cropFromADrag()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(bool, cropped);
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        RecordingSources sources(screenRecorder);
        CapturePreviewView preview(sources);
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

    // Where the studio's own windows hid the picture, the preview shows a grey
    // hatch, not the colours guessed there.
    void previewHatchesHiddenPixels()
    {
        analysis::AnalysisRecorder recorder(nullptr);
        capture::ScreenRecorder screenRecorder(screencapture::createCaptureBackend("synthetic"), recorder);
        RecordingSources sources(screenRecorder);
        CapturePreviewView preview(sources);
        preview.resize(200, 100);
        // Green, 4 × 2, the left half hidden.
        std::shared_ptr<std::uint8_t> green(new std::uint8_t[32], std::default_delete<std::uint8_t[]>());
        for (int i = 0; i < 32; ++i)
            green.get()[i] = i % 4 == 1 || i % 4 == 3 ? 255 : 0;
        screenRecorder.capturePreview()->setContents(
            std::make_shared<const screencapture::Surface>(
                screencapture::Surface { 4, 2, 16, media::PixelFormat::BGRA, green }),
            std::nullopt,
            std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t> { 1, 1, 0, 0, 1, 1, 0, 0 }));
        const QImage shown = preview.grab().toImage();
        for (const QPoint hidden : { QPoint(10, 10), QPoint(60, 70) })
            QVERIFY(shown.pixelColor(hidden).green() == shown.pixelColor(hidden).red());
        QVERIFY(shown.pixelColor(160, 50).green() > 2 * shown.pixelColor(160, 50).red());
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

    // What the outbox's messages and saved files call a recording.
    void recordingTitles_data()
    {
        QTest::addColumn<catalogue::TMDBItem>("item");
        QTest::addColumn<QString>("title");
        catalogue::TMDBItem unnamedShow = episodeItem(7, QString(), 1, 10);
        unnamedShow.tvShow->name.reset();
        QTest::newRow("film") << movieItem(1, u"Metropolis"_s) << u"Metropolis"_s;
        QTest::newRow("film without a title") << catalogue::TMDBItem::forMovie({}) << u"Untitled film"_s;
        QTest::newRow("episode") << episodeItem(7, u"Dark"_s, 2, 7) << u"Dark S02E07"_s;
        QTest::newRow("episode of a show without a name") << unnamedShow << u"Untitled show S01E10"_s;
        QTest::newRow("nothing") << catalogue::TMDBItem {} << u"Untitled"_s;
    }
    void recordingTitles()
    {
        QFETCH(catalogue::TMDBItem, item);
        QTEST(app::outbox_actions::titleOf(item), "title");
    }

    // ---- A service down at launch ----

    void accountAndListComeBackWithTheService()
    {
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 503, "{}" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 503, "{}" });
        auto manager = m_service.newManager(server.origin());
        manager->session.setAccessToken(u"token-while-down"_s);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        studio.environment().accountRetry.backoff().setDelays(20, 200);
        MainWindow* window = studio.newMainWindow();
        window->findChild<Backoff*>(u"libraryRetry"_s)->setDelays(20, 200);
        QTRY_VERIFY(labelStartingWith(window, u"Error: "_s));
        QTRY_VERIFY(shown<QLabel>(window, u"Signed in (the account could not be checked)"_s));
        PanelRig rig(*manager, movieItem(90011, u"Metropolis"_s));
        ConfigurationView& panel = rig.view;
        QVERIFY(!panel.recordingButton()->isEnabled());
        // Why is said in the panel, not only in a tooltip.
        QVERIFY(panel.recordingControls()->reason()->isVisibleTo(&panel));

        // Asked again and again while the service fails, not once.
        QTRY_VERIFY_WITH_TIMEOUT(server.count("GET", "/auth/account") >= 3, 10000);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"u9","email":"u9@example.org"})" });
        server.setAnswer("GET", "/tvapi/me/lightshows", { 200, R"({"results":[]})" });
        QTRY_VERIFY_WITH_TIMEOUT(manager->session.account().has_value(), 10000);
        QCOMPARE(studio.environment().accountRetry.lastError(), QString()); // nothing stale for a later loss
        QVERIFY(panel.recordingButton()->isEnabled());
        QVERIFY(!panel.recordingControls()->reason()->isVisibleTo(&panel));
        QTRY_VERIFY_WITH_TIMEOUT(labelStartingWith(window, u"No light shows yet"_s), 10000);
        QVERIFY(!labelStartingWith(window, u"Error: "_s));
        QVERIFY(shown<QLabel>(window, u"Signed in as u9@example.org"_s));
    }

    // The account retry stops at an answer that will not change by itself; and
    // one whose answer comes after the author signed in to another account is
    // about the old token: the new account stays.
    void theAccountRetryEndsWhereItShould_data()
    {
        QTest::addColumn<int>("status"); // of the first answers
        QTest::newRow("404 is not asked again") << 404;
        QTest::newRow("a late answer for a replaced token") << 503;
    }

    void theAccountRetryEndsWhereItShould()
    {
        QFETCH(int, status);
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { status, "{}" });
        auto manager = m_service.newManager(server.origin());
        manager->session.setAccessToken(u"token-a"_s);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        studio.environment().accountRetry.backoff().setDelays(20, 200);
        QTRY_VERIFY(server.received().size() >= 2); // the launch's check and the retry's
        if (status == 404) {
            QTest::qWait(500); // many of the retry's waits
            QCOMPARE(server.received().size(), 2);
            return;
        }
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"a","email":"a@x"})", FaultServer::Action::Hold });
        QTRY_VERIFY(server.held() >= 1);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"b","email":"b@x"})" });
        QVERIFY(!studio.environment().accountRetry.lastError().isEmpty());
        manager->session.setAccessToken(u"token-b"_s);
        QCOMPARE(studio.environment().accountRetry.lastError(), QString()); // the old token's error went with it
        QTRY_COMPARE(manager->session.account().value_or(service::Account {}).id, u"b"_s);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"a","email":"a@x"})" });
        server.releaseHeld();
        QTest::qWait(300);
        QCOMPARE(manager->session.account().value_or(service::Account {}).id, u"b"_s);
    }

    // ---- Recording state, Discard, and what a save leaves ----

    void recordingIsUnmistakableAndCanBeDiscarded()
    {
        auto manager = m_service.signedIn(u"state@example.org"_s);
        QVERIFY(manager);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        RecordingWindow* window
            = studio.environment().recordingWindows.openRecordingWindow(movieItem(90012, u"Safety Last!"_s));
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
        QTRY_VERIFY(controls->elapsed()->text().startsWith(u"● 00:0"_s));
        QTRY_VERIFY(controls->frames()->text().endsWith(u" frames"_s));
        QTRY_VERIFY(controls->elapsed()->text() != u"● 00:00"_s); // a second recorded
        QVERIFY(panel->discardButton()->isVisibleTo(panel));

        // Discard asks first (Return keeps the recording: tst_app_recording).
        panel->discardButton()->click();
        buttonWithText(panel->discardConfirmation(), u"Discard"_s)->click();
        QVERIFY(!sharedRecorder().started());
        QCOMPARE(panel->outcome(), ConfigurationView::Outcome::Discarded);
        QCOMPARE(view->preview()->note(), u"Discarded"_s);
        QCOMPARE(manager->uploads.outbox()->entries().size(), 0);

        // A saved recording leaves a plain "Uploaded", not a warning sign.
        panel->recordingButton()->click();
        QCOMPARE(controls->elapsed()->text(), u"● 00:00"_s); // counted from its own start
        QVERIFY(view->preview()->note().isEmpty());
        QTRY_VERIFY(sharedRecorder().frameCount() > 2);
        panel->recordingButton()->click();
        QTRY_COMPARE(panel->outcome(), ConfigurationView::Outcome::Uploaded);
        QVERIFY(view->preview()->isStopped());
        QCOMPARE(view->preview()->note(), u"Uploaded"_s);
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
        // As long as a name may be: it must not widen the panel.
        const QString name
            = u"Gone receiver %1 in the front room behind the sofa"_s.arg(QCoreApplication::applicationPid());
        dnssd::Publisher publisher;
        auto manager = m_service.newManager();
        PanelRig rig(*manager);
        ConfigurationView& view = rig.view;
        preview_link::UDPManager& udp = preview_link::UDPManager::shared();
        QComboBox* picker = view.receiverPicker();
        QVERIFY(pickReceiver(publisher, view, name, closedPort));
        QVERIFY(!view.previewSection()->emptyHint()->isVisibleTo(&view));
        QCOMPARE(udp.selectedService()->name, name);
        QVERIFY(!view.previewSection()->problem()->isVisibleTo(&view));

        // Frames keep coming, as they do while recording: a refusal heard only after the
        // receiver's address came in again is the next frame's to tell.
        const auto sendUntil = [&](const std::function<bool()>& done) {
            return QTest::qWaitFor(
                [&] {
                    udp.udpClient().send(QByteArrayLiteral("{}"), *udp.selectedService());
                    return done();
                },
                15000);
        };
        QVERIFY(sendUntil([&] { return picker->currentText() == name + u" (not answering)"_s; }));
        // A late word that the receiver chosen before failed takes nothing from this one.
        Q_EMIT udp.udpClient().receiverFailed(u"Chosen before"_s, u"Connection refused"_s);
        QCOMPARE(picker->currentText(), name + u" (not answering)"_s);
        QVERIFY(view.previewSection()->problem()->isVisibleTo(&view));
        QVERIFY(view.previewSection()->problem()->text().contains(name));
        {
            // Restarted at another port, it is reached there, and the mark goes with no new choice.
            net::UdpListener restarted;
            QVERIFY(!restarted.listen(0, true));
            QSignalSpy arrived(&restarted, &net::UdpListener::datagramReceived);
            publisher.unpublish();
            publisher.publish(name, QString::fromLatin1(preview_link::kLightReceiverServiceType), restarted.port());
            QVERIFY(sendUntil([&] { return arrived.count() > 0; }));
            QTRY_COMPARE(picker->currentText(), name);
            QVERIFY(!view.previewSection()->problem()->isVisibleTo(&view));
        }
        QVERIFY(sendUntil([&] { return view.previewSection()->problem()->isVisibleTo(&view); })); // stopped again
        {
            // Another window opens with the receiver listed already, and its
            // search for receivers starts over while this one is not answering.
            PanelRig later(*manager);
            later.view.show();
            QVERIFY(later.view.receiverPicker()->minimumSizeHint().width() < RecordingView::kPanelWidth - 40);
            QCOMPARE(picker->itemText(0), u"None"_s); // no other row takes the mark meanwhile
        }
        // Gone from the network, it cannot be chosen again until it is back.
        publisher.unpublish();
        QTRY_VERIFY_WITH_TIMEOUT(
            view.previewSection()->problem()->text().contains(u"It has left the network"_s), 10000);
        QVERIFY(view.previewSection()->problem()->text().contains(name));

        // Choosing "None" ends the complaint.
        Q_EMIT picker->activated(0);
        QVERIFY(!view.previewSection()->problem()->isVisibleTo(&view));
        QCOMPARE(picker->findText(name + u" (not answering)"_s), -1);
    }

    // A datagram the system refuses to send (too large here; a full buffer or
    // no route elsewhere) leaves the connection up: the panel says so once per
    // cause while sends fail, and forgets it when they go out again.
    void sendFailuresShowInThePanel()
    {
        net::UdpListener receiver;
        QVERIFY(!receiver.listen(0, true));
        QSignalSpy datagrams(&receiver, &net::UdpListener::datagramReceived);
        const QString name = u"Busy receiver %1"_s.arg(QCoreApplication::applicationPid());
        dnssd::Publisher publisher;
        auto manager = m_service.newManager();
        PanelRig rig(*manager);
        ConfigurationView& view = rig.view;
        preview_link::UDPManager& udp = preview_link::UDPManager::shared();
        QComboBox* picker = view.receiverPicker();
        QVERIFY(pickReceiver(publisher, view, name, receiver.port()));
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
        QVERIFY2(
            problem->text().contains(name) && problem->text().contains(u"EMSGSIZE"_s), qPrintable(problem->text()));
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

    // An account check that ends after a sign-out does not stop the checks
    // for whoever signs in next; nor is one doubled when another token comes
    // while it runs.
    void theAccountIsCheckedAgainAfterSigningOutDuringACheck_data()
    {
        QTest::addColumn<bool>("signOut");
        QTest::newRow("signed out first") << true;
        QTest::newRow("another token at once") << false;
    }

    void theAccountIsCheckedAgainAfterSigningOutDuringACheck()
    {
        QFETCH(bool, signOut);
        FaultServer server;
        server.setAnswer("GET", "/auth/account", { 503, "{}", FaultServer::Action::Hold });
        auto manager = m_service.newManager(server.origin());
        manager->session.setAccessToken(u"token-a"_s);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        Backoff& backoff = studio.environment().accountRetry.backoff();
        backoff.setDelays(20, 200);
        QTRY_VERIFY_WITH_TIMEOUT(server.held() == 2, 10000); // the session's check and the retry's
        if (!signOut) {
            manager->session.setAccessToken(u"token-b"_s);
            QTRY_COMPARE_WITH_TIMEOUT(server.held(), 3, 10000); // the session's own check of token-b
            QTest::qWait(300); // many of the retry's waits
            QCOMPARE(server.held(), 3);
            // Token-c's own check fails while the retry still checks token-a, which then ends refused.
            server.setAnswer("GET", "/auth/account", { 503, "{}" });
            manager->session.setAccessToken(u"token-c"_s);
            QTRY_COMPARE_WITH_TIMEOUT(server.received().size(), 4, 10000);
            server.setAnswer("GET", "/auth/account", { 403, "{}" });
            server.releaseHeld();
            server.setAnswer("GET", "/auth/account", { 200, R"({"id":"c","email":"c@example.org"})" });
            QTRY_VERIFY_WITH_TIMEOUT(manager->session.account() && manager->session.account()->id == u"c"_s, 5000);
            return;
        }
        manager->session.setAccessToken(std::nullopt);
        server.setAnswer("GET", "/auth/account", { 503, "{}" });
        manager->session.httpClient().abortAll();
        server.clearReceived();
        manager->session.setAccessToken(u"token-b"_s);
        QTRY_VERIFY_WITH_TIMEOUT(server.received().size() >= 2, 10000);
        server.setAnswer("GET", "/auth/account", { 200, R"({"id":"b","email":"b@example.org"})" });
        QTRY_VERIFY_WITH_TIMEOUT(
            manager->session.account() && manager->session.account()->email == u"b@example.org"_s, 10000);
    }

    // A recording made under another account, or under one not known, is never
    // offered for a retry, nor retried by itself, even while the service asks
    // to wait; each view says whom it waits for.
    void theOutboxOffersNoRetryForAnotherAccountsRecording()
    {
        FaultServer server;
        auto manager = signedInAt(server);
        QVERIFY(manager);
        server.setAnswer("GET", "/auth/account",
            { 503, "{}", FaultServer::Action::Respond, "application/json", { { "Retry-After", "1" } } });
        const auto added = manager->uploads.outbox()->add("recording", movieItem(90006, u"Nosferatu"_s), u"v"_s);
        QVERIFY(added);
        (*manager->uploads.outbox()->take(*added.value).value)->recordFailure(u"the service did not answer"_s);
        QVERIFY(manager->uploads.outbox()->add("recording", movieItem(90011, u"Metropolis"_s), u"v"_s));
        const auto unknown
            = manager->uploads.outbox()->add("recording", movieItem(90012, u"Safety Last!"_s), QString());
        QVERIFY(unknown);
        // One whose description was damaged on disk: never sent, but listed to be saved or removed.
        const auto damaged = manager->uploads.outbox()->add("damaged", movieItem(90013, u"Sunrise"_s), u"v"_s);
        QVERIFY(damaged);
        QFile description(manager->uploads.outbox()->folder() + u'/' + *damaged.value + u".json"_s);
        QVERIFY(description.open(QIODevice::WriteOnly | QIODevice::Truncate) && description.write("{\"item\": 5"));
        description.close();
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        QSignalSpy planned(&studio.environment().outboxRetry.backoff(), &Backoff::scheduled);
        OutboxDialog outbox(studio.environment());
        QCOMPARE(outbox.list()->topLevelItemCount(), 4);
        outbox.list()->setCurrentItem(outbox.list()->topLevelItem(1)); // the author's choice outlives a refresh
        QCOMPARE(outbox.list()->topLevelItem(0)->text(3), u"Waits for account v to sign in"_s);
        // Saved in the same millisecond as the one before it, it may be listed either side of it.
        const auto unknownRow
            = [&outbox] { return outbox.list()->findItems(u"Safety Last!"_s, Qt::MatchContains, 0).value(0); };
        QVERIFY(unknownRow() && unknownRow()->text(3).startsWith(u"Its account is not known: send it with "_s));
        OutboxBar bar(studio.environment()); // its counts: theOutboxBarCountsEachKind
        // Another program took it on for account v and is sending it: the bar says so at its next look.
        QVERIFY((*manager->uploads.outbox()->take(*unknown.value).value)->adoptAuthor(u"v"_s));
        studio.environment().uploads.refreshCount();
        QCOMPARE(bar.label()->fullText(),
            u"3 made under another account wait for account v. 1 damaged on disk will never upload: save or remove "
            u"it under Outbox…"_s);
        QVERIFY(outbox.removeButton()->isEnabled());
        QVERIFY(!outbox.retryButton()->isEnabled());
        QTest::qWait(300);
        QCOMPARE(planned.count(), 0);
        // With nobody signed in it waits for no one in particular: its last attempt is what is said.
        manager->session.setAccount(std::nullopt);
        QCOMPARE(outbox.list()->topLevelItem(0)->text(3), u"Not uploaded yet: the service did not answer"_s);
        QVERIFY(!outbox.list()->topLevelItem(0)->isSelected() && outbox.list()->topLevelItem(1)->isSelected());
        // Removed here after a Cancel that keeps it, it leaves the list at once.
        outbox.list()->setCurrentItem(unknownRow());
        outbox.removeButton()->click();
        buttonWithText(outbox.findChild<QMessageBox*>(), u"Cancel"_s)->click();
        QCOMPARE(manager->uploads.outbox()->entries().size(), 3);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the question that was answered
        outbox.removeButton()->click();
        buttonWithText(outbox.findChild<QMessageBox*>(), u"Remove"_s)->click();
        QCOMPARE(outbox.list()->topLevelItemCount(), 3);
        QVERIFY(outbox.message()->text().startsWith(u"Removed “Safety Last!”"_s));
        // The damaged one: its recording is saved as it was, and it can be removed.
        QTreeWidgetItem* damagedRow = outbox.list()->topLevelItem(2);
        QCOMPARE(damagedRow->text(0), u"Unknown title (%1)"_s.arg(*damaged.value));
        QVERIFY(damagedRow->text(3).startsWith(u"Damaged on disk"_s));
        outbox.list()->setCurrentItem(damagedRow);
        QVERIFY(!outbox.retryButton()->isVisibleTo(&outbox) && outbox.saveButton()->isEnabled());
        QTemporaryDir folder;
        outbox.saveButton()->click();
        auto* chooser = outbox.findChild<QFileDialog*>();
        QVERIFY(chooser);
        chooser->selectFile(folder.filePath(u"kept.corvex"_s));
        static_cast<QDialog*>(chooser)->accept();
        QTRY_VERIFY(outbox.message()->text().startsWith(u"Saved "_s));
        QFile kept(folder.filePath(u"kept.corvex"_s));
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == "damaged");
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        outbox.removeButton()->click();
        buttonWithText(outbox.findChild<QMessageBox*>(), u"Remove"_s)->click();
        QCOMPARE(outbox.list()->topLevelItemCount(), 2);
        QVERIFY(QDir(manager->uploads.outbox()->folder()).entryList({ *damaged.value + u".*"_s }).isEmpty());
    }

    // The bar counts each kind of waiting recording, one or several. Signed
    // out, every recording with an author is the author's to send.
    void theOutboxBarCountsEachKind_data()
    {
        QTest::addColumn<QStringList>("authors"); // per entry: its account ("u" is signed in), "refused", or ""
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("said");
        const QString send = u"'corvex outbox --send'."_s;
        QTest::newRow("one, signed out") << QStringList { u"u"_s } << false
                                         << u"1 recording is waiting to be uploaded. Sign in to send it."_s;
        QTest::newRow("two, one of another account, signed out") << QStringList { u"u"_s,
            u"v"_s } << false << u"2 recordings are waiting to be uploaded. Sign in to send it."_s;
        QTest::newRow("one refused for good")
            << QStringList { u"refused"_s } << true
            << u"1 refused for good by the service will never upload: save or remove it under Outbox…"_s;
        QTest::newRow("two refused and one waiting, signed out")
            << QStringList { u"refused"_s, u"u"_s, u"refused"_s } << false
            << u"1 recording is waiting to be uploaded. Sign in to send it. 2 refused for good by the service will "
               u"never upload: save or remove them under Outbox…"_s;
        QTest::newRow("one of another account")
            << QStringList { u"v"_s } << true << u"1 made under another account waits for account v."_s;
        QTest::newRow("of two other accounts") << QStringList { u"v"_s, u"w"_s, u"v"_s } << true
                                               << u"3 made under another account wait for account v or account w."_s;
        QTest::newRow("two of unknown author")
            << QStringList { QString(), QString() } << false << u"2 of unknown author wait until sent with "_s + send;
    }

    void theOutboxBarCountsEachKind()
    {
        QFETCH(QStringList, authors);
        QFETCH(bool, signedIn);
        QFETCH(QString, said);
        FaultServer server;
        auto manager = signedInAt(server);
        QVERIFY(manager);
        server.setAnswer("GET", "/auth/account", { 503, "{}" });
        service::Outbox& outbox = *manager->uploads.outbox();
        for (const QString& author : authors) {
            const bool refused = author == u"refused"_s;
            const auto added = outbox.add("recording", movieItem(90006, u"Nosferatu"_s), refused ? u"u"_s : author);
            QVERIFY(added);
            if (refused)
                (*outbox.take(*added.value).value)->recordFailure(u"no such title"_s, 404);
        }
        if (!signedIn)
            manager->session.setAccount(std::nullopt);
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        OutboxBar bar(studio.environment());
        QCOMPARE(bar.label()->fullText(), said);
        QCOMPARE(bar.retryButton()->isVisibleTo(&bar), false); // nothing here can be sent by this author now
    }

    // The sound meter fills to its level, in the colour of the zone the level
    // is in; once it follows another source, the first no longer moves it.
    void theMeterFillsAndColoursByLevel_data()
    {
        QTest::addColumn<float>("level");
        QTest::addColumn<int>("filled"); // hundredths of the width
        QTest::addColumn<QColor>("colour");
        const QColor green(52, 199, 89), yellow(255, 204, 0), red(255, 59, 48);
        QTest::newRow("silence") << 0.0f << 0 << QColor();
        QTest::newRow("below zero") << -0.2f << 0 << QColor();
        QTest::newRow("half") << 0.5f << 50 << green;
        QTest::newRow("just below the warning") << 0.59f << 59 << green;
        QTest::newRow("the warning") << 0.6f << 60 << yellow;
        QTest::newRow("just below the critical level") << 0.79f << 79 << yellow;
        QTest::newRow("the critical level") << 0.8f << 80 << red;
        QTest::newRow("beyond full scale") << 1.5f << 100 << red;
    }

    void theMeterFillsAndColoursByLevel()
    {
        QFETCH(float, level);
        QFETCH(int, filled);
        QFETCH(QColor, colour);
        capture::AudioLevelsProvider sound, other;
        AudioLevelsView meter(sound);
        meter.resize(200, meter.height());
        const QColor empty = meter.grab().toImage().pixelColor(0, 2);
        const auto filledWidth = [&meter, empty] {
            const QImage image = meter.grab().toImage();
            int width = 0;
            while (width < image.width() && image.pixelColor(width, 2) != empty)
                ++width;
            return width;
        };
        sound.setAudioLevels({ level, level });
        QCOMPARE(filledWidth(), filled * 2);
        if (filled > 0)
            QCOMPARE(meter.grab().toImage().pixelColor(0, 2), colour);
        meter.setProvider(other);
        sound.setAudioLevels({ 0.7f, 0.7f });
        QCOMPARE(filledWidth(), 0);
    }

    // Each retry waits twice as long as the one before, up to the longest; a
    // reset (a success, a new sign-in) starts again from the shortest.
    void retriesWaitLongerUntilAReset()
    {
        Backoff* self = nullptr;
        Backoff retry([&self] { self->schedule(); });
        self = &retry;
        retry.setDelays(1, 4);
        QSignalSpy scheduled(&retry, &Backoff::scheduled);
        retry.schedule();
        QTRY_VERIFY(scheduled.count() >= 4);
        retry.reset();
        retry.schedule();
        retry.reset();
        QList<int> delays;
        for (const QList<QVariant>& arguments : scheduled)
            delays.append(arguments.at(0).toInt());
        QCOMPARE(delays.mid(0, 4), (QList<int> { 1, 2, 4, 4 }));
        QCOMPARE(delays.last(), 1);
    }

    // Recordings the service asked to wait for different times are tried
    // again when the longest wait is over, but never more than an hour later.
    // An upload that fails with a wait asked for is tried again after that wait.
    void theNextRetryWaitsTheLongestWaitAsked_data()
    {
        QTest::addColumn<QByteArray>("firstWait");
        QTest::addColumn<bool>("waiting"); // two recordings wait in the outbox; otherwise one is uploaded now
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("an upload asked to wait 7 s") << QByteArray("7") << false << 7000;
        QTest::newRow("two seconds and one") << QByteArray("2") << true << 2000;
        QTest::newRow("none and a second") << QByteArray("0") << true << 1000;
        QTest::newRow("a day and a second") << QByteArray("86400") << true << 3600000;
    }

    void theNextRetryWaitsTheLongestWaitAsked()
    {
        QFETCH(QByteArray, firstWait);
        QFETCH(bool, waiting);
        QFETCH(int, expectedMs);
        FaultServer server;
        server.setAnswer("POST", "/tvapi/lightshow/movie/90006",
            { 503, "{}", FaultServer::Action::Respond, "application/json", { { "Retry-After", firstWait } } });
        server.setAnswer("POST", "/tvapi/lightshow/movie/90011",
            { 503, "{}", FaultServer::Action::Respond, "application/json", { { "Retry-After", "1" } } });
        auto manager = signedInAt(server);
        QVERIFY(manager);
        for (const catalogue::TMDBItem& item :
            { movieItem(90006, u"Nosferatu"_s), movieItem(90011, u"Metropolis"_s) }) {
            if (waiting)
                QVERIFY(manager->uploads.outbox()->add("recording", item, u"u"_s));
        }
        StudioApp studio(manager->uploads, app::RecordingModels::process());
        Backoff& backoff = studio.environment().outboxRetry.backoff();
        backoff.setDelays(20, 200);
        QSignalSpy scheduled(&backoff, &Backoff::scheduled);
        if (!waiting)
            QCoro::waitFor(studio.environment().uploads.upload("recording", movieItem(90006, u"Nosferatu"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(scheduled.count(), 1, 10000);
        QCOMPARE(server.count("POST"), waiting ? 2 : 1);
        QCOMPARE(scheduled.first().at(0).toInt(), expectedMs);
        // Signed out, nothing is sent for anyone.
        manager->session.setAccount(std::nullopt);
        QVERIFY(!backoff.isScheduled());
    }
};

int main(int argc, char* argv[])
{
    privateHome();
    QApplication application(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
