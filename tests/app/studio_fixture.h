#pragma once

// What the studio's window tests share: a private home (XDG folders) set up
// before the application starts, the real reference service with its demo
// catalogue, a signed-in author, and recordings to upload.

#include "analysis/analysis_recorder.h"
#include "app/configuration_view.h"
#include "app/recording_sources.h"
#include "app/recording_view.h"
#include "app/recording_windows.h"
#include "app/studio_app.h"
#include "app/upload_queue.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"
#include "service/outbox.h"
#include "service/service_urls.h"
#include "service/session.h"
#include "service/upload_delivery.h"

#include "platform/media/pixel_buffer.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/settings/endpoints.h"
#include "platform/settings/store.h"

#include "../service/reference_service_process.h"
#include "../support/sign_in_form.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <QCoroNetworkReply>
#include <QCoroTask>

#include <atomic>
#include <cmath>
#include <memory>

namespace corvex::testing {

/// The process's recorder, the one every studio of a test records into.
inline analysis::AnalysisRecorder& sharedRecorder()
{
    return app::RecordingModels::process().recorder;
}

/// The synthetic screen with its list of content changed by `adjust` (fault injection).
class AdjustedSyntheticBackend : public screencapture::CaptureBackend {
public:
    screencapture::ShareableContentResult shareableContent(bool excludingDesktop, bool onScreenOnly) override
    {
        screencapture::ShareableContentResult result = m_screen.shareableContent(excludingDesktop, onScreenOnly);
        if (result)
            adjust(*result.value);
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

protected:
    virtual void adjust(screencapture::ShareableContent& content) = 0;

    screencapture::SyntheticBackend m_screen;
};

/// The synthetic screen whose windows can all be closed (they are then no
/// longer listed, and a stream of one of them ends as when it closes).
class ClosableWindowsBackend final : public AdjustedSyntheticBackend {
public:
    explicit ClosableWindowsBackend(bool closed = false)
        : m_closed(closed)
    {
    }
    std::string name() const override { return "closable-windows"; }
    void openWindows() { m_closed = false; }
    void closeWindows()
    {
        m_closed = true;
        m_screen.failRunningStreams(
            { screencapture::CaptureError::ContentUnavailable, "The window to capture is no longer open." });
    }

private:
    void adjust(screencapture::ShareableContent& content) override
    {
        if (m_closed)
            content.windows.clear();
    }

