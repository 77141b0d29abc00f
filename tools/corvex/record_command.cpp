// corvex record: a headless recording of a display or a window with the
// system's sound, through the same screen recorder, capture engine and
// analysis recorder that the studio uses.

#include "cli_support.h"
#include "commands.h"

#include "analysis/analysis_recorder.h"
#include "analysis/black_bars.h"
#include "capture/screen_recorder.h"
#include "preview_link/udp_manager.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCoroTask>
#include <QCoroTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <limits>

namespace corvex::cli {

namespace {

using capture::ScreenRecorder;

constexpr int kDiscoveryTimeoutMs = 5000;
constexpr int kCaptureStartTimeoutMs = 5000;

// Ctrl-C and SIGTERM end the recording through the event loop, so the record is still written.
int g_signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

void printList(const ScreenRecorder& screen, bool chosenInTheDesktop)
{
    printOut(QStringLiteral("Displays:"));
    int index = 1;
    for (const screencapture::Display& display : screen.availableDisplays())
        printOut(QStringLiteral("  %1  %2  (%3 at %4,%5)")
                     .arg(index++)
                     .arg(ScreenRecorder::displayName(display), QString::fromStdString(display.name))
                     .arg(display.frame.x)
                     .arg(display.frame.y));
    printOut(QStringLiteral("Windows:"));
    if (screen.availableWindows().empty())
        printOut(chosenInTheDesktop ? QStringLiteral("  (none by id: a window is chosen in the desktop's dialog)")
                                    : QStringLiteral("  (none)"));
    for (const screencapture::Window& window : screen.availableWindows())
        printOut(QStringLiteral("  0x%1  %2").arg(window.windowID, 0, 16).arg(ScreenRecorder::displayName(window)));
    // Applications cannot list what a Wayland desktop shows: its own dialog
    // picks, once, and the choice is remembered. Without saying how to pick
    // again, an author who chose the wrong screen would be stuck with it.
    if (chosenInTheDesktop)
        printOut(QStringLiteral("This desktop records what was chosen in its own dialog, and the choice is "
                                "remembered; 'corvex record --choose' asks again (the dialog offers windows too "
                                "where the desktop has them)."));
}

struct Options {
    bool list = false;
    std::optional<int> display; // 1-based position in the list
    std::optional<std::uint32_t> window;
    std::optional<media::Rect> crop;
    bool autoCrop = false;
    double seconds = 0; // 0: until interrupted
    QString preview;
    QString output;
    bool audio = true;
    bool choose = false; // ask the desktop's dialog again
};

// Waits (without blocking the event loop) for the receiver of that name to be discovered.
QCoro::Task<bool> choosePreview(preview_link::UDPManager& manager, const QString& name)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kDiscoveryTimeoutMs) {
        for (const preview_link::DiscoveredService& service : manager.udpClient().discoveredServices())
            if (service.name == name) {
                manager.setSelectedService(service);
                co_return true;
            }
        QTimer timer;
        timer.start(100);
        co_await timer;
    }
    co_return false;
}

