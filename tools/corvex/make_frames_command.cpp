// corvex make-frames: writes a few frames of moving colour, so that the other
// commands can be tried without a recording.

#include "cli_support.h"
#include "commands.h"

#include <QColor>
#include <QCommandLineParser>
#include <QDir>
#include <QImage>

namespace corvex::cli {

namespace {

// Each third of the frame, on both axes, gets its own hue; the hues turn as
// the frames go on, and the frame darkens and brightens once per 30 frames.
QImage makeFrame(int width, int height, int index)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const int row = std::min(2, 3 * y / height);
        for (int x = 0; x < width; ++x) {
            const int column = std::min(2, 3 * x / width);
            const int hue = (40 * (row * 3 + column) + 12 * index) % 360;
            const int value = 120 + (index % 30) * 4;
            line[x] = QColor::fromHsv(hue, 220, value).rgb();
        }
    }
    return image;
}

} // namespace

int runMakeFrames(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes COUNT PNG frames named frame-0000.png, frame-0001.png, ... into DIRECTORY (created if needed): "
        "a 3 x 3 grid of colours that change from frame to frame."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("count"), QStringLiteral("How many frames (default 30)."), QStringLiteral("N"),
        QStringLiteral("30") });
    parser.addOption({ QStringLiteral("size"), QStringLiteral("Frame size (default 320x180)."), QStringLiteral("WxH"),
        QStringLiteral("320x180") });
    parser.addPositionalArgument(QStringLiteral("DIRECTORY"), QStringLiteral("Where to write the frames."));

    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    bool ok = false;
    const int count = parser.value(QStringLiteral("count")).toInt(&ok);
    if (!ok || count < 1 || count > 100000) {
        printError(QStringLiteral("--count takes a whole number from 1 to 100000"));
        return Usage;
    }
    const QStringList size = parser.value(QStringLiteral("size")).split(QLatin1Char('x'));
    bool okWidth = false;
    bool okHeight = false;
    const int width = size.size() == 2 ? size.at(0).toInt(&okWidth) : 0;
    const int height = size.size() == 2 ? size.at(1).toInt(&okHeight) : 0;
    if (!okWidth || !okHeight || width < 1 || height < 1 || width > 8192 || height > 8192) {
        printError(QStringLiteral("--size takes WIDTHxHEIGHT, each from 1 to 8192"));
        return Usage;
    }
    if (parser.positionalArguments().size() != 1) {
        printError(QStringLiteral("make-frames takes one directory; run 'corvex make-frames --help'"));
        return Usage;
    }
    const QDir directory(parser.positionalArguments().first());
    if (!directory.mkpath(QStringLiteral("."))) {
        printError(QStringLiteral("cannot create directory %1").arg(directory.path()));
        return Failure;
    }
    for (int k = 0; k < count; ++k) {
        const QString path = directory.filePath(QStringLiteral("frame-%1.png").arg(k, 4, 10, QLatin1Char('0')));
        if (!makeFrame(width, height, k).save(path, "PNG")) {
            printError(QStringLiteral("cannot write %1").arg(path));
            return Failure;
        }
    }
    return Success;
}

} // namespace corvex::cli