    std::atomic<bool> m_closed;
};

/// Throws away what the studio's recording window holds, and closes it.
inline void closeRecordingWindow(app::StudioApp& studio)
{
    if (app::RecordingWindow* window = studio.environment().recordingWindows.current()) {
        window->view()->configurationView()->throwAway();
        window->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

/// A studio's signed-in state at the service and the uploads made through it.
struct ServiceClient {
    service::Session session;
    service::UploadDelivery uploads;

    ServiceClient(service::Session::Configuration configuration, std::shared_ptr<service::Outbox> outbox)
        : session(std::move(configuration))
        , uploads(session, std::move(outbox))
    {
    }
};

/// What the open recording window records for.
inline std::optional<catalogue::TMDBItem> currentItem(app::StudioApp& studio)
{
    app::RecordingWindow* window = studio.environment().recordingWindows.current();
    return window ? window->view()->configurationView()->item() : std::nullopt;
}

/// A recording panel of its own, outside a window, recording for `item`: its
/// own recorder, screen (synthetic unless `backend` is given), outbox queue and sources.
struct PanelRig {
    analysis::AnalysisRecorder recorder { nullptr };
    capture::ScreenRecorder screen;
    app::UploadQueue uploads;
    app::RecordingSources sources;
    app::ConfigurationView view;

    explicit PanelRig(ServiceClient& client, std::optional<catalogue::TMDBItem> item = std::nullopt,
        std::shared_ptr<screencapture::CaptureBackend> backend = nullptr,
        preview_link::UDPManager& udp = preview_link::UDPManager::shared())
        : screen(backend ? std::move(backend) : screencapture::createCaptureBackend("synthetic"), recorder)
        , uploads(client.uploads)
        , sources(screen)
        , view(sources, udp, client.session, uploads, std::move(item))
    {
    }
};

/// Points the XDG folders at a temporary home, so that nothing reads or
/// writes the real user's settings, outbox or runtime sockets. Call before
/// the application object exists.
inline QTemporaryDir& privateHome()
{
    static QTemporaryDir home;
    static const bool prepared = [] {
        for (const char* folder : { "config", "data", "run", "cache" })
            QDir(home.path()).mkpath(QString::fromLatin1(folder));
        QFile::setPermissions(
            home.path() + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
        qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/run")).toUtf8());
        qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/cache")).toUtf8());
        qputenv("CORVEX_CAPTURE_BACKEND", "synthetic");
        return true;
    }();
    (void)prepared;
    return home;
}

/// A client of its own (settings file and outbox in `folder`) talking to
/// `origin` for both the service and the catalogue.
inline std::unique_ptr<ServiceClient> makeManager(const QString& origin, const QString& folder)
{
    settings::Endpoints endpoints;
    endpoints.service = origin;
    endpoints.catalogue = origin;
    endpoints.images = origin;
    endpoints.tmdbApiKey = settings::Endpoints::defaults().tmdbApiKey;
    return std::make_unique<ServiceClient>(
        service::Session::Configuration {
            std::make_shared<settings::Store>(folder + QStringLiteral("/corvex.ini")), endpoints },
        std::make_shared<service::Outbox>(folder + QStringLiteral("/outbox")));
}

/// Fills in the reference service's sign-in form, pressing "Create account"
/// and, when the address is taken, "Sign in"; the callback it redirects to,
/// carrying the `state` of the sign-in page that was opened.
inline QCoro::Task<QUrl> submitSignInForm(QString origin, QString email, QString password, QString state = {})
{
    // An author this process made is only signed in, and a new one only
    // created: each refused attempt counts against the service's limit on
    // failed sign-ins from this address, which a long test run would reach.
    static QSet<QString> known;
    const QString author = origin + QLatin1Char(' ') + email;
    QList<QByteArray> actions { QByteArrayLiteral("signin") };
    if (!known.contains(author))
        actions = { QByteArrayLiteral("create"), QByteArrayLiteral("signin") };
    for (const QByteArray& action : actions) {
        const FormAnswer answer = co_await corvex::testing::submitSignInForm(
            QUrl(origin + QStringLiteral("/auth/signin?redirectUri=corvexapp://callback&state=") + state), email,
            password, action);
        if (!answer.callback.isEmpty()) {
            known.insert(author);
            co_return answer.callback;
        }
    }
    co_return QUrl();
}

/// A token of the reference service for a new or known author.
inline QString tokenFor(const QString& origin, const QString& email)
{
    const QUrl callback = QCoro::waitFor(submitSignInForm(origin, email, QStringLiteral("correct horse")));
    return QUrlQuery(callback).queryItemValue(QStringLiteral("token"));
}

/// Stores the token and waits until the account has been fetched.
inline bool signIn(ServiceClient& client, const QString& token)
{
    client.session.setAccessToken(token);
    return QTest::qWaitFor([&] { return client.session.account().has_value(); }, 10000);
}

/// The reference service a test program starts once, and managers of their
/// own signed in to it (or to another origin, such as a fault server).
struct StudioService {
    ReferenceServiceProcess service;
    QTemporaryDir folders;
    int managers = 0;

    bool start(const QStringList& arguments = { QStringLiteral("--demo-catalogue") })
    {
        return folders.isValid() && service.start(arguments);
    }
    QString origin() const { return service.origin(); }
    QByteArray log() { return service.log(); }
    std::unique_ptr<ServiceClient> newManager(const QString& origin = {})
    {
        const QString folder = folders.path() + QStringLiteral("/m%1").arg(++managers);
        QDir().mkpath(folder);
        return makeManager(origin.isEmpty() ? service.origin() : origin, folder);
    }
    /// A manager signed in at the reference service as `email`; null if that failed.
    std::unique_ptr<ServiceClient> signedIn(const QString& email)
    {
        auto manager = newManager();
        return signIn(*manager, tokenFor(service.origin(), email)) ? std::move(manager) : nullptr;
    }
};

/// Saves what `widget` shows as `name`.png in CORVEX_SCREENSHOT_DIR (else
/// beside the test program), for the author's eye and the packaging.
inline void saveScreenshot(QWidget* widget, const QString& name)
{
    const QString folder = qEnvironmentVariable(
        "CORVEX_SCREENSHOT_DIR", QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"));
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    QVERIFY2(QDir().mkpath(folder) && widget->grab().save(path), qPrintable(path));
    qInfo("saved %s", qPrintable(path));
}

/// Whether the process ended normally (it may have ended while the test waited for something else).
inline bool finished(QProcess& process)
{
    return (process.state() == QProcess::NotRunning || process.waitForFinished(20000))
        && process.exitStatus() == QProcess::NormalExit;
}

#ifdef CORVEX_STUDIO_BINARY
/// Starts corvex-studio offscreen with `arguments`, as the desktop starts a second launch.
inline void launchStudio(QProcess& launch, const QStringList& arguments = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    launch.setProcessEnvironment(environment);
    launch.start(QStringLiteral(CORVEX_STUDIO_BINARY), arguments);
}
#endif

/// The button of `box` that reads `text`, or null.
inline QPushButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons())
        if (button->text() == text)
            return qobject_cast<QPushButton*>(button);
    return nullptr;
}

// Finding what the author sees, by its text: the windows' own parts are not
// reached through accessors.

/// The widget of type T under `root`, visible with it, whose text is `text`; null when none.
template <typename T> T* shown(QWidget* root, const QString& text)
{
    for (T* widget : root->findChildren<T*>())
        if (widget->text() == text && widget->isVisibleTo(root))
            return widget;
    return nullptr;
}

/// The visible label under `root` whose text starts with `start`; null when none.
inline QLabel* labelStartingWith(QWidget* root, const QString& start)
{
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->text().startsWith(start) && label->isVisibleTo(root))
            return label;
    return nullptr;
}

/// The visible label under `root` whose text holds `part`; null when none.
inline QLabel* labelContaining(QWidget* root, const QString& part)
{
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->text().contains(part) && label->isVisibleTo(root))
            return label;
    return nullptr;
}

/// The action of `window`'s menus whose text, without its "&", is `text`; null when none.
inline QAction* menuAction(QWidget* window, const QString& text)
{
    for (QMenu* menu : window->findChildren<QMenu*>())
        for (QAction* action : menu->actions())
            if (action->text().remove(QLatin1Char('&')) == text)
                return action;
    return nullptr;
}

/// The top-level window of type T that is shown and whose title is `title` (any title when empty).
template <typename T> T* shownWindow(const QString& title = {})
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<T*>(widget);
            window && window->isVisible() && (title.isEmpty() || window->windowTitle() == title))
            return window;
    return nullptr;
}

