#include "app/studio_app.h"

#include "analysis/analysis_recorder.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/single_instance.h"
#include "preview_link/udp_manager.h"
#include "service/session.h"
#include "service/upload_delivery.h"
#include "version/version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QUrl>
#include <QWindow>

#include <cstdio>

namespace corvex::app {

namespace {

void printError(const QString& message)
{
    std::fprintf(stderr, "corvex-studio: %s\n", message.toLocal8Bit().constData());
}

void describeApplication(QCommandLineParser& parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("corvex-studio"));
    QCoreApplication::setOrganizationName(QStringLiteral("Corvex"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(buildVersion()));
    parser.setApplicationDescription(QStringLiteral(
        "Corvex Studio: record ambient-light shows of movies and TV episodes and upload them to your light-show "
        "service.\nOnly one studio runs at a time: launching it again brings its window to the front."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("url"),
        QStringLiteral("A corvexapp: sign-in answer from the browser, handed to the sign-in that waits for it."),
        QStringLiteral("[corvexapp:URL]"));
}

/// --help and --version are answered without a display: over ssh, or when the
/// manual page is made from the help at build time. (--help-all lists the GUI's
/// own options too, so it needs the GUI.)
bool asksForHelpOrVersion(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QLatin1StringView argument(argv[i]);
        for (const char* option : { "-h", "--help", "-?", "-v", "--version" }) {
            if (argument == QLatin1StringView(option))
                return true;
        }
    }
    return false;
}

} // namespace

RecordingModels RecordingModels::process()
{
    // Made together, so that the recorder's live colours go through the one
    // link the recording panel chooses a receiver for.
    preview_link::UDPManager& previewLink = preview_link::UDPManager::shared();
    static analysis::AnalysisRecorder recorder;
    [[maybe_unused]] static const bool connected = [&] {
        recorder.setLiveMessageObserver(
            [link = &previewLink](const QByteArray& message) { link->sendToSelectedService(message); });
        return true;
    }();
    return { recorder, previewLink };
}

StudioApp::StudioApp(service::UploadDelivery& delivery, RecordingModels recording,
    RecordingWindows::BackendFactory backends, webauth::Session::Opener opener, QObject* parent)
    : QObject(parent)
    , m_session(std::move(opener))
    , m_uploads(delivery)
    , m_recordingWindows(delivery.session(), m_uploads, recording, std::move(backends))
    , m_accountRetry(delivery.session())
    , m_outboxRetry(delivery.session(), m_uploads)
    , m_notifications(m_uploads)
    , m_environment { delivery.session(), m_session, m_images, m_uploads, m_recordingWindows, m_accountRetry, m_notes,
        m_outboxRetry }
{
    // What the studio knew of an uploaded show, for the library to show.
    connect(&delivery, &service::UploadDelivery::lightShowStored, &m_notes,
        [this](const QString& showId, const catalogue::TMDBItem& item, const QByteArray& recording) {
            m_notes.remember(showId, LightShowNote::describe(item, recording));
        });
}

StudioApp::~StudioApp()
{
    // Every window of ours reads the environment held here, so they go
    // first. Ours are the parentless ones that delete themselves on close.
    QList<QPointer<QWidget>> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->parentWidget() == nullptr && widget->testAttribute(Qt::WA_DeleteOnClose))
            windows.append(widget);
    }
    for (const QPointer<QWidget>& window : std::as_const(windows))
        delete window.data();
}

