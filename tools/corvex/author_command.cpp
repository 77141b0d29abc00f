// corvex author: a light show from a video file, through the same analysis
// as a recording of the screen, as fast as the film decodes.

#include "cli_support.h"
#include "commands.h"

#include "analysis/analysis_recorder.h"
#include "capture/video_file_analysis.h"
#include "platform/mediafile/media_file_reader.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>

namespace corvex::cli {

namespace {

// The reader that Ctrl-C stops. Stopping only stores to an atomic flag, which
// is safe in a signal handler.
std::atomic<mediafile::MediaFileReader*> g_reader { nullptr };
volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int)
{
    g_interrupted = 1;
    if (mediafile::MediaFileReader* reader = g_reader.load())
        reader->requestStop();
}

struct ScopedReader {
    explicit ScopedReader(mediafile::MediaFileReader* reader) { g_reader.store(reader); }
    ~ScopedReader() { g_reader.store(nullptr); }
    ScopedReader(const ScopedReader&) = delete;
    ScopedReader& operator=(const ScopedReader&) = delete;
};

QString clock(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return QStringLiteral("-");
    const auto whole = static_cast<long long>(seconds);
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    return hours > 0
        ? QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(rest, 2, 10, QLatin1Char('0'))
        : QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
}

QString cropText(const media::Rect& crop)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(crop.x, 0, 'f', 4)
        .arg(crop.y, 0, 'f', 4)
        .arg(crop.width, 0, 'f', 4)
        .arg(crop.height, 0, 'f', 4);
}

struct Options {
    QString video;
    QString output;
    std::optional<media::Rect> crop;
    bool autoCrop = false;
    mediafile::ReaderOptions reader;
};

mediafile::OpenResult openReader(const Options& options)
{
    mediafile::OpenResult opened = mediafile::MediaFileReader::open(options.video.toStdString(), options.reader);
    if (!opened)
        printError(QString::fromStdString(opened.error.message));
    return opened;
}