QCoro::Task<int> record(const Options& options, std::shared_ptr<screencapture::CaptureBackend> backend)
{
    const QString advice
        = QString::fromStdString(backend->unavailableAdvice()) + QStringLiteral(", then run 'corvex record' again.");
    // The preview link (and its search for receivers) only when one is asked for.
    preview_link::UDPManager* const previewLink
        = options.preview.isEmpty() ? nullptr : &preview_link::UDPManager::shared();
    analysis::AnalysisRecorder recorder;
    if (previewLink)
        recorder.setLiveMessageObserver(
            [previewLink](const QByteArray& message) { previewLink->sendToSelectedService(message); });
    ScreenRecorder screen(std::move(backend), recorder);
    screen.setIsAudioCaptureEnabled(options.audio);
    if (!co_await screen.canRecord()) {
        printError(QStringLiteral("screen capture is not available here. %1 Or use --source synthetic.").arg(advice));
        co_return Failure;
    }
    screencapture::DesktopChooser* const chooser = screen.backend()->desktopChooser();
    if (options.choose && chooser == nullptr) {
        printError(QStringLiteral("--choose is for Wayland desktops (--source portal), where the desktop's own "
                                  "dialog picks what is recorded; here, pick with --display or --window"));
        co_return Usage;
    }
    if (options.window && chooser != nullptr) {
        printError(QStringLiteral("on this desktop windows cannot be picked by id: run 'corvex record --choose' and "
                                  "pick the window in the desktop's dialog (where it offers windows)"));
        co_return Usage;
    }
    if (options.choose)
        chooser->chooseAgain();
    co_await screen.refreshAvailableContent();
    if (options.list) {
        printList(screen, chooser != nullptr);
        co_return Success;
    }
    if (options.window) {
        const auto windows = screen.availableWindows();
        const auto found = std::find_if(windows.begin(), windows.end(),
            [&](const screencapture::Window& window) { return window.windowID == *options.window; });
        if (found == windows.end()) {
            printError(QStringLiteral("no window 0x%1 on screen; 'corvex record --list' shows the windows")
                           .arg(*options.window, 0, 16));
            co_return Usage;
        }
        screen.setCaptureType(ScreenRecorder::CaptureType::window);
        screen.setSelectedWindow(*found);
    } else if (options.display) {
        const auto displays = screen.availableDisplays();
        if (*options.display < 1 || *options.display > static_cast<int>(displays.size())) {
            printError(QStringLiteral("there is no display %1; 'corvex record --list' shows the %2 there are%3")
                           .arg(*options.display)
                           .arg(displays.size())
                           .arg(chooser != nullptr
                                   ? QStringLiteral(" (this desktop records what was chosen in its own dialog: "
                                                    "'corvex record --choose' asks again)")
                                   : QString()));
            co_return Usage;
        }
        screen.setSelectedDisplay(displays[static_cast<std::size_t>(*options.display - 1)]);
    }
    if (options.crop)
        screen.setCrop(options.crop);
    if (!options.preview.isEmpty() && !co_await choosePreview(*previewLink, options.preview)) {
        printError(QStringLiteral("no light receiver named '%1' was found within %2 s")
                       .arg(options.preview)
                       .arg(kDiscoveryTimeoutMs / 1000));
        co_return Failure;
    }

    int frames = 0;
    QObject::connect(screen.capturePreview(), &capture::CapturePreview::contentsChanged, [&] { ++frames; });
    QElapsedTimer sinceStart;
    sinceStart.start();
    // Black bars are looked for in every captured frame; the crop is applied
    // once the evidence holds (frames before it were recorded whole) and
    // follows the bars if they change.
    analysis::BlackBarDetector bars;
    if (options.autoCrop)
        QObject::connect(screen.capturePreview(), &capture::CapturePreview::contentsChanged, [&] {
            const std::shared_ptr<const screencapture::Surface>& surface = screen.capturePreview()->contents();
            if (!surface || !surface->pixels)
                return;
            // The detector only reads the pixels.
            const std::shared_ptr<media::PixelBuffer> frame = media::PixelBuffer::wrap(surface->width, surface->height,
                surface->bytesPerRow, surface->format, std::const_pointer_cast<std::uint8_t>(surface->pixels));
            if (!frame)
                return;
            bars.addFrame(*frame, screen.capturePreview()->coveredPixels().get());
            const std::optional<media::Rect> proposed = bars.proposedCrop();
            const std::optional<media::Rect> current = screen.crop();
            const auto moved = [](const media::Rect& a, const media::Rect& b) {
                return std::abs(a.x - b.x) > 0.01 || std::abs(a.y - b.y) > 0.01 || std::abs(a.width - b.width) > 0.01
                    || std::abs(a.height - b.height) > 0.01;
            };
            if (!proposed || (current && !moved(*proposed, *current)))
                return;
            screen.setCrop(proposed);
            std::fprintf(stderr, "\nBlack bars found at %.1f s: cropping to %.4f,%.4f,%.4f,%.4f (x,y,w,h)\n",
                sinceStart.elapsed() / 1000.0, proposed->x, proposed->y, proposed->width, proposed->height);
        });
    co_await screen.start();
    if (!screen.isRunning()) {
        printError(QStringLiteral("capture did not start (see the message above)"));
        co_return Failure;
    }
    // The recording starts once pictures and sound come in: a sound server's
    // monitor only hears what its output renders after it joined, which can be
    // a second or more after capture starts, and what played before is lost.
    QElapsedTimer waiting;
    waiting.start();
    while (screen.isRunning() && waiting.elapsed() < kCaptureStartTimeoutMs
        && (frames == 0 || (options.audio && screen.captureEngine().powerMeter().values().empty()))) {
        QTimer poll;
        poll.start(10);
        co_await poll;
    }
    if (!screen.isRunning()) {
        // Capture ended before the recording began (the author cancelled the
        // desktop's dialog, the portal failed): there is nothing to keep, and
        // nothing would stop a recording without --seconds.
        const std::optional<screencapture::CaptureError>& why = screen.lastError();
        printError(
            QStringLiteral("capture stopped before the recording began, so nothing was written: %1%2")
                .arg(why ? QString::fromStdString(why->localizedDescription) : QStringLiteral("see the message above"),
                    why && why->code == screencapture::CaptureError::AudioUnavailable
                        ? QStringLiteral(" Or record the picture alone with --no-audio.")
                        : QString()));
        co_return Failure;
    }
    recorder.start();
    const QString what = screen.captureType() == ScreenRecorder::CaptureType::window
        ? ScreenRecorder::displayName(*screen.selectedWindow())
        : ScreenRecorder::displayName(*screen.selectedDisplay());
    std::fprintf(stderr, "Recording %s%s. Press Ctrl-C to stop.\n", qPrintable(what),
        options.seconds > 0 ? qPrintable(QStringLiteral(" for %1 s").arg(options.seconds)) : "");

    // Ends on Ctrl-C, at the end of --seconds, or when capture stops on its own:
    // each of those fires the `end` timer at once.
    QTimer end;
    end.setSingleShot(true);
    end.start(options.seconds > 0 ? static_cast<int>(options.seconds * 1000) : std::numeric_limits<int>::max());
    QElapsedTimer elapsed;
    elapsed.start();
    bool interrupted = false;
    QSocketNotifier signals(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, [&] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
        interrupted = true;
        end.start(0);
    });
    QObject::connect(&screen, &ScreenRecorder::isRunningChanged, [&] { end.start(0); });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        const auto values = screen.captureEngine().powerMeter().values();
        const QString level = !options.audio ? QStringLiteral("off")
            : values.empty()                 ? QStringLiteral("-")
                                             : QStringLiteral("%1 dB").arg(double(values.front().average), 0, 'f', 1);
        std::fprintf(stderr, "\r%s  frames %d  audio %s    ",
            qPrintable(QStringLiteral("%1 s").arg(elapsed.elapsed() / 1000.0, 6, 'f', 1)), frames, qPrintable(level));
        std::fflush(stderr);
    });
    progress.start(250);
    co_await end;
    progress.stop();
    std::fprintf(stderr, "\n");
    const bool failed = !screen.isRunning();

    const std::optional<QByteArray> bytes = recorder.stop();
    if (!bytes) {
        printError(QStringLiteral("the recording could not be encoded"));
        co_return Failure;
    }
    if (const Result<void> written = writeFile(options.output, *bytes); !written) {
        printError(written.error);
        co_return Failure;
    }
    VideoAnalysis analysis;
    analysis.ParseFromArray(bytes->constData(), static_cast<int>(bytes->size()));
    printOut(QStringLiteral("Wrote %1 frames (%2 s%3) to %4")
                 .arg(analysis.timestamps_size())
                 .arg(elapsed.elapsed() / 1000.0, 0, 'f', 1)
                 .arg(interrupted ? QStringLiteral(", interrupted") : QString())
                 .arg(options.output));
    if (options.audio && analysis.signature().empty())
        warnEmptySignature(options.output);
    if (const int leftOut = recorder.framesLeftOut(); leftOut > 0)
        printError(QStringLiteral("%1 captured frames were left out, their times lying before the recording's start "
                                  "or before the frame ahead of them; the record stays in time order")
                       .arg(leftOut));
    if (failed) {
        printError(QStringLiteral("capture stopped before the end; what was recorded until then was written"));
        co_return Failure;
    }
    if (analysis.timestamps_size() == 0) {
        // A record without frames is of no use as a light show, whatever the
        // exit status said. Only pictures that changed are analysed; but a
        // desktop that never sent one at all may not send any of what was
        // chosen (KDE Plasma 5.27 sends none of a whole screen).
        if (frames == 0 && chooser != nullptr)
            printError(QStringLiteral(
                "no frames were recorded: the desktop sent no picture of what was shared. Some desktops send none "
                "of a whole screen (KDE Plasma 5.27) or send one only when something on it changes: share the "
                "player's window instead ('corvex record --choose'), or play the film while recording"));
        else
            printError(QStringLiteral(
                "no frames were recorded: nothing on the recorded screen changed while recording. Start the "
                "recording, then play the film (or whatever should drive the lights)"));
        co_return Failure;
    }
    co_return Success;
}

} // namespace

