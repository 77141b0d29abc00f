// `corvex author`, run as a process on films the test makes with ffmpeg:
// what it records, where time zero is, black bars, bad input and Ctrl-C.

#include "analysis/proto/video_analysis.pb.h"

#include "support/cli_run.h"
#include "support/recorded.h"
#include "support/test_films.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <algorithm>
#include <csignal>

namespace {

using corvex::test::Colour;
using corvex::test::colourAt;
using corvex::test::near;
using corvex::test::readRecord;
using corvex::test::text;

using corvex::test::Run;

Run author(const QStringList& arguments)
{
    return corvex::test::runCli(QStringList { "author" } + arguments, 240000);
}

// Channel 4 is the top centre of the grid, channel 0 the centre (see the record's channel order).
constexpr int kTopCentre = 4;
constexpr int kCentre = 0;

} // namespace

class TestCorvexAuthor : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    // Each second a new colour, with a tune: the record follows the picture at
    // the right times, and the sound makes a signature.
    void recordsTheFilmAtItsTimes()
    {
        REQUIRE_FFMPEG();
        const QString film = path(u"colours.mp4"_s);
        MAKE_FILM({ "-f", "lavfi", "-i", corvex::test::colourCycle(4, 320, 180), "-f", "lavfi", "-i",
            "sine=f=330:beep_factor=3:d=4", "-c:v", "libx264", "-g", "10", "-c:a", "aac", "-shortest", film });
        const QString out = path(u"colours.pb"_s);
        const Run run = author({ film, "-o", out });
        QVERIFY2(run.exitCode == 0, run.err.constData());
        VideoAnalysis record;
        QVERIFY(readRecord(out, record));
        QVERIFY2(std::abs(record.timestamps_size() - 120) <= 1, qPrintable(QString::number(record.timestamps_size())));
        QCOMPARE(record.timestamps(0), 0u);
        QVERIFY(!record.signature().empty());
        const Colour expected[] = { { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 }, { 255, 255, 255 } };
        for (int second = 0; second < 4; ++second)
            for (int channel = 0; channel < 9; ++channel) {
                const Colour got = colourAt(record, channel, second + 0.5);
                QVERIFY2(near(got, expected[second], 6),
                    qPrintable(u"channel %1 at %2.5 s is %3"_s.arg(channel).arg(second).arg(text(got))));
            }
        // The change shows within a frame of the second.
        QVERIFY(near(colourAt(record, kCentre, 1.04), expected[1], 6));
        // Into a pipe, progress comes as whole lines, each with the share done,
        // the speed in frames a second and as a multiple of real time, and the time left.
        static const QRegularExpression progress(
            u"^ *(\\d+\\.\\d) %  +\\d+ fps  +\\d+\\.\\dx real time  +\\d+:\\d\\d left *$"_s);
        QList<double> shares;
        for (const QByteArray& line : run.err.split('\n'))
            if (const QRegularExpressionMatch match = progress.match(QString::fromUtf8(line)); match.hasMatch())
                shares << match.captured(1).toDouble();
        QVERIFY2(shares.size() >= 3, run.err.constData());
        QVERIFY2(std::is_sorted(shares.begin(), shares.end()) && shares.last() == 100.0, run.err.constData());
    }

    // The streams the author names are the ones analysed: picture and sound each
    // from the stream asked for, the first of each kind otherwise.
    void namedStreamsAreAnalysed_data()
    {
        QTest::addColumn<QStringList>("choice");
        QTest::addColumn<int>("picture"); // which picture stream shows (0 red, 1 blue)
        QTest::addColumn<int>("sound"); // which tune is heard (0 low, 1 high)
        QTest::newRow("the first of each") << QStringList {} << 0 << 0;
        QTest::newRow("second picture") << QStringList { "--video-stream", "1" } << 1 << 0;
        QTest::newRow("second sound, stream 0 named")
            << QStringList { "--video-stream", "0", "--audio-stream", "3" } << 0 << 1;
        QTest::newRow("both named") << QStringList { "--video-stream", "1", "--audio-stream", "3" } << 1 << 1;
    }

    void namedStreamsAreAnalysed()
    {
        REQUIRE_FFMPEG();
        QFETCH(QStringList, choice);
        QFETCH(int, picture);
        QFETCH(int, sound);
        const QString pictures[] = { "color=c=red:s=160x90:r=25:d=4", "color=c=blue:s=160x90:r=25:d=4" };
        const QString tunes[] = { "sine=f=330:beep_factor=3:d=4", "sine=f=1250:beep_factor=5:d=4" };
        // Streams 0 and 1 are pictures, 2 and 3 sound.
        const QString film = path(u"streams.mkv"_s);
        if (!QFile::exists(film))
            MAKE_FILM({ "-f", "lavfi", "-i", pictures[0], "-f", "lavfi", "-i", pictures[1], "-f", "lavfi", "-i",
                tunes[0], "-f", "lavfi", "-i", tunes[1], "-map", "0", "-map", "1", "-map", "2", "-map", "3", "-c:v",
                "libx264", "-c:a", "flac", film });
        // The same picture and sound alone in a film of their own give the record to expect.
        const QString alone = path(u"alone-%1-%2.mkv"_s.arg(picture).arg(sound));
        if (!QFile::exists(alone))
            MAKE_FILM({ "-f", "lavfi", "-i", pictures[picture], "-f", "lavfi", "-i", tunes[sound], "-c:v", "libx264",
                "-c:a", "flac", alone });
        const QString out = path(u"streams-%1.pb"_s.arg(QTest::currentDataTag()).replace(' ', '-'));
        const Run run = author(QStringList { film, "-o", out } + choice);
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const Run expectedRun = author({ alone, "-o", alone + u".pb"_s });
        QVERIFY2(expectedRun.exitCode == 0, expectedRun.err.constData());
        VideoAnalysis record, expected;
        QVERIFY(readRecord(out, record));
        QVERIFY(readRecord(alone + u".pb"_s, expected));
        const Colour centre = colourAt(record, kCentre, 1);
        QVERIFY2(near(centre, picture == 0 ? Colour { 255, 0, 0 } : Colour { 0, 0, 255 }, 6), qPrintable(text(centre)));
        QVERIFY(!record.signature().empty());
        QVERIFY2(record.signature() == expected.signature(),
            qPrintable(u"signature of %1 bytes, the tune alone gives %2"_s.arg(record.signature().size())
                           .arg(expected.signature().size())));
    }

    // Time zero is the earliest buffer of either kind, as in a live recording.
    void timeZeroIsTheEarliestBuffer_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("firstStamp");
        QTest::newRow("picture half a second after the sound") << QStringList { "-itsoffset", "0.5", "-f", "lavfi",
            "-i", "testsrc2=s=160x90:r=25:d=2", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264", "-c:a", "aac",
            "FILE.mkv" } << 50;
        QTest::newRow("sound half a second after the picture") << QStringList { "-f", "lavfi", "-i",
            "testsrc2=s=160x90:r=25:d=2", "-itsoffset", "0.5", "-f", "lavfi", "-i", "sine=d=2", "-c:v", "libx264",
            "-c:a", "aac", "FILE.mkv" } << 0;
        QTest::newRow("sound a frame after the picture") << QStringList { "-f", "lavfi", "-i",
            "testsrc2=s=160x90:r=25:d=2", "-itsoffset", "0.04", "-f", "lavfi", "-i", "sine=d=2", "-c:v", "libx264",
            "-c:a", "flac", "FILE.mkv" } << 0;
        QTest::newRow("transport stream starting at 10 s, sound first") << QStringList { "-f", "lavfi", "-i",
            "testsrc2=s=160x90:r=25:d=2", "-itsoffset", "-0.3", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264",
            "-c:a", "mp2", "-output_ts_offset", "10", "FILE.ts" } << 30;
    }

    void timeZeroIsTheEarliestBuffer()
    {
        REQUIRE_FFMPEG();
        QFETCH(QStringList, arguments);
        QFETCH(int, firstStamp);
        const QString film
            = path(u"zero-%1%2"_s.arg(QString::number(qHash(QString::fromLatin1(QTest::currentDataTag()))),
                arguments.last().mid(arguments.last().lastIndexOf('.'))));
        arguments.last() = film;
        MAKE_FILM(arguments);
        const QString out = film + u".pb"_s;
        const Run run = author({ film, "-o", out });
        QVERIFY2(run.exitCode == 0, run.err.constData());
        VideoAnalysis record;
        QVERIFY(readRecord(out, record));
        // Two or three seconds of sound may be too few for a signature: then it is said.
        QCOMPARE(run.err.contains("a signature takes a few seconds of sound"), record.signature().empty());
        // Exactly where the streams begin, the coders decide (priming, delay):
        // ffprobe says, and the first frame's stamp follows from it.
        const corvex::test::Probe picture = corvex::test::probe(film, u"v:0"_s);
        const corvex::test::Probe sound = corvex::test::probe(film, u"a:0"_s);
        QVERIFY(!picture.frameTimes.empty() && !sound.frameTimes.empty());
        const double zero = std::min(picture.frameTimes.front(), sound.frameTimes.front());
        const auto expected = int((picture.frameTimes.front() - zero) * 100);
        QVERIFY2(std::abs(expected - firstStamp) <= 5, qPrintable(QString::number(expected)));
        // Every frame is in the record: none fell before time zero.
        QCOMPARE(std::size_t(record.timestamps_size()), picture.frameTimes.size());
        QVERIFY2(std::abs(int(record.timestamps(0)) - expected) <= 1,
            qPrintable(u"first frame at %1 hundredths, expected %2"_s.arg(record.timestamps(0)).arg(expected)));
    }

    // Far into a long film every frame is stamped with its time to the
    // hundredth, truncated: 10000.52 s is 1000052, not 1000051; its times read in hours.
    void stampsStayExactFarIntoAFilm()
    {
        REQUIRE_FFMPEG();
        const QString film = path(u"long.mkv"_s);
        MAKE_FILM({ "-f", "lavfi", "-i", "color=c=red:s=64x36:r=25:d=2", "-vf", "setpts=PTS+gte(N\\,1)*10000/TB",
            "-fps_mode", "passthrough", "-c:v", "libx264", film });
        const QString out = path(u"long.pb"_s);
        const Run run = author({ film, "-o", out }); // fails for want of sound, and writes the record
        QVERIFY2(run.err.contains(": 2:46:4"), run.err.constData()); // its length (2:46:42), in hours
        VideoAnalysis record;
        QVERIFY(readRecord(out, record));
        const corvex::test::Probe picture = corvex::test::probe(film, u"v:0"_s);
        QCOMPARE(std::size_t(record.timestamps_size()), picture.frameTimes.size());
        for (int k = 0; k < record.timestamps_size(); ++k)
            QCOMPARE(
                record.timestamps(k), std::uint32_t(std::llround(picture.frameTimes[std::size_t(k)] * 1e6) / 10000));
    }

    // A letterboxed film is cropped to its picture; a full-frame one is left whole.
    void autoCropFindsLetterbox_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<bool>("bars");
        QTest::newRow("2.39:1 inside 16:9") << "scale=640:268,pad=640:360:0:46:black" << true;
        QTest::newRow("full frame") << "null" << false;
    }

    void autoCropFindsLetterbox()
    {
        REQUIRE_FFMPEG();
        QFETCH(QString, filter);
        QFETCH(bool, bars);
        const QString film = path(u"crop-%1.mp4"_s.arg(bars));
        MAKE_FILM({ "-f", "lavfi", "-i", corvex::test::colourCycle(8, 640, 360) + u',' + filter, "-f", "lavfi", "-i",
            "sine=d=8", "-c:v", "libx264", "-g", "10", "-c:a", "aac", "-shortest", film });
        const QString out = path(u"crop-%1.pb"_s.arg(bars));
        const Run run = author({ film, "--auto-crop", "-o", out });
        QVERIFY2(run.exitCode == 0, run.err.constData());
        // x,y,w,h as --crop takes them: the picture is as wide as the film and three quarters of its height.
        QVERIFY2(run.err.contains(bars ? "Black bars found: cropping to 0.0000,0.12" : "No black bars found"),
            run.err.constData());
        QVERIFY2(!bars || run.err.contains(",1.0000,0.75"), run.err.constData());
        VideoAnalysis record;
        QVERIFY(readRecord(out, record));
        // The top row of cells is the picture's own red, not red darkened by the bar.
        const Colour top = colourAt(record, kTopCentre, 0.5);
        QVERIFY2(near(top, { 255, 0, 0 }, 8), qPrintable(text(top)));
    }

    // Each a one-line reason and exit status 1; a record only where one makes sense. The
    // film is made with ffmpeg's arguments (its name last, as FILE.ext), then spoilt.
    void badInput_data()
    {
        QTest::addColumn<QStringList>("making");
        QTest::addColumn<QByteArray>("spoil"); // bytes of the film to replace: "from>to"
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("written");
        const auto picture = [](const char* size, int seconds) {
            return QStringList { "-f", "lavfi", "-i", u"testsrc2=s=%1:r=25:d=%2"_s.arg(size).arg(seconds) };
        };
        const auto withSound = [&](const char* size, int seconds) {
            return picture(size, seconds) + QStringList { "-f", "lavfi", "-i", u"sine=d=%1"_s.arg(seconds) };
        };
        QTest::newRow("missing file") << QStringList {} << QByteArray() << "No such file" << false;
        QTest::newRow("zero-length file") << QStringList { "" } << QByteArray() << "is empty (0 bytes)" << false;
        QTest::newRow("not a video") << QStringList { "Notes on the film, scene by scene.\n" } << QByteArray()
                                     << "is not a video file" << false;
        QTest::newRow("no video stream") << QStringList { "-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac", "FILE.m4a" }
                                         << QByteArray() << "has no video stream" << false;
        QTest::newRow("unsupported codec")
            << picture("160x90", 1) + QStringList { "-c:v", "libx264", "FILE.mkv" }
            << QByteArray("V_MPEG4/ISO/AVC>V_QQQQQ/ISO/AVC")
            << "is coded in a way no decoder here knows, which this program cannot decode" << false;
        QTest::newRow("absurd dimensions") << picture("64x16", 1) + QStringList { "-pix_fmt", "yuv420p", "FILE.y4m" }
                                           << QByteArray("W64 H16>W99999 H16") << "99999 x 16 pixels" << false;
        QTest::newRow("no audio stream") << picture("160x90", 2) + QStringList { "-c:v", "libx264", "FILE.mp4" }
                                         << QByteArray() << "has no sound" << true;
        QTest::newRow("truncated file") << withSound("320x180", 10)
                + QStringList { "-c:v", "libx264", "-c:a", "aac", "FILE.mkv" }
                                        << QByteArray("truncate") << "is cut short" << true;
        QTest::newRow("cut short before its index")
            << picture("160x90", 2) + QStringList { "-c:v", "libx264", "FILE.mp4" } << QByteArray("truncate")
            << "is damaged or cut short, or is not a video file" << false;
        QTest::newRow("no picture decodes")
            << picture("64x36", 1) + QStringList { "-c:v", "png", "FILE.mkv" } << QByteArray("\x89PNG>XPNG")
            << "not one frame of its video could be decoded" << false;
        QTest::newRow("corrupt packets in the middle")
            << withSound("320x180", 8) + QStringList { "-c:v", "libx264", "-g", "25", "-c:a", "mp2", "FILE.ts" }
            << QByteArray("garbage") << "is damaged" << true;
        // A picture its decoder refuses is one damaged frame, though the decoder also logs it.
        QTest::newRow("one picture damaged")
            << withSound("160x90", 4) + QStringList { "-c:v", "png", "-c:a", "pcm_s16le", "FILE.mkv" }
            << QByteArray("one picture") << "is damaged: 1 damaged packet or frame was skipped" << true;
    }

    void badInput()
    {
        REQUIRE_FFMPEG();
        QFETCH(QStringList, making);
        QFETCH(QByteArray, spoil);
        QFETCH(QString, reason);
        QFETCH(bool, written);
        QString film = path(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
        if (making.size() == 1) { // the file's text
            QFile file(film);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(making.first().toUtf8().repeated(100));
        } else if (!making.isEmpty()) {
            film += making.last().mid(4);
            making.last() = film;
            MAKE_FILM(making);
        }
        if (spoil == "truncate") {
            QVERIFY(corvex::test::truncateFile(film, QFileInfo(film).size() * 6 / 10));
        } else if (spoil == "garbage") {
            QVERIFY(corvex::test::damageMiddle(film));
        } else if (spoil == "one picture") {
            QFile file(film);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray bytes = file.readAll();
            qsizetype at = -1;
            for (int picture = 0; picture < 50; ++picture)
                at = bytes.indexOf("IDAT", at + 1);
            QVERIFY(at > 0);
            for (qsizetype i = at + 20; i < at + 60; ++i)
                bytes[i] = char(bytes[i] ^ 0x5a);
            QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        } else if (!spoil.isEmpty()) {
            const QList<QByteArray> change = spoil.split('>');
            QVERIFY(corvex::test::replaceAll(film, change[0], change[1]));
        }
        const QString out = film + u".pb"_s;
        const Run run = author({ film, "-o", out });
        QCOMPARE(run.exitCode, 1);
        const QList<QByteArray> lines = run.err.split('\n');
        const auto found = std::find_if(
            lines.begin(), lines.end(), [&](const QByteArray& line) { return line.contains(reason.toUtf8()); });
        QVERIFY2(found != lines.end(), run.err.constData());
        QVERIFY2(found->startsWith("corvex: "), found->constData());
        if (spoil == "garbage") {
            // How much was damaged is said, as a count.
            static const QRegularExpression count(u"is damaged: (\\d+) damaged packets? or frames?"_s);
            const QRegularExpressionMatch match = count.match(QString::fromUtf8(*found));
            QVERIFY2(match.hasMatch() && match.captured(1).toInt() > 0, found->constData());
        }
        QCOMPARE(QFile::exists(out), written);
        if (written) {
            VideoAnalysis record;
            QVERIFY(readRecord(out, record));
            QVERIFY(record.timestamps_size() > 0);
            for (const auto& channel : record.channels())
                QCOMPARE(channel.r_size(), record.timestamps_size());
            if (reason == u"has no sound"_s)
                QVERIFY(record.signature().empty());
        }
    }

    // Ctrl-C keeps a valid record of what was analysed, and says so.
    void interruptKeepsWhatWasAnalysed()
    {
        REQUIRE_FFMPEG();
        const QString film = path(u"long.mkv"_s);
        MAKE_FILM({ "-f", "lavfi", "-i", "testsrc2=s=160x90:r=30:d=300", "-f", "lavfi", "-i", "sine=d=300", "-c:v",
            "libx264", "-preset", "ultrafast", "-c:a", "aac", film });
        const QString out = path(u"long.pb"_s);
        QProcess process;
        process.start(QStringLiteral(CORVEX_CLI), { "author", film, "-o", out });
        QByteArray err;
        // A twentieth of the film is analysed, enough sound for a signature.
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("5.0 %"), 120000);
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        err += process.readAllStandardError();
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(err.contains("interrupted at") && err.contains("holds a valid record"), err.constData());
        VideoAnalysis record;
        QVERIFY(readRecord(out, record));
        QVERIFY(record.timestamps_size() > 0 && record.timestamps_size() < 300 * 30);
        for (const auto& channel : record.channels())
            QCOMPARE(channel.b_size(), record.timestamps_size());
        QVERIFY(!record.signature().empty());
    }
};

QTEST_GUILESS_MAIN(TestCorvexAuthor)
#include "tst_corvex_author.moc"