int author(const Options& options)
{
    std::optional<media::Rect> crop = options.crop;
    if (options.autoCrop) {
        mediafile::OpenResult scan = openReader(options);
        if (!scan)
            return Failure;
        ScopedReader stoppable(scan.value->get());
        std::fprintf(stderr, "Looking for black bars...\n");
        crop = capture::findBlackBars(**scan.value);
        if (g_interrupted) {
            printError(QStringLiteral("interrupted before the analysis began; nothing was written"));
            return Failure;
        }
        std::fprintf(stderr, "%s\n",
            crop ? qPrintable(QStringLiteral("Black bars found: cropping to %1 (x,y,w,h)").arg(cropText(*crop)))
                 : "No black bars found: the whole picture is used.");
    }

    // Opened after the search for bars, so that the damage it counts is this reading's own.
    mediafile::OpenResult opened = openReader(options);
    if (!opened)
        return Failure;
    mediafile::MediaFileReader& reader = **opened.value;
    // A copy: the reader, with the decoder's pictures, is gone before the record is encoded.
    const mediafile::MediaFileInfo info = reader.info();
    if (!info.hardwareNote.empty())
        std::fprintf(stderr, "%s\n", info.hardwareNote.c_str());

    std::fprintf(stderr, "Analysing %s: %s, %dx%d %s%s%s\n", qPrintable(options.video),
        qPrintable(clock(info.durationSeconds)), info.displayWidth, info.displayHeight, info.videoCodec.c_str(),
        info.hardware.empty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(QString::fromStdString(info.hardware))),
        info.audioStreamIndex ? qPrintable(
            QStringLiteral(", sound %1 %2 Hz").arg(QString::fromStdString(info.audioCodec)).arg(info.sampleRate))
                              : ", no sound");
    std::fflush(stderr);

    analysis::AnalysisRecorder recorder(nullptr);
    capture::VideoFileAnalysis analysis(reader, recorder);
    analysis.setCrop(crop);
    const auto started = std::chrono::steady_clock::now();
    auto lastPrint = started;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    int lastStep = 0;
    analysis.progressHandler = [&](const capture::VideoFileAnalysis::Progress& progress) {
        const auto now = std::chrono::steady_clock::now();
        // On a terminal the line is redrawn twice a second; into a file or a
        // pipe, a line at every 5 % of the film (every minute of film when its length is unknown).
        if (terminal) {
            if (now - lastPrint < std::chrono::milliseconds(500))
                return;
        } else {
            const int step = progress.durationSeconds > 0
                ? static_cast<int>(20.0 * progress.seconds / progress.durationSeconds)
                : static_cast<int>(progress.seconds / 60);
            if (step <= lastStep)
                return;
            lastStep = step;
        }
        lastPrint = now;
        const double wall = std::chrono::duration<double>(now - started).count();
        const double speed = wall > 0 ? progress.seconds / wall : 0;
        const QString percent = progress.durationSeconds > 0 ? QStringLiteral("%1 %").arg(
                                    std::min(100.0, 100.0 * progress.seconds / progress.durationSeconds), 5, 'f', 1)
                                                             : clock(progress.seconds);
        const QString left = progress.durationSeconds > 0 && speed > 0
            ? clock(std::max(0.0, progress.durationSeconds - progress.seconds) / speed) + QStringLiteral(" left")
            : QString();
        std::fprintf(stderr, "%s%s  %4.0f fps  %5.1fx real time  %s   %s", terminal ? "\r" : "", qPrintable(percent),
            wall > 0 ? progress.frames / wall : 0.0, speed, qPrintable(left), terminal ? "" : "\n");
        std::fflush(stderr);
    };

    recorder.start();
    // The record is sized for the film at once, within reason (a damaged file
    // may claim any length), rather than doubling as it grows.
    constexpr double kMostFramesReserved = 3 * 3600 * 60;
    const double expectedFrames = info.durationSeconds * info.frameRate * 1.01 + 64;
    if (info.durationSeconds > 0 && info.frameRate > 0)
        recorder.reserveFrames(static_cast<int>(std::min(expectedFrames, kMostFramesReserved)));
    capture::VideoFileAnalysis::Result result;
    {
        ScopedReader stoppable(&reader);
        if (g_interrupted)
            reader.requestStop();
        result = analysis.run();
    }
    if (terminal)
        std::fprintf(stderr, "\n");
    opened.value.reset();
    // The decoder's pictures were made and freed on its threads, whose memory
    // the encoding on this one cannot reuse: handed back to the system, it
    // leaves room for the record's encoding under the peak of the decoding.
    malloc_trim(0);
    const std::optional<QByteArray> bytes = recorder.stop();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (result.frames == 0) {
        printError(result.outcome == capture::VideoFileAnalysis::Outcome::Stopped
                ? QStringLiteral("interrupted before the first frame; nothing was written")
                : QStringLiteral("%1: not one frame of its video could be decoded; the file is damaged or not a "
                                 "film. Nothing was written.")
                      .arg(options.video));
        return Failure;
    }
    if (!bytes) {
        printError(QStringLiteral("the record could not be encoded; nothing was written"));
        return Failure;
    }
    if (const Result<void> written = writeFile(options.output, *bytes); !written) {
        printError(written.error);
        return Failure;
    }
    printOut(QStringLiteral("Wrote %1 frames (%2 of film, signature %3 bytes) to %4 in %5 s (%6x real time)")
                 .arg(recorder.frameCount())
                 .arg(clock(result.lastSeconds))
                 .arg(recorder.signatureSize())
                 .arg(options.output)
                 .arg(wall, 0, 'f', 1)
                 .arg(wall > 0 ? result.lastSeconds / wall : 0.0, 0, 'f', 1));

    // What went wrong is said in one line each; any of it makes the exit status 1,
    // so that a script does not upload the record without a look. Sound too
    // short for a signature is only a warning: the record is whole.
    bool flawed = false;
    if (result.outcome == capture::VideoFileAnalysis::Outcome::Stopped) {
        printError(QStringLiteral("interrupted at %1 of %2: %3 holds a valid record of the first %1 only")
                       .arg(clock(result.lastSeconds), clock(info.durationSeconds), options.output));
        flawed = true;
    } else if (result.outcome == capture::VideoFileAnalysis::Outcome::Failed) {
        printError(
            QStringLiteral("%1: %2 at %3; %4 holds the record up to there")
                .arg(options.video, QString::fromStdString(result.failure), clock(result.lastSeconds), options.output));
        flawed = true;
    } else if (result.isCutShort()) {
        printError(QStringLiteral("%1 ends at %2 although it says it lasts %3: the file is cut short; %4 holds the "
                                  "record of what is there")
                       .arg(options.video, clock(result.lastSeconds), clock(info.durationSeconds), options.output));
        flawed = true;
    }
    if (result.damaged > 0) {
        printError(QStringLiteral("%1 is damaged: %2 skipped and decoding went on; check the film before uploading %3")
                       .arg(options.video, QString::fromStdString(result.damagedText()), options.output));
        flawed = true;
    }
    if (!info.audioStreamIndex) {
        printError(QStringLiteral("%1 has no sound: %2 has an empty signature, so receivers cannot find their "
                                  "place in the show by listening")
                       .arg(options.video, options.output));
        flawed = true;
    } else if (recorder.signatureSize() == 0) {
        warnEmptySignature(options.output);
    }
    return flawed ? Failure : Success;
}

