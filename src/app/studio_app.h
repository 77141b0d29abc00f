#pragma once

#include "app/account_retry.h"
#include "app/image_cache.h"
#include "app/light_show_notes.h"
#include "app/outbox_retry.h"
#include "app/recording_windows.h"
#include "app/studio_environment.h"
#include "app/upload_notifications.h"
#include "app/upload_queue.h"

#include "platform/webauth/session.h"

#include <QList>
#include <QObject>
#include <QPointer>

namespace corvex::service {
class UploadDelivery;
}

namespace corvex::app {

class MainWindow;

/// The studio application: the shared models every window reads, and the
/// main window showing the author's library (one at a time). Further
/// windows (the catalogue, the recording windows) are opened from there.
class StudioApp final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StudioApp)

public:
    /// The application identifier: the desktop entry's name and the windows' class.
    static constexpr const char* kApplicationId = "app.corvex.Studio";

    /// The process entry: runs the studio until its last window closes, or
    /// hands this launch over to the studio that already runs.
    static int main(int argc, char* argv[]);

    /// Runs on `delivery` and the session it delivers for.
    StudioApp(service::UploadDelivery& delivery, RecordingModels recording,
        RecordingWindows::BackendFactory backends = {},
        webauth::Session::Opener opener = webauth::Session::openInBrowser, QObject* parent = nullptr);
    ~StudioApp() override;

    /// Opens the main window on the shared state.
    MainWindow* newMainWindow();
    /// Brings the most recent main window to the front, opening one when none is open.
    /// On Wayland only a launcher's token lets a window take the focus: without
    /// one the window asks for the author's attention instead.
    void activate(const QByteArray& activationToken = {});

    StudioEnvironment& environment() { return m_environment; }
    UploadNotifications& notifications() { return m_notifications; }
    /// Acts on a message from a later launch (a `LaunchRequest`): brings the
    /// studio to the front with the launch's token, and shows why the
    /// browser's answer could not be handed over when it says so.
    void handleLaunchMessage(const QByteArray& message);
    /// Shows in every main window why a sign-in answer did not arrive.
    void reportSignInProblem(const QString& message);
    QList<MainWindow*> mainWindows() const;

private:
    webauth::Session m_session;
    ImageCache m_images;
    UploadQueue m_uploads;
    RecordingWindows m_recordingWindows;
    AccountRetry m_accountRetry;
    LightShowNotes m_notes;
    OutboxRetry m_outboxRetry;
    UploadNotifications m_notifications;
    StudioEnvironment m_environment;
    QList<QPointer<MainWindow>> m_windows;
};

} // namespace corvex::app