MainWindow* StudioApp::newMainWindow()
{
    auto* window = new MainWindow(m_environment);
    m_windows.append(window);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

QList<MainWindow*> StudioApp::mainWindows() const
{
    QList<MainWindow*> windows;
    for (const QPointer<MainWindow>& window : m_windows) {
        if (window)
            windows.append(window);
    }
    return windows;
}

void StudioApp::activate(const QByteArray& activationToken)
{
    const QList<MainWindow*> windows = mainWindows();
    MainWindow* window = windows.isEmpty() ? newMainWindow() : windows.last();
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    if (!QGuiApplication::platformName().startsWith(QLatin1StringView("wayland"))) {
        window->activateWindow();
        return;
    }
    // A Wayland client cannot give itself the focus: the compositor moves it
    // only with a token from whoever launched us. Qt's Wayland plugin takes
    // that token from XDG_ACTIVATION_TOKEN when asked to activate (and clears
    // it), so it is put there just for this call. No token: ask for attention.
    QWindow* handle = window->windowHandle();
    if (activationToken.isEmpty() || handle == nullptr) {
        window->activateWindow();
        QApplication::alert(window);
        return;
    }
    qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    handle->requestActivate();
    // Still there when the compositor offers no activation at all; it must not
    // reach a later activation or a program we start.
    qunsetenv("XDG_ACTIVATION_TOKEN");
}

void StudioApp::handleLaunchMessage(const QByteArray& message)
{
    const std::optional<LaunchRequest> request = LaunchRequest::decode(message);
    if (!request)
        return;
    // Launchers from before XDG_ACTIVATION_TOKEN hand Wayland's token over as the startup id.
    activate(request->activationToken.isEmpty() ? request->startupId : request->activationToken);
    if (request->signInProblem)
        reportSignInProblem(*request->signInProblem);
}

void StudioApp::reportSignInProblem(const QString& message)
{
    for (MainWindow* window : mainWindows())
        window->listView()->showSignInProblem(
            QStringLiteral("The browser's sign-in answer did not reach the studio: %1. Press Sign In to try again.")
                .arg(message));
}

int StudioApp::main(int argc, char* argv[])
{
    // Read before Qt starts: its X11 plugin takes DESKTOP_STARTUP_ID out of
    // the environment as it connects.
    LaunchRequest launch = LaunchRequest::fromEnvironment();
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication application(argc, argv);
        QCommandLineParser parser;
        describeApplication(parser);
        parser.process(application); // prints the help or the version and exits
        return 0;
    }
    QApplication application(argc, argv);
    QCommandLineParser parser;
    describeApplication(parser);
    QApplication::setApplicationDisplayName(QStringLiteral("Corvex Studio"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kApplicationId));
    parser.process(application);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        printError(QStringLiteral("at most one corvexapp: URL is accepted; see --help"));
        return 2;
    }
    SingleInstance instance(QStringLiteral("corvex-studio"));
    QString handOverProblem;
    if (positional.size() == 1) {
        const QUrl url = QUrl::fromUserInput(positional.first());
        if (url.scheme().compare(QLatin1StringView("corvexapp"), Qt::CaseInsensitive) != 0) {
            printError(QStringLiteral("'%1' is not a corvexapp: URL; see --help").arg(positional.first()));
            return 2;
        }
        const Result<void> handed = webauth::Session::handOver(QUrl::fromEncoded(positional.first().toUtf8()));
        if (handed) {
            // The sign-in is done; show the studio that waited for it, if it is one. Whether it
            // came to the front changes nothing for the sign-in.
            if (instance.claim() == SingleInstance::Role::Secondary)
                static_cast<void>(instance.send(launch.encode()));
            return 0;
        }
        printError(QStringLiteral("cannot complete the sign-in: %1").arg(handed.error));
        handOverProblem = handed.error;
    }

    if (instance.claim() == SingleInstance::Role::Secondary) {
        if (!handOverProblem.isEmpty()) {
            // Said where the author looks, not only here on standard error.
            launch.signInProblem = handOverProblem;
            if (const Result<void> sent = instance.send(launch.encode()); !sent)
                printError(sent.error);
            return 1;
        }
        const Result<void> activated = instance.send(launch.encode());
        if (activated)
            return 0;
        printError(activated.error + QStringLiteral("; end the other Corvex Studio and start it again"));
        return 1;
    }
    if (!instance.listenError().isEmpty())
        printError(QStringLiteral("a second launch will not find this one (%1)").arg(instance.listenError()));

    StudioApp studio(service::UploadDelivery::shared(), RecordingModels::process());
    QObject::connect(&instance, &SingleInstance::messageReceived, &studio, &StudioApp::handleLaunchMessage);
    studio.newMainWindow();
    // Our own launch token was spent on that window; the browser we may start must not inherit it.
    qunsetenv("XDG_ACTIVATION_TOKEN");
    if (!handOverProblem.isEmpty())
        studio.reportSignInProblem(handOverProblem);
    return application.exec();
}

} // namespace corvex::app