std::optional<int> streamOption(const QCommandLineParser& parser, const QString& name, bool& failed)
{
    if (!parser.isSet(name))
        return std::nullopt;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < 0) {
        printError(QStringLiteral("--%1 takes a stream number as ffprobe shows it (0, 1, ...); got '%2'")
                       .arg(name, parser.value(name)));
        failed = true;
        return std::nullopt;
    }
    return value;
}

} // namespace

int runAuthor(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes a light-show record from a video file, through the same analysis as 'corvex record': every frame is "
        "cropped, scaled to 5 x 5 and sampled at its presentation time; the sound goes into the soundtrack's "
        "signature. Runs as fast as the film decodes, with a progress line on standard error. Ctrl-C stops and "
        "writes a valid record of what was analysed, and says so. Exit status 1 when the film could not be "
        "analysed whole (damaged, cut short, no sound): the reason is on standard error."));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("VIDEO"), QStringLiteral("The film or episode, any format FFmpeg reads."));
    parser.addOption({ QStringLiteral("crop"),
        QStringLiteral("Use only this part of each frame: fractions of the picture as shown, origin top left."),
        QStringLiteral("X,Y,W,H") });
    parser.addOption({ QStringLiteral("auto-crop"),
        QStringLiteral("Find black bars (letterbox, pillarbox) over the whole film and leave them out.") });
    parser.addOption({ QStringLiteral("video-stream"),
        QStringLiteral("Use this stream of the file for the picture (default: the first video stream)."),
        QStringLiteral("N") });
    parser.addOption({ QStringLiteral("audio-stream"),
        QStringLiteral("Use this stream of the file for the sound (default: the main audio stream)."),
        QStringLiteral("N") });
    parser.addOption({ QStringLiteral("hwaccel"),
        QStringLiteral("Video decoding hardware: auto (VA-API where present), none, or a device type such as "
                       "vaapi, vdpau or cuda. Falls back to software when it cannot be used. Default: auto."),
        QStringLiteral("TYPE") });
    parser.addOption({ { QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral("Write the serialised VideoAnalysis record to FILE."), QStringLiteral("FILE") });

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        printError(positional.isEmpty()
                ? QStringLiteral("no video file given; run 'corvex author --help'")
                : QStringLiteral("one video file at a time; got %1 arguments").arg(positional.size()));
        return Usage;
    }
    Options options;
    options.video = positional.first();
    options.output = parser.value(QStringLiteral("output"));
    if (options.output.isEmpty()) {
        printError(QStringLiteral("no output file; give one with -o FILE"));
        return Usage;
    }
    options.autoCrop = parser.isSet(QStringLiteral("auto-crop"));
    if (parser.isSet(QStringLiteral("crop"))) {
        if (options.autoCrop) {
            printError(QStringLiteral("--crop and --auto-crop cannot be used together"));
            return Usage;
        }
        const Result<media::Rect> parsed = parseCrop(parser.value(QStringLiteral("crop")));
        options.crop = parsed.value;
        if (!parsed) {
            printError(parsed.error);
            return Usage;
        }
    }
    bool failed = false;
    options.reader.videoStream = streamOption(parser, QStringLiteral("video-stream"), failed);
    options.reader.audioStream = streamOption(parser, QStringLiteral("audio-stream"), failed);
    if (failed)
        return Usage;
    if (parser.isSet(QStringLiteral("hwaccel")))
        options.reader.hardware = parser.value(QStringLiteral("hwaccel")).toStdString();
    options.reader = capture::analysisReaderOptions(options.reader);
    if (const Result<void> writable
        = checkWritable(options.output, QStringLiteral("nothing was analysed"), { options.video });
        !writable) {
        printError(writable.error);
        return Failure;
    }

    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return author(options);
}

} // namespace corvex::cli
