// corvex inspect: summarises a recorded light show and checks that it is one.

#include "cli_support.h"
#include "commands.h"

#include "analysis/video_analysis_record.h"

#include <QCommandLineParser>
#include <QImage>

#include <google/protobuf/util/json_util.h>

#include <array>

namespace corvex::cli {

namespace {

QString averageColour(const VideoAnalysis::Channel& channel)
{
    const int frames = channel.r_size();
    if (frames == 0)
        return QStringLiteral("   -   ");
    std::array<std::uint64_t, 3> sums {};
    for (int k = 0; k < frames; ++k) {
        sums[0] += channel.r(k);
        sums[1] += channel.g(k);
        sums[2] += channel.b(k);
    }
    const auto mean = [frames](std::uint64_t sum) {
        return static_cast<uint>((sum + static_cast<std::uint64_t>(frames) / 2) / static_cast<std::uint64_t>(frames));
    };
    return QStringLiteral("#%1%2%3")
        .arg(mean(sums[0]), 2, 16, QLatin1Char('0'))
        .arg(mean(sums[1]), 2, 16, QLatin1Char('0'))
        .arg(mean(sums[2]), 2, 16, QLatin1Char('0'));
}

void printSummary(const VideoAnalysis& record, const QString& path)
{
    const int frames = record.timestamps_size();
    const double duration = frames == 0 ? 0.0 : record.timestamps(frames - 1) / 100.0;
    printOut(QStringLiteral("file:           %1").arg(path));
    printOut(QStringLiteral("frames:         %1").arg(frames));
    printOut(QStringLiteral("duration:       %1 s (last time stamp)").arg(duration, 0, 'f', 2));
    if (frames > 1) {
        const double span = (record.timestamps(frames - 1) - record.timestamps(0)) / 100.0;
        if (span > 0)
            printOut(QStringLiteral("frame rate:     %1 frames/s").arg((frames - 1) / span, 0, 'f', 2));
    }
    printOut(QStringLiteral("signature:      %1 bytes").arg(record.signature().size()));
    const auto unknown = record.GetReflection()->GetUnknownFields(record).field_count();
    if (unknown > 0)
        printOut(QStringLiteral("unknown fields: %1 (kept)").arg(unknown));
    printOut(QStringLiteral("average colour of each channel, as on the grid (top row first):"));
    // The record is valid here, so each grid position has exactly one channel.
    std::array<QString, 9> cells;
    for (const VideoAnalysis::Channel& channel : record.channels())
        cells[channel.y() * 3 + channel.x()] = averageColour(channel);
    for (int row = 0; row < 3; ++row)
        printOut(QStringLiteral("  %1  %2  %3").arg(cells[row * 3], cells[row * 3 + 1], cells[row * 3 + 2]));
}

constexpr int kBandHeight = 8;

QImage drawTimeline(const VideoAnalysis& record)
{
    const int frames = record.timestamps_size();
    QImage image(frames, kBandHeight * record.channels_size(), QImage::Format_RGB32);
    if (image.isNull())
        return image;
    for (int c = 0; c < record.channels_size(); ++c) {
        const VideoAnalysis::Channel& channel = record.channels(c);
        for (int y = c * kBandHeight; y < (c + 1) * kBandHeight; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int k = 0; k < frames; ++k)
                line[k] = qRgb(
                    static_cast<int>(channel.r(k)), static_cast<int>(channel.g(k)), static_cast<int>(channel.b(k)));
        }
    }
    return image;
}

} // namespace

int runInspect(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads a light-show record (a serialised VideoAnalysis), checks it (nine channels at their grid positions, "
        "one value per channel and colour for every time stamp, colours within 0..255, time stamps never "
        "decreasing) and prints a summary. Exits with status 1 and a one-line reason when the file is not a "
        "valid light show."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("json"),
        QStringLiteral("Print the record's Protocol Buffers JSON form instead of the summary.") });
    parser.addOption({ QStringLiteral("png"),
        QStringLiteral("Draw the colour timeline to FILE: one band per channel, in list order, one column per frame."),
        QStringLiteral("FILE") });
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The light-show record (.pb)."));

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        printError(QStringLiteral("inspect takes exactly one file; run 'corvex inspect --help'"));
        return Usage;
    }
    const QString& path = files.first();

    const Result<VideoAnalysis> read = readRecord(path);
    if (!read) {
        printError(read.error);
        return Failure;
    }
    const VideoAnalysis& record = *read.value;
    if (const auto problem = analysis::findInvariantViolation(record)) {
        printError(QStringLiteral("%1 is not a valid light show: %2").arg(path, QString::fromStdString(*problem)));
        return Failure;
    }

    if (parser.isSet(QStringLiteral("json"))) {
        google::protobuf::util::JsonPrintOptions options;
        options.preserve_proto_field_names = true;
        std::string json;
        if (!google::protobuf::util::MessageToJsonString(record, &json, options).ok()) {
            printError(QStringLiteral("%1 could not be written as JSON").arg(path));
            return Failure;
        }
        printOut(QString::fromStdString(json));
    } else {
        printSummary(record, path);
    }

    if (parser.isSet(QStringLiteral("png"))) {
        const QString out = parser.value(QStringLiteral("png"));
        if (record.timestamps_size() == 0) {
            printError(QStringLiteral("%1 has no frames: there is no timeline to draw").arg(path));
            return Failure;
        }
        const QImage image = drawTimeline(record);
        if (image.isNull() || !image.save(out, "PNG")) {
            printError(QStringLiteral("cannot write the timeline to %1").arg(out));
            return Failure;
        }
    }
    return Success;
}

} // namespace corvex::cli