int runRecord(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Records a display or a window with the system's sound into a light-show record, as the studio does: every "
        "frame is cropped, scaled to 5 x 5 and sampled; the sound goes into the soundtrack's signature. Progress "
        "shows on one line; Ctrl-C (or the end of --seconds) stops and writes the file."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("list"), QStringLiteral("List the displays and windows that can be recorded.") });
    parser.addOption({ QStringLiteral("source"),
        QStringLiteral("Where to capture from: portal (a Wayland desktop's screen-cast portal, which asks once "
                       "what to share, and PulseAudio or PipeWire), x11 (the X display and PulseAudio) or synthetic "
                       "(moving colours and a tune, no display needed). Default: portal in a Wayland session, else "
                       "x11."),
        QStringLiteral("SOURCE") });
    parser.addOption({ QStringLiteral("display"), QStringLiteral("Record display N of the list (default: the first)."),
        QStringLiteral("N") });
    parser.addOption({ QStringLiteral("window"),
        QStringLiteral("Record the window with this id (decimal, or hex with 0x) instead of a display (X11; on a "
                       "Wayland desktop a window is chosen in its dialog: see --choose)."),
        QStringLiteral("ID") });
    parser.addOption({ QStringLiteral("crop"),
        QStringLiteral("Use only this part of each frame: fractions of the frame, origin top left."),
        QStringLiteral("X,Y,W,H") });
    parser.addOption({ QStringLiteral("auto-crop"),
        QStringLiteral("Find black bars (letterbox, pillarbox) in the picture as it plays and leave them out from "
                       "then on (frames before they are found are recorded whole).") });
    parser.addOption({ QStringLiteral("seconds"),
        QStringLiteral("Stop after S seconds (default: record until Ctrl-C)."), QStringLiteral("S") });
    parser.addOption({ QStringLiteral("preview"),
        QStringLiteral("Also send the live colours to the light receiver of this name (found by DNS-SD)."),
        QStringLiteral("NAME") });
    parser.addOption({ QStringLiteral("choose"),
        QStringLiteral("On a Wayland desktop (--source portal): forget the display or window chosen before and ask "
                       "again in the desktop's dialog.") });
    parser.addOption(
        { QStringLiteral("no-audio"), QStringLiteral("Capture no sound (the record gets no signature).") });
    parser.addOption({ { QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral("Write the serialised VideoAnalysis record to FILE."), QStringLiteral("FILE") });

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument '%1'; run 'corvex record --help'")
                       .arg(parser.positionalArguments().first()));
        return Usage;
    }

    Options options;
    options.list = parser.isSet(QStringLiteral("list"));
    options.audio = !parser.isSet(QStringLiteral("no-audio"));
    options.choose = parser.isSet(QStringLiteral("choose"));
    const QString source = parser.value(QStringLiteral("source"));
    if (!source.isEmpty() && source != QLatin1StringView("portal") && source != QLatin1StringView("x11")
        && source != QLatin1StringView("synthetic")) {
        printError(QStringLiteral("--source is portal, x11 or synthetic; got '%1'").arg(source));
        return Usage;
    }
    if (parser.isSet(QStringLiteral("display")) && parser.isSet(QStringLiteral("window"))) {
        printError(QStringLiteral("--display and --window cannot be used together"));
        return Usage;
    }
    bool ok = true;
    if (parser.isSet(QStringLiteral("display"))) {
        options.display = parser.value(QStringLiteral("display")).toInt(&ok);
        if (!ok || *options.display < 1) {
            printError(QStringLiteral("--display takes a display's number from --list (1, 2, ...); got '%1'")
                           .arg(parser.value(QStringLiteral("display"))));
            return Usage;
        }
    }
    if (parser.isSet(QStringLiteral("window"))) {
        options.window = parser.value(QStringLiteral("window")).toUInt(&ok, 0);
        if (!ok || *options.window == 0) {
            printError(QStringLiteral("--window takes a window id from --list (such as 0x400001); got '%1'")
                           .arg(parser.value(QStringLiteral("window"))));
            return Usage;
        }
    }
    options.autoCrop = parser.isSet(QStringLiteral("auto-crop"));
    if (options.autoCrop && parser.isSet(QStringLiteral("crop"))) {
        printError(QStringLiteral("--crop and --auto-crop cannot be used together"));
        return Usage;
    }
    if (parser.isSet(QStringLiteral("crop"))) {
        const Result<media::Rect> parsed = parseCrop(parser.value(QStringLiteral("crop")));
        options.crop = parsed.value;
        if (!parsed) {
            printError(parsed.error);
            return Usage;
        }
    }
    if (parser.isSet(QStringLiteral("seconds"))) {
        options.seconds = parser.value(QStringLiteral("seconds")).toDouble(&ok);
        if (!ok || !std::isfinite(options.seconds) || options.seconds <= 0 || options.seconds > 86400) {
            printError(QStringLiteral("--seconds takes a duration above 0 and at most 86400; got '%1'")
                           .arg(parser.value(QStringLiteral("seconds"))));
            return Usage;
        }
    }
    options.preview = parser.value(QStringLiteral("preview"));
    options.output = parser.value(QStringLiteral("output"));
    if (!options.list && options.output.isEmpty()) {
        printError(QStringLiteral("no output file; give one with -o FILE"));
        return Usage;
    }
    if (!options.list) {
        if (const Result<void> writable = checkWritable(options.output, QStringLiteral("nothing was recorded"));
            !writable) {
            printError(writable.error);
            return Failure;
        }
    }

    std::shared_ptr<screencapture::CaptureBackend> backend = source.isEmpty()
        ? screencapture::createCaptureBackend()
        : screencapture::createCaptureBackend(source.toStdString());

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        printError(QStringLiteral("cannot set up the Ctrl-C handler"));
        return Failure;
    }
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    return QCoro::waitFor(record(options, std::move(backend)));
}

} // namespace corvex::cli
