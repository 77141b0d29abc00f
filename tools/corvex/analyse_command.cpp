// corvex analyse: runs still images through the capture's frame path (crop and
// scale to 5 × 5, sampling, live colour message), one image per frame. With
// --preview the messages also go to a light receiver, as during a recording.

#include "cli_support.h"
#include "commands.h"
#include "event_wait.h"

#include "sound_file.h"

#include "analysis/analysis_recorder.h"
#include "analysis/pixel_buffer_resize.h"
#include "preview_link/udp_manager.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QImage>
#include <QImageReader>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

namespace corvex::cli {

namespace {

static_assert(std::endian::native == std::endian::little,
    "QImage::Format_ARGB32 is BGRA in memory only on little-endian machines");

constexpr int kRasterSize = 5;
constexpr std::uint32_t kAudioBufferFrames = 1024;
constexpr std::chrono::milliseconds kPreviewWait { 5000 };

std::shared_ptr<media::PixelBuffer> wrapImage(const QImage& image)
{
    auto holder = std::make_shared<QImage>(image.convertToFormat(QImage::Format_ARGB32));
    std::shared_ptr<std::uint8_t> pixels(holder, holder->bits());
    return media::PixelBuffer::wrap(holder->width(), holder->height(), static_cast<std::size_t>(holder->bytesPerLine()),
        media::PixelFormat::BGRA, std::move(pixels));
}

/// Waits until discovery has found the receiver called `name` and selects it.
bool selectReceiver(preview_link::UDPManager& manager, const QString& name)
{
    std::optional<preview_link::DiscoveredService> found;
    const auto lookUp = [&] {
        for (const preview_link::DiscoveredService& service : manager.udpClient().discoveredServices()) {
            if (service.name == name)
                found = service;
        }
        return found.has_value();
    };
    if (!waitUntil(lookUp, kPreviewWait)) {
        printError(QStringLiteral("no light receiver named \"%1\" was found on the local network within %2 s; run "
                                  "'corvex discover' to list the receivers found, or start one with 'corvex receive "
                                  "--name %1'")
                       .arg(name)
                       .arg(kPreviewWait.count() / 1000));
        return false;
    }
    manager.setSelectedService(found);
    return true;
}

} // namespace

int runAnalyse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Treats the images as consecutive captured frames, frame k at k / FPS seconds. Each frame is cropped, "
        "scaled to 5 x 5 and sampled exactly as during a recording, and its live colour message is printed as "
        "one JSON line. With -o the whole light-show record is written too."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("fps"), QStringLiteral("Frames per second (default 30)."), QStringLiteral("N"),
        QStringLiteral("30") });
    parser.addOption({ QStringLiteral("crop"),
        QStringLiteral("Use only this part of each frame: fractions of the frame, origin top left."),
        QStringLiteral("X,Y,W,H") });
    parser.addOption({ { QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral("Write the serialised VideoAnalysis record to FILE."), QStringLiteral("FILE") });
    parser.addOption({ QStringLiteral("preview"),
        QStringLiteral("Also send each frame's message to the light receiver NAME (see 'corvex discover'), paced at "
                       "the frame rate, as during a recording."),
        QStringLiteral("NAME") });
    parser.addOption({ QStringLiteral("audio"),
        QStringLiteral("Also feed this sound file (WAV, AIFF, FLAC, ...) through the recorder's audio path, in buffers "
                       "of 1024 frames starting at 0 s, so that the record carries the soundtrack's signature."),
        QStringLiteral("FILE") });
    parser.addPositionalArgument(
        QStringLiteral("IMAGE"), QStringLiteral("PNG, JPEG or PPM images, in order."), QStringLiteral("IMAGE..."));

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;

    bool ok = false;
    const double fps = parser.value(QStringLiteral("fps")).toDouble(&ok);
    if (!ok || !std::isfinite(fps) || fps <= 0 || fps > 1000) {
        printError(QStringLiteral("--fps takes a number of frames per second above 0 and at most 1000; got '%1'")
                       .arg(parser.value(QStringLiteral("fps"))));
        return Usage;
    }
    std::optional<media::Rect> crop;
    if (parser.isSet(QStringLiteral("crop"))) {
        const Result<media::Rect> parsed = parseCrop(parser.value(QStringLiteral("crop")));
        crop = parsed.value;
        if (!parsed) {
            printError(parsed.error);
            return Usage;
        }
    }
    const QStringList images = parser.positionalArguments();
    if (images.isEmpty()) {
        printError(QStringLiteral("no images given; run 'corvex analyse --help'"));
        return Usage;
    }
    if (parser.isSet(QStringLiteral("output"))) {
        if (const Result<void> writable
            = checkWritable(parser.value(QStringLiteral("output")), QStringLiteral("nothing was analysed"), images);
            !writable) {
            printError(writable.error);
            return Failure;
        }
    }

    const QString previewName = parser.value(QStringLiteral("preview"));
    if (parser.isSet(QStringLiteral("preview")) && previewName.isEmpty()) {
        printError(QStringLiteral("--preview takes the name of a light receiver; run 'corvex discover' to list them"));
        return Usage;
    }
    // The preview link (and its search for receivers) only when one is asked for.
    preview_link::UDPManager* const previewLink = previewName.isEmpty() ? nullptr : &preview_link::UDPManager::shared();
    if (previewLink && !selectReceiver(*previewLink, previewName))
        return Failure;
    QElapsedTimer clock;
    clock.start();

    // The tool's own recorder, sending through the preview link only with --preview; its messages are printed.
    analysis::AnalysisRecorder recorder;
    recorder.setLiveMessageObserver([previewLink](const QByteArray& message) {
        printOut(QString::fromUtf8(message));
        if (previewLink)
            previewLink->sendToSelectedService(message);
    });
    recorder.start();

    // Frames and sound go to the recorder in time order, as capture would deliver them.
    qsizetype nextFrame = 0;
    QString failure;
    auto frameTime = [&](qsizetype k) {
        return media::MediaTime::fromNanoseconds(std::llround(static_cast<double>(k) * 1e9 / fps));
    };
    auto appendFramesUntil = [&](double seconds) {
        for (; failure.isEmpty() && nextFrame < images.size() && frameTime(nextFrame).seconds() <= seconds;
             ++nextFrame) {
            const QString& path = images.at(nextFrame);
            QImageReader reader(path);
            const QImage image = reader.read();
            if (image.isNull()) {
                failure = QStringLiteral("cannot read image %1: %2").arg(path, reader.errorString());
                if (reader.error() == QImageReader::UnsupportedFormatError)
                    failure += QStringLiteral("; to make a light show from a video file, use 'corvex author FILE'");
                return;
            }
            const std::shared_ptr<media::PixelBuffer> frame = wrapImage(image);
            if (!frame) {
                failure = QStringLiteral("image %1 is too large to be a frame (%2 x %3)")
                              .arg(path)
                              .arg(image.width())
                              .arg(image.height());
                return;
            }
            const std::shared_ptr<media::PixelBuffer> raster
                = analysis::resizePixelBuffer(*frame, kRasterSize, kRasterSize, crop);
            if (!raster) {
                failure = QStringLiteral("the crop leaves nothing of image %1 (%2 x %3)")
                              .arg(path)
                              .arg(image.width())
                              .arg(image.height());
                return;
            }
            if (previewLink) {
                // Frame k goes out k / FPS seconds after the first, like a live capture.
                const auto due = std::chrono::nanoseconds(frameTime(nextFrame).value - clock.nsecsElapsed());
                if (due.count() > 0)
                    runEventsFor(std::chrono::ceil<std::chrono::milliseconds>(due));
            }
            recorder.appendVideoFrame(*raster, frameTime(nextFrame));
        }
    };

    if (parser.isSet(QStringLiteral("audio"))) {
        const Result<void> read = readSoundFile(parser.value(QStringLiteral("audio")), kAudioBufferFrames,
            [&](const media::PcmBuffer& buffer, std::uint64_t firstFrame) {
                const auto rate = static_cast<std::int32_t>(buffer.format().sampleRate);
                const auto time = media::MediaTime::make(static_cast<std::int64_t>(firstFrame), rate);
                appendFramesUntil(time.seconds());
                if (failure.isEmpty())
                    recorder.appendAudioBuffer(buffer, time);
            });
        if (!read) {
            printError(read.error);
            return Failure;
        }
    }
    appendFramesUntil(std::numeric_limits<double>::infinity());
    if (!failure.isEmpty()) {
        printError(failure);
        return Failure;
    }
    if (previewLink) {
        // The first message waits for the receiver's address; make sure the last one went out.
        preview_link::UDPClient& client = previewLink->udpClient();
        if (!waitUntil([&] { return !client.hasPendingData(previewName); }, kPreviewWait)) {
            printError(QStringLiteral("the light receiver \"%1\" could not be reached: its address was not "
                                      "resolved within %2 s; check that it still runs ('corvex discover')")
                           .arg(previewName)
                           .arg(kPreviewWait.count() / 1000));
            return Failure;
        }
        runEventsFor(std::chrono::milliseconds(50)); // lets a refusal by the receiver be reported
    }
    const std::optional<QByteArray> bytes = recorder.stop();

    if (parser.isSet(QStringLiteral("output"))) {
        if (!bytes) {
            printError(QStringLiteral("the record could not be encoded"));
            return Failure;
        }
        if (const Result<void> written = writeFile(parser.value(QStringLiteral("output")), *bytes); !written) {
            printError(written.error);
            return Failure;
        }
    }
    return Success;
}

} // namespace corvex::cli