/// The texts of one column of `table`, top to bottom.
inline QStringList columnTexts(QTableView* table, int column)
{
    QStringList texts;
    for (int row = 0; row < table->model()->rowCount(); ++row)
        texts << table->model()->index(row, column).data().toString();
    return texts;
}

/// WCAG 2 contrast of two colours, measured here rather than taken from the code under test.
inline double wcagContrast(const QColor& first, const QColor& second)
{
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
    };
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

/// Waits until `window` is the active window. A Wayland client cannot make
/// itself active: there the compositor activates a window it shows, and
/// this waits for that (Qt's own wait would settle for the window being shown).
inline bool waitForActive(QWidget* window)
{
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return QTest::qWaitForWindowActive(window);
    window->activateWindow();
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window->window(); }, 10000);
}

/// Makes `window` the active one as the author would by clicking it. On
/// Wayland a client may take the focus only on the author's fresh input, which
/// the headless desktop has none of: its compositor is told to focus the window.
inline bool activate(QWidget* window)
{
    window->activateWindow();
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return QTest::qWaitForWindowActive(window);
    const QString title = window->windowTitle();
    const QString marker = QStringLiteral("corvex-focus-%1").arg(quintptr(window));
    window->setWindowTitle(marker);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SWAYSOCK"), qEnvironmentVariable("CORVEX_WAYLAND_SWAYSOCK"));
    // The new title reaches the compositor in its own time, and a window of ours
    // mapped late takes the focus as new windows do: ask until this one has it.
    const bool focused = QTest::qWaitFor(
        [&] {
            QProcess swaymsg;
            swaymsg.setProcessEnvironment(environment);
            swaymsg.start(QStringLiteral("swaymsg"), { QStringLiteral("[title=\"^%1$\"] focus").arg(marker) });
            return swaymsg.waitForFinished(10000) && swaymsg.exitCode() == 0
                && QTest::qWaitFor([window] { return QApplication::activeWindow() == window->window(); }, 1000);
        },
        20000);
    window->setWindowTitle(title);
    return focused;
}

/// A short valid light show (black frames at 30 per second), serialised.
inline QByteArray smallRecording(int frames = 3)
{
    analysis::AnalysisRecorder recorder(nullptr);
    recorder.start();
    for (int i = 0; i < frames; ++i) {
        auto frame = media::PixelBuffer::create(5, 5, media::PixelFormat::BGRA).buffer;
        recorder.appendVideoFrame(*frame, media::MediaTime::make(i, 30));
    }
    return recorder.stop().value_or(QByteArray());
}

/// Uploads a recording for the item directly; true when the service took it.
inline bool uploadFor(ServiceClient& client, const catalogue::TMDBItem& item)
{
    return !QCoro::waitFor(client.uploads.uploadLightShowFor(smallRecording(), item)).has_value();
}

inline catalogue::TMDBItem movieItem(qint64 id, const QString& title)
{
    catalogue::TMDBMovie movie;
    movie.id = id;
    movie.title = title;
    return catalogue::TMDBItem::forMovie(movie);
}

inline catalogue::TMDBItem episodeItem(qint64 showId, const QString& name, qint64 season, qint64 episode)
{
    catalogue::TMDBTVShow show;
    show.id = showId;
    show.name = name;
    catalogue::TMDBSeason seasonRecord;
    seasonRecord.id = showId * 100 + season;
    seasonRecord.season_number = season;
    catalogue::TMDBEpisode episodeRecord;
    episodeRecord.id = showId * 10000 + season * 100 + episode;
    episodeRecord.episode_number = episode;
    return catalogue::TMDBItem::forEpisode(show, seasonRecord, episodeRecord);
}

} // namespace corvex::testing
