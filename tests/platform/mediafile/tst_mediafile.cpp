// The video-file reader, on films made here with the ffmpeg command.

#include "analysis/pixel_buffer_resize.h"
#include "platform/mediafile/media_file_reader.h"
#include "platform/mediafile/plane_average.h"
#include "platform/mediafile/sound_blocks.h"

#include "support/test_films.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <random>

using namespace corvex;
using mediafile::MediaFileReader;
using mediafile::OpenError;

Q_DECLARE_METATYPE(mediafile::OpenError)

namespace {

using Cells = std::array<int, 75>; // 5 × 5 pixels, BGR each

struct Decoded {
    std::vector<double> frameTimes;
    std::vector<Cells> cells;
    std::vector<std::pair<int, int>> frameSizes;
    std::vector<double> soundTimes;
    std::vector<std::size_t> soundLengths;
    double sampleRate = 0;
    std::size_t channels = 0;
    bool failed = false;
};

Cells cellsOf(media::PixelBuffer& frame, const std::optional<media::Rect>& crop)
{
    const std::shared_ptr<media::PixelBuffer> small = analysis::resizePixelBuffer(frame, 5, 5, crop);
    Cells cells {};
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                cells[std::size_t((y * 5 + x) * 3 + c)]
                    = small->baseAddress()[std::size_t(y) * small->bytesPerRow() + std::size_t(x) * 4 + std::size_t(c)];
    return cells;
}

Decoded readAll(MediaFileReader& reader, const std::optional<media::Rect>& crop = std::nullopt)
{
    Decoded decoded;
    for (;;) {
        mediafile::ReaderItem item = reader.next();
        if (auto* frame = std::get_if<mediafile::VideoFrame>(&item)) {
            decoded.frameTimes.push_back(frame->time.seconds());
            decoded.frameSizes.emplace_back(frame->image->width(), frame->image->height());
            decoded.cells.push_back(cellsOf(*frame->image, crop));
        } else if (auto* block = std::get_if<mediafile::AudioBlock>(&item)) {
            decoded.soundTimes.push_back(block->time.seconds());
            decoded.soundLengths.push_back(block->channels.front().size());
            decoded.sampleRate = block->sampleRate;
            decoded.channels = block->channels.size();
        } else {
            decoded.failed = std::holds_alternative<mediafile::ReadFailure>(item);
            return decoded;
        }
    }
}

int largestDifference(const Decoded& a, const Decoded& b)
{
    int largest = 0;
    for (std::size_t i = 0; i < std::min(a.cells.size(), b.cells.size()); ++i)
        for (std::size_t k = 0; k < a.cells[i].size(); ++k)
            largest = std::max(largest, std::abs(a.cells[i][k] - b.cells[i][k]));
    return largest;
}

// Reads `file`, lets `change` edit its bytes and writes them back.
bool rewrite(const QString& file, const std::function<void(QByteArray&)>& change)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = f.readAll();
    f.close();
    change(bytes);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

class TestMediaFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void refusesWhatItCannotRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("videoStream");
        QTest::addColumn<int>("audioStream");
        QTest::addColumn<OpenError>("expected");
        QTest::addColumn<QString>("inMessage");
        QTest::newRow("missing file") << "missing" << -1 << -1 << OpenError::Missing << "No such file";
        QTest::newRow("zero-length file") << "empty" << -1 << -1 << OpenError::Empty << "empty";
        QTest::newRow("text, not a video") << "text" << -1 << -1 << OpenError::NotMedia << "not a video";
        // A song's cover picture is no film.
        QTest::newRow("sound with a cover picture") << "sound" << -1 << -1 << OpenError::NoVideo << "no video stream";
        QTest::newRow("codec nobody decodes")
            << "unknown codec" << -1 << -1 << OpenError::UnsupportedCodec << "cannot decode";
        QTest::newRow("absurd dimensions") << "absurd" << -1 << -1 << OpenError::AbsurdSize << "99999 x 16";
        QTest::newRow("video stream that is sound") << "film" << 1 << -1 << OpenError::NoSuchStream << "not video";
        QTest::newRow("audio stream that is video") << "film" << -1 << 0 << OpenError::NoSuchStream << "not audio";
        QTest::newRow("stream beyond the last") << "film" << 7 << -1 << OpenError::NoSuchStream << "no stream 7";
    }

    void refusesWhatItCannotRead()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, kind);
        QFETCH(int, videoStream);
        QFETCH(int, audioStream);
        QFETCH(OpenError, expected);
        QFETCH(QString, inMessage);

        QString file = path(kind + QStringLiteral(".bin"));
        if (kind == QLatin1StringView("empty")) {
            QFile empty(file);
            QVERIFY(empty.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1StringView("text")) {
            QFile text(file);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write(QByteArray("These are the notes for the film, not the film.\n").repeated(200));
        } else if (kind == QLatin1StringView("sound")) {
            file = path(QStringLiteral("sound.m4a"));
            MAKE_FILM({ "-f", "lavfi", "-i", "sine=f=440:d=1", "-f", "lavfi", "-i", "color=red:s=64x64:d=0.04", "-c:a",
                "aac", "-c:v", "png", "-disposition:v", "attached_pic", file });
        } else if (kind == QLatin1StringView("unknown codec")) {
            file = path(QStringLiteral("unknown.mkv"));
            MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=160x90:r=25:d=1", "-c:v", "libx264", file });
            QVERIFY(rewrite(file, [](QByteArray& bytes) { bytes.replace("V_MPEG4/ISO/AVC", "V_QQQQQ/ISO/AVC"); }));
        } else if (kind == QLatin1StringView("absurd")) {
            file = path(QStringLiteral("absurd.y4m"));
            MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=64x16:r=25:d=1", "-pix_fmt", "yuv420p", file });
            QVERIFY(rewrite(file, [](QByteArray& bytes) { bytes.replace("W64 H16", "W99999 H16"); }));
        } else if (kind == QLatin1StringView("film")) {
            file = path(QStringLiteral("film.mkv"));
            MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=160x90:r=25:d=1", "-f", "lavfi", "-i", "sine=d=1", "-c:v",
                "libx264", "-c:a", "aac", file });
        }

        mediafile::ReaderOptions options;
        if (videoStream >= 0)
            options.videoStream = videoStream;
        if (audioStream >= 0)
            options.audioStream = audioStream;
        const mediafile::OpenResult opened = MediaFileReader::open(file.toStdString(), options);
        QVERIFY(!opened);
        QCOMPARE(opened.error.kind, expected);
        QVERIFY2(QString::fromStdString(opened.error.message).contains(inMessage), opened.error.message.c_str());
        QVERIFY2(opened.error.message.find('\n') == std::string::npos, "the reason is one line");
    }

    // Times are seconds from the start of the file (its streams' earliest), each frame at the
    // time ffprobe gives it, however irregular the spacing.
    void timeLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<double>("firstFrameAtLeast");
        QTest::addColumn<double>("soundHole"); // seconds missing from the sound after its first second

        QTest::newRow("starts at zero") << QStringList { "-f", "lavfi", "-i", "testsrc2=s=160x90:r=25:d=2", "-f",
            "lavfi", "-i", "sine=d=2", "-c:v", "libx264", "-bf", "2", "-c:a", "flac", "FILE.mkv" }
                                        << 0.0 << 0.0;
        QTest::newRow("transport stream starting at 10 s") << QStringList { "-f", "lavfi", "-i",
            "testsrc2=s=160x90:r=25:d=2", "-f", "lavfi", "-i", "sine=d=2", "-c:v", "libx264", "-c:a", "mp2",
            "-output_ts_offset", "10", "FILE.ts" } << 0.0 << 0.0;
        QTest::newRow("picture half a second after the sound") << QStringList { "-itsoffset", "0.5", "-f", "lavfi",
            "-i", "testsrc2=s=160x90:r=25:d=2", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264", "-c:a", "flac",
            "FILE.mkv" } << 0.45 << 0.0;
        // Blocks of sound are joined only where they follow on from each other.
        QTest::newRow("sound with a hole") << QStringList { "-f", "lavfi", "-i", "testsrc2=s=160x90:r=1:d=3", "-f",
            "lavfi", "-i", "sine=d=2", "-af", "asetpts=PTS+gte(T\\,1.4)*0.3/TB", "-c:v", "libx264", "-c:a", "pcm_s16le",
            "FILE.mkv" } << 0.0 << 0.3;
        QTest::newRow("variable frame rate") << QStringList { "-f", "lavfi", "-i", "testsrc2=s=160x90:r=25:d=2", "-vf",
            "setpts=(N*0.04+gte(N\\,20)*0.5+gte(N\\,30)*N*0.01)/TB", "-vsync", "vfr", "-c:v", "libx264", "FILE.mkv" }
                                             << 0.0 << 0.0;
    }

    void timeLine()
    {
        REQUIRE_FFMPEG();
        QFETCH(QStringList, arguments);
        QFETCH(double, firstFrameAtLeast);
        QFETCH(double, soundHole);
        const QString file = path(QStringLiteral("timeline-%1%2")
                                      .arg(QTest::currentDataTag())
                                      .arg(arguments.last().mid(arguments.last().lastIndexOf('.'))))
                                 .replace(QLatin1Char(' '), QLatin1Char('-'));
        arguments.last() = file;
        MAKE_FILM(arguments);
        const test::Probe probed = test::probe(file, QStringLiteral("v:0"));
        QVERIFY2(probed.error.isEmpty(), qPrintable(probed.error));

        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString());
        QVERIFY2(opened, opened.error.message.c_str());
        const Decoded decoded = readAll(**opened.value);
        QVERIFY(!decoded.failed);
        QCOMPARE(decoded.frameTimes.size(), probed.frameTimes.size());
        for (std::size_t i = 0; i < decoded.frameTimes.size(); ++i)
            QVERIFY2(std::abs(decoded.frameTimes[i] - (probed.frameTimes[i] - probed.start)) < 0.001,
                qPrintable(QStringLiteral("frame %1 at %2 s, ffprobe says %3 s after the start")
                               .arg(i)
                               .arg(decoded.frameTimes[i])
                               .arg(probed.frameTimes[i] - probed.start)));
        QVERIFY2(
            decoded.frameTimes.front() >= firstFrameAtLeast, qPrintable(QString::number(decoded.frameTimes.front())));
        // The earliest buffer of either kind is at the start of the file.
        const double earliest = std::min(decoded.frameTimes.front(),
            decoded.soundTimes.empty() ? decoded.frameTimes.front() : decoded.soundTimes.front());
        QVERIFY2(std::abs(earliest) < 0.05, qPrintable(QString::number(earliest)));
        // Sound arrives in presentation order without gaps but the file's own.
        double holes = 0;
        for (std::size_t i = 1; i < decoded.soundTimes.size(); ++i) {
            const double expected
                = decoded.soundTimes[i - 1] + double(decoded.soundLengths[i - 1]) / decoded.sampleRate;
            const double hole = decoded.soundTimes[i] - expected;
            holes += hole > 0.001 ? hole : 0;
            QVERIFY2(hole > -0.001 && (hole < 0.001 || std::abs(hole - soundHole) < 0.001),
                qPrintable(QStringLiteral("sound block %1 at %2 s, expected %3 s")
                               .arg(i)
                               .arg(decoded.soundTimes[i])
                               .arg(expected)));
        }
        QVERIFY2(std::abs(holes - soundHole) < 0.001, qPrintable(QString::number(holes)));
    }

    // Pixels that are not square are handed out as the picture is shown.
    void framesAreShapedAsShown_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("maxWidth");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("square pixels, full size") << "null" << 0 << 640 << 360;
        QTest::newRow("square pixels, reduced") << "null" << 320 << 320 << 180;
        QTest::newRow("anamorphic 4:3 pixels widened") << "scale=480:360,setsar=4/3" << 0 << 640 << 360;
        QTest::newRow("anamorphic, reduced") << "scale=480:360,setsar=4/3" << 320 << 320 << 180;
        QTest::newRow("tall pixels made taller") << "scale=640:270,setsar=3/4" << 0 << 640 << 360;
    }

    void framesAreShapedAsShown()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, filter);
        QFETCH(int, maxWidth);
        QFETCH(int, width);
        QFETCH(int, height);
        const QString square = path(QStringLiteral("square.mkv"));
        if (!QFile::exists(square))
            MAKE_FILM({ "-f", "lavfi", "-i",
                test::colourCycle(1, 640, 360) + QStringLiteral(",drawbox=x=0:y=0:w=160:h=360:c=blue:t=fill"), "-c:v",
                "libx264", "-crf", "12", square });
        const QString file = path(QStringLiteral("shape-%1.mkv").arg(QTest::currentDataTag()).replace(' ', '-'));
        MAKE_FILM({ "-i", square, "-vf", filter, "-c:v", "libx264", "-crf", "12", file });

        mediafile::ReaderOptions options;
        options.maxWidth = maxWidth;
        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString(), options);
        QVERIFY2(opened, opened.error.message.c_str());
        QCOMPARE((*opened.value)->info().displayWidth, 640);
        QCOMPARE((*opened.value)->info().displayHeight, 360);
        const Decoded decoded = readAll(**opened.value, media::Rect { 0, 0, 0.25, 1 });
        QVERIFY(!decoded.frameSizes.empty());
        QCOMPARE(decoded.frameSizes.front(), std::pair(width, height));
        // The left quarter as shown is the blue box, whatever the pixels' shape.
        const Cells& cells = decoded.cells.front();
        QVERIFY2(cells[0] > 200 && cells[1] < 40 && cells[2] < 40, qPrintable(QString::number(cells[0])));
        QVERIFY2(cells[72] > 200, qPrintable(QString::number(cells[72])));
    }

    // Colours are read as the film says they are coded; one that does not say is read as players read it: the
    // matrix by its height, the range as limited.
    void coloursAreReadAsCoded_data()
    {
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("matrix"); // the film is coded with it, and says nothing of it
        QTest::addColumn<QString>("range"); // coded in, and said with the SD matrix when not empty
        QTest::newRow("untagged, 718 lines: SD") << 718 << "bt601"
                                                 << "";
        QTest::newRow("untagged, 720 lines: HD") << 720 << "bt709"
                                                 << "";
        QTest::newRow("limited range, said") << 360 << "bt601"
                                             << "tv";
        QTest::newRow("full range, said") << 360 << "bt601"
                                          << "pc";
    }

    void coloursAreReadAsCoded()
    {
        REQUIRE_FFMPEG();
        QFETCH(int, height);
        QFETCH(QString, matrix);
        QFETCH(QString, range);
        const QString file = path(QStringLiteral("coded-%1.mp4").arg(QTest::currentDataTag()).replace(' ', '-'));
        const bool full = range == QLatin1StringView("pc");
        QStringList arguments { "-f", "lavfi", "-i", QStringLiteral("color=c=0xC83232:s=1280x%1:d=0.2").arg(height),
            "-vf",
            QStringLiteral("scale=out_color_matrix=%1:out_range=%2,format=%3")
                .arg(matrix, full ? "pc" : "tv", full ? "yuvj420p" : "yuv420p") };
        if (!range.isEmpty())
            arguments += { "-color_range", range, "-colorspace", "smpte170m" }; // (the range alone is not written)
        MAKE_FILM(arguments + QStringList { "-c:v", "libx264", "-crf", "10", file });
        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString(), {});
        QVERIFY2(opened, opened.error.message.c_str());
        const Decoded decoded = readAll(**opened.value);
        QVERIFY(!decoded.cells.empty());
        const Cells& cells = decoded.cells.front();
        const int bgr[] = { 0x32, 0x32, 0xC8 };
        for (std::size_t k = 0; k < cells.size(); ++k) // a wrong matrix or range moves a channel by 13 or more
            QVERIFY2(std::abs(cells[k] - bgr[k % 3]) <= 4, qPrintable(QStringLiteral("%1 at %2").arg(cells[k]).arg(k)));
    }

    // Skipping the loop filter and averaging down in the planes move no 5 × 5 cell by more than 2.
    void fastPathsKeepTheCells_data()
    {
        QTest::addColumn<QString>("film");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<int>("maxWidth");
        QTest::addColumn<bool>("box");
        QTest::addColumn<QString>("crop");
        QTest::newRow("loop filter skipped") << "busy" << true << 0 << false << "";
        // (Skipping it on more frames than the unreferenced ones moves cells by 3 to 37 on these.)
        QTest::newRow("loop filter skipped, noise") << "noise" << true << 0 << false << "";
        QTest::newRow("loop filter skipped, life") << "life" << true << 0 << false << "";
        QTest::newRow("loop filter skipped, gradients") << "gradients" << true << 0 << false << "";
        QTest::newRow("loop filter skipped, fractal") << "fractal" << true << 0 << false << "";
        QTest::newRow("scaled to 320 by the scaler") << "busy" << false << 320 << false << "";
        QTest::newRow("block-averaged to 320") << "busy" << false << 320 << true << "";
        QTest::newRow("block-averaged to 320, noise") << "noise" << false << 320 << true << "";
        QTest::newRow("all of it") << "busy" << true << 320 << true << "";
        QTest::newRow("all of it, cropped") << "busy" << true << 320 << true << "0.1,0.2,0.55,0.6";
        QTest::newRow("all of it, odd size") << "odd" << true << 320 << true << "";
        QTest::newRow("all of it, full range") << "full range" << true << 320 << true << "";
        QTest::newRow("all of it, HD colours") << "HD" << true << 320 << true << "";
        QTest::newRow("loop filter skipped, HD grain") << "HD grain" << true << 0 << false << "";
    }

    void fastPathsKeepTheCells()
    {
        REQUIRE_FFMPEG();
        QFETCH(bool, fast);
        QFETCH(int, maxWidth);
        QFETCH(bool, box);
        QFETCH(QString, crop);
        QFETCH(QString, film);
        // Coarsely coded pictures, where the loop filter works hardest.
        const std::map<QString, QStringList> sources {
            { "busy",
                { "-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=2", "-f", "lavfi", "-i", "mandelbrot=s=640x360:r=30",
                    "-filter_complex", "[0][1]blend=all_mode=average,trim=duration=2", "-crf", "34" } },
            { "noise",
                { "-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=2", "-vf", "noise=alls=40:allf=t", "-crf", "32" } },
            { "life",
                { "-f", "lavfi", "-i",
                    "life=s=640x360:r=30:mold=10:ratio=0.5:death_color=#C83232:life_color=#00ff00,trim=duration=2",
                    "-crf", "30" } },
            { "gradients",
                { "-f", "lavfi", "-i", "gradients=s=640x360:r=30:speed=0.05:d=2", "-vf", "noise=alls=10:allf=t", "-crf",
                    "35" } },
            { "fractal", { "-f", "lavfi", "-i", "mandelbrot=s=640x360:r=30,trim=duration=2", "-crf", "36" } },
            { "full range",
                { "-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=1", "-vf", "noise=alls=20:allf=t,format=yuvj420p",
                    "-color_range", "pc", "-crf", "30" } },
            // 720 lines and more: BT.709 colours. With grain, any averaging before the colour conversion
            // moves cells by 3 or 4 (the conversion clips each grain pixel): only the loop filter is skipped.
            { "HD", { "-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30:d=1", "-crf", "30" } },
            { "HD grain",
                { "-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30:d=1", "-vf", "noise=alls=20:allf=t", "-crf", "30" } },
            // Neither side a multiple of the blocks, nor even.
            { "odd", { "-f", "lavfi", "-i", "testsrc2=s=653x367:r=30:d=1", "-pix_fmt", "yuv420p", "-crf", "30" } },
        };
        const QString file = path(film + QStringLiteral(".mp4"));
        if (!QFile::exists(file))
            MAKE_FILM(sources.at(film) + QStringList { "-c:v", "libx264", file });
        std::optional<media::Rect> region;
        if (!crop.isEmpty()) {
            const QStringList parts = crop.split(',');
            region = media::Rect { parts[0].toDouble(), parts[1].toDouble(), parts[2].toDouble(), parts[3].toDouble() };
        }
        mediafile::ReaderOptions exact;
        exact.fastDecoding = false;
        exact.maxWidth = 0;
        exact.boxAverage = false;
        mediafile::ReaderOptions quick;
        quick.fastDecoding = fast;
        quick.maxWidth = maxWidth;
        quick.boxAverage = box;
        mediafile::OpenResult reference = MediaFileReader::open(file.toStdString(), exact);
        mediafile::OpenResult candidate = MediaFileReader::open(file.toStdString(), quick);
        QVERIFY(reference && candidate);
        const Decoded expected = readAll(**reference.value, region);
        const Decoded got = readAll(**candidate.value, region);
        QCOMPARE(got.cells.size(), expected.cells.size());
        const int difference = largestDifference(expected, got);
        qInfo("largest cell difference: %d", difference);
        QVERIFY2(difference <= 2, qPrintable(QStringLiteral("a cell moved by %1").arg(difference)));
    }

    // A plane averaged down by whole blocks, each mean rounded to the nearest level, for every
    // block size up to what the 16-bit sums allow, reading only the blocks' own samples.
    void blockAveragesAreExact_data()
    {
        QTest::addColumn<int>("factorX");
        QTest::addColumn<int>("factorY");
        QTest::addColumn<QString>("content");
        for (const QString& content : { QStringLiteral("noise"), QStringLiteral("white"), QStringLiteral("halves") })
            for (const auto& [fx, fy] :
                std::initializer_list<std::pair<int, int>> { { 1, 1 }, { 2, 2 }, { 3, 3 }, { 4, 4 }, { 6, 6 },
                    { 12, 12 }, { 5, 7 }, { 13, 2 }, { 9, 257 }, { 300, 257 }, { mediafile::kMaxBlockWidth, 257 } })
                QTest::addRow("%d x %d, %s", fx, fy, qPrintable(content)) << fx << fy << content;
    }

    void blockAveragesAreExact()
    {
        QFETCH(int, factorX);
        QFETCH(int, factorY);
        QFETCH(QString, content);
        // Three blocks across and two down, plus a ragged edge that is left out.
        const int width = std::min(factorX * 3 + 1, mediafile::kMaxBlockWidth + 1);
        const int height = factorY * 2 + 1;
        const int stride = width + 7;
        std::vector<std::uint8_t> plane(std::size_t(stride) * std::size_t(height), 200);
        std::mt19937 random(std::uint32_t(factorX * 1000 + factorY));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t& sample = plane[std::size_t(y) * std::size_t(stride) + std::size_t(x)];
                if (content == QLatin1String("white"))
                    sample = 255;
                else if (content == QLatin1String("halves")) // sums that end in exactly one half
                    sample = (x + y) % 2 == 0 ? 255 : 0;
                else
                    sample = std::uint8_t(random() & 0xff);
            }
        const int outWidth = width / factorX;
        const int outHeight = height / factorY;
        const int outStride = outWidth + 5;
        std::vector<std::uint8_t> out(std::size_t(outStride) * std::size_t(outHeight), 0x5a);
        std::vector<std::uint16_t> scratch;
        mediafile::boxAverage(plane.data(), stride, width, height, factorX, factorY, out.data(), outStride, scratch);
        for (int by = 0; by < outHeight; ++by)
            for (int bx = 0; bx < outWidth; ++bx) {
                std::uint64_t sum = 0;
                for (int y = by * factorY; y < (by + 1) * factorY; ++y)
                    for (int x = bx * factorX; x < (bx + 1) * factorX; ++x)
                        sum += plane[std::size_t(y) * std::size_t(stride) + std::size_t(x)];
                const std::uint64_t area = std::uint64_t(factorX) * std::uint64_t(factorY);
                const int expected = int((2 * sum + area) / (2 * area));
                const int got = out[std::size_t(by) * std::size_t(outStride) + std::size_t(bx)];
                QVERIFY2(got == expected,
                    qPrintable(QStringLiteral("block %1,%2: %3, not %4").arg(bx).arg(by).arg(got).arg(expected)));
            }
    }

    // Asking for missing acceleration ends in software decoding with a note, never in a failure.
    void hardwareFallsBackToSoftware_data()
    {
        QTest::addColumn<QString>("hardware");
        QTest::addColumn<bool>("noted");
        QTest::newRow("auto says nothing") << "auto" << false;
        QTest::newRow("VA-API asked for by name") << "vaapi" << true;
        QTest::newRow("unknown device type") << "warp-drive" << true;
        QTest::newRow("none") << "none" << false;
    }

    void hardwareFallsBackToSoftware()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, hardware);
        QFETCH(bool, noted);
        const QString file = path(QStringLiteral("plain.mp4"));
        if (!QFile::exists(file))
            MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=1", "-c:v", "libx264", file });
        mediafile::ReaderOptions options;
        options.hardware = hardware.toStdString();
        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString(), options);
        QVERIFY2(opened, opened.error.message.c_str());
        if (!(*opened.value)->info().hardware.empty())
            QSKIP("this machine has video decoding hardware");
        QCOMPARE(!(*opened.value)->info().hardwareNote.empty(), noted);
        if (noted)
            QVERIFY(QString::fromStdString((*opened.value)->info().hardwareNote).contains("software"));
        QCOMPARE(readAll(**opened.value).frameTimes.size(), std::size_t(25));
    }

    // After a seek nothing decoded ahead for the old position comes out; a reader stopped or
    // dropped with its queue full does not hang.
    void decodingAheadFollowsSeeksAndStops_data()
    {
        QTest::addColumn<int>("readFirst"); // items read before the seek
        QTest::addColumn<double>("target");
        QTest::newRow("seek before reading") << 0 << 6.5;
        QTest::newRow("seek forward with the queue full") << 40 << 6.5;
        QTest::newRow("seek backward") << 200 << 2.5;
        QTest::newRow("seek to the start") << 120 << 0.0;
    }

    void decodingAheadFollowsSeeksAndStops()
    {
        REQUIRE_FFMPEG();
        QFETCH(int, readFirst);
        QFETCH(double, target);
        // A key frame every second.
        const QString file = path(QStringLiteral("seekable.mp4"));
        if (!QFile::exists(file))
            MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=8", "-f", "lavfi", "-i", "sine=d=8", "-c:v",
                "libx264", "-g", "25", "-c:a", "aac", file });
        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString());
        QVERIFY2(opened, opened.error.message.c_str());
        MediaFileReader& reader = **opened.value;
        for (int i = 0; i < readFirst; ++i)
            QVERIFY(!std::holds_alternative<mediafile::EndOfFile>(reader.next()));
        QVERIFY(reader.seek(target));
        const Decoded after = readAll(reader);
        QVERIFY(!after.failed);
        QVERIFY(!after.frameTimes.empty());
        // From the key frame at or before the target, in order, to the end.
        QVERIFY2(after.frameTimes.front() <= target + 0.001 && after.frameTimes.front() > target - 1.001,
            qPrintable(QString::number(after.frameTimes.front())));
        QVERIFY(std::is_sorted(after.frameTimes.begin(), after.frameTimes.end()));
        QCOMPARE(after.frameTimes.back(), 7.96);
        QVERIFY2(!after.soundTimes.empty() && after.soundTimes.front() > target - 1.1,
            qPrintable(QString::number(after.soundTimes.empty() ? -1 : after.soundTimes.front())));

        // Stopped with the decoder far ahead: the end comes at once.
        QVERIFY(reader.seek(0));
        QVERIFY(!std::holds_alternative<mediafile::EndOfFile>(reader.next()));
        reader.requestStop();
        QVERIFY(std::holds_alternative<mediafile::EndOfFile>(reader.next()));
        opened.value.reset();
    }

    // Garbage, or lost picture packets (which the demuxer marks corrupt), in the middle of a film
    // count as damaged packets, and decoding goes on. In a file with an index, nothing marks the
    // garbage corrupt: the packets the decoder refuses count.
    void decodesPastDamage_data()
    {
        QTest::addColumn<bool>("lost");
        QTest::addColumn<QString>("container");
        QTest::newRow("garbage") << false << "ts";
        QTest::newRow("picture packets lost") << true << "ts";
        QTest::newRow("garbage, indexed") << false << "mp4";
    }
    void decodesPastDamage()
    {
        REQUIRE_FFMPEG();
        QFETCH(bool, lost);
        QFETCH(QString, container);
        const QString file = path(QStringLiteral("damaged-%1.%2").arg(lost).arg(container));
        MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=8", "-f", "lavfi", "-i", "sine=d=8", "-c:v",
            "libx264", "-g", "25", "-c:a", "mp2", file });
        QVERIFY(rewrite(file, [&](QByteArray& bytes) {
            const qsizetype middle = bytes.size() / 2 / 188 * 188;
            if (!lost) {
                std::mt19937 random(7);
                for (qsizetype i = 0; i < 12000; ++i)
                    bytes[middle + i] = static_cast<char>(random());
                return;
            }
            // Ten transport packets of the picture's stream (PID 0x100), from the middle on.
            int dropped = 0;
            for (qsizetype at = middle; dropped < 10 && at + 188 <= bytes.size();)
                if ((((bytes[at + 1] & 0x1f) << 8) | quint8(bytes[at + 2])) == 0x100) {
                    bytes.remove(at, 188);
                    ++dropped;
                } else {
                    at += 188;
                }
        }));

        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString());
        QVERIFY2(opened, opened.error.message.c_str());
        const Decoded decoded = readAll(**opened.value);
        QVERIFY(!decoded.failed);
        const mediafile::DamageReport& damage = (*opened.value)->damage();
        QVERIFY2(damage.damagedPackets > 0, qPrintable(QString::number(damage.damagedPackets)));
        if (!lost) // the decoder hides some of the garbage, and says so only in its log
            QVERIFY2(damage.damagedFrames > 0, qPrintable(QString::number(damage.damagedFrames)));
        QVERIFY2(decoded.frameTimes.size() > 150, qPrintable(QString::number(decoded.frameTimes.size())));
        QVERIFY2(decoded.frameTimes.back() > 7.5, "frames after the damage are decoded");
    }

    // Sound of any sample format comes out as planar float at its own rate.
    void soundComesOutAsFloat_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("block"); // samples per coded block
        QTest::newRow("AAC stereo 48 kHz") << "aac" << 48000 << 2 << 1024;
        QTest::newRow("16-bit PCM mono 44.1 kHz") << "pcm_s16le" << 44100 << 1 << 1024;
        QTest::newRow("16-bit PCM stereo 48 kHz") << "pcm_s16le" << 48000 << 2 << 1024;
        QTest::newRow("FLAC 5.1") << "flac" << 48000 << 6 << 1024;
        // 6 MB in one block: more than all the sound the reader holds back, so it goes alone.
        QTest::newRow("float PCM 7.1 96 kHz, one block of 2 s") << "pcm_f32le" << 96000 << 8 << 192000;
    }

    void soundComesOutAsFloat()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, codec);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, block);
        const QString file = path(QStringLiteral("sound-%1-%2.mkv").arg(codec).arg(channels));
        MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=160x90:r=25:d=2", "-f", "lavfi", "-i",
            QStringLiteral("sine=f=440:d=2:sample_rate=%1:samples_per_frame=%2").arg(rate).arg(block), "-ac",
            QString::number(channels), "-c:v", "libx264", "-c:a", codec, file });
        mediafile::OpenResult opened = MediaFileReader::open(file.toStdString());
        QVERIFY2(opened, opened.error.message.c_str());
        // Read the raw blocks to look at the samples themselves.
        double peak = 0;
        std::size_t samples = 0;
        for (;;) {
            mediafile::ReaderItem item = (*opened.value)->next();
            if (auto* block = std::get_if<mediafile::AudioBlock>(&item)) {
                QCOMPARE(block->sampleRate, double(rate));
                QCOMPARE(block->channels.size(), std::size_t(channels));
                // Up-mixed sound may sit in the centre channel alone.
                for (const std::vector<float>& channel : block->channels)
                    for (float value : channel)
                        peak = std::max(peak, double(std::abs(value)));
                samples += block->channels.front().size();
            } else if (!std::holds_alternative<mediafile::VideoFrame>(item)) {
                break;
            }
        }
        // lavfi's sine is at 1/8 of full scale (a little less after lossy coding).
        QVERIFY2(peak > 0.08 && peak < 0.15, qPrintable(QString::number(peak)));
        if (codec == QLatin1StringView("pcm_s16le")) // 16-bit samples are read exactly: whole steps of 1/32768
            QCOMPARE(peak * 32768, std::round(peak * 32768));
        QVERIFY2(std::abs(double(samples) / rate - 2.0) < 0.05, qPrintable(QString::number(samples)));
    }

    // Sound without a time stamp follows on from the sound before it, but not across a seek:
    // there it has no place, and is counted as such. Sound a little off joins too.
    void soundJoinsWhereItFollowsOn()
    {
        using namespace corvex::mediafile::detail;
        AVStream stream {};
        stream.time_base = { 1, 48000 };
        SoundBlocks blocks(&stream, 0);
        const auto add = [&blocks](std::int64_t pts) {
            const FramePtr frame(av_frame_alloc());
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = 48000;
            frame->nb_samples = 480;
            av_channel_layout_default(&frame->ch_layout, 1);
            QCOMPARE(av_frame_get_buffer(frame.get(), 0), 0);
            std::fill_n(reinterpret_cast<float*>(frame->data[0]), frame->nb_samples, 0.25f);
            frame->pts = pts;
            blocks.add(frame.get());
        };
        add(0);
        add(AV_NOPTS_VALUE);
        const auto joined = blocks.take(true);
        QVERIFY(joined);
        QCOMPARE(joined->channels.front().size(), std::size_t(960));
        add(48000);
        blocks.reset();
        add(AV_NOPTS_VALUE);
        QVERIFY(!blocks.take(true));
        QCOMPARE(blocks.framesWithoutTime(), 1);
        // Sound a millisecond (48 samples) off from where the last ended still joins it; more does not.
        // Blocks ready together come out in the order of their sound.
        add(0);
        add(480 + 48);
        add(480 + 48 + 480 + 49);
        add(4800);
        const auto first = blocks.take(true);
        QVERIFY(first);
        QCOMPARE(first->channels.front().size(), std::size_t(960));
    }
};

QTEST_GUILESS_MAIN(TestMediaFile)
#include "tst_mediafile.moc"
