// One show, two roads: a film played on the test display and sound server by ffplay and
// recorded live with 'corvex record', against 'corvex author' of the same file: the same
// colours at the same times, and a clip of the sound found at the same place in both.

#include "analysis/proto/video_analysis.pb.h"
#include "platform/fingerprint/signature_matcher.h"

#include "support/cli_run.h"
#include "support/recorded.h"
#include "support/test_films.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <cmath>
#include <csignal>
#include <optional>

using namespace corvex;

namespace {

using corvex::test::Colour;
using corvex::test::colourOf;
using corvex::test::distance;
using corvex::test::readRecord;
using corvex::test::text;

// The film: 640 × 360 at 30 frames a second, 15 s: solid colours changing at known times,
// letterboxed from 7 s on, a new note every quarter second. The last second lets the player
// hand the clip's sound over before it stops.
constexpr double kFilmSeconds = 15;
constexpr double kChanges[] = { 3, 5, 7, 11 }; // when the colour changes, film time
constexpr double kClipStart = 8; // the clip given to 'corvex match': the film's sound from 8 to 14 s
constexpr double kClipSeconds = 6;
constexpr int kTolerance = 6; // per channel, live against file
constexpr double kTimeTolerance = 0.15; // seconds, the clip's offset in the authored record
// Seconds, the picture's film time in the live record against the sound's: a player on a
// busy machine shows a frame a few tenths late (-0.29 to +0.32 s measured at a load of 7 to
// 11; bench/sync_fidelity.sh measures it). This catches sound and picture apart by seconds.
constexpr double kLiveTimeTolerance = 0.4;

// Red, green, blue; then letterboxed, a dark olive and a dark plum: the live road's scaling
// bleeds about 6 % of a bar edge's contrast into the bar's cells, within the tolerance when dark.
QString filmPicture()
{
    return QStringLiteral("color=c=0xC83228:s=640x360:r=30:d=3[a];color=c=0x28B43C:s=640x360:r=30:d=2[b];"
                          "color=c=0x323CC8:s=640x360:r=30:d=2[c];"
                          "color=c=0x4B4311:s=640x216:r=30:d=4,pad=640:360:0:72:black[d];"
                          "color=c=0x42153E:s=640x216:r=30:d=4,pad=640:360:0:72:black[e];"
                          "[a][b][c][d][e]concat=n=5:v=1:a=0,format=yuv420p");
}

// Notes with a harmonic, pitches from a quadratic sequence modulo a prime: no run of notes
// repeats, so a clip fits in one place only.
QString filmSound()
{
    const QString pitch = u"110*pow(2,mod(7*floor(t*4)*floor(t*4)+3*floor(t*4),61)*3/61)"_s;
    return u"aevalsrc='0.3*sin(2*PI*t*%1)+0.15*sin(4*PI*t*%1)':s=48000:d=15"_s.arg(pitch);
}

using test::Run;

Run corvexCli(const QStringList& arguments)
{
    return test::runCli(arguments, 240000);
}

// Record time of the first sample after the first red one whose centre is
// green: the film's first change (red to green at 3 s), in this record.
std::optional<double> firstChange(const VideoAnalysis& record)
{
    const Colour red { 0xC8, 0x32, 0x28 };
    const Colour green { 0x28, 0xB4, 0x3C };
    bool seenRed = false;
    for (int i = 0; i < record.timestamps_size(); ++i) {
        const Colour centre = colourOf(record, 0, i);
        seenRed = seenRed || distance(centre, red) < 40;
        if (seenRed && distance(centre, green) < distance(centre, red))
            return record.timestamps(i) / 100.0;
    }
    return std::nullopt;
}

std::optional<double> matchOffset(const QString& record, const QString& clip, QByteArray& said)
{
    const Run run = corvexCli({ "match", record, clip });
    said = run.out + run.err;
    const QRegularExpressionMatch found
        = QRegularExpression(u"offset (-?[0-9.]+) s"_s).match(QString::fromUtf8(run.out));
    if (run.exitCode != 0 || !found.hasMatch())
        return std::nullopt;
    return found.captured(1).toDouble();
}

// Seconds of sound the record's signature covers.
double signatureSeconds(const VideoAnalysis& record)
{
    const auto items = fingerprint::decodeSignature(record.signature());
    return items ? double(items->size()) * fingerprint::signatureItemSeconds() : 0.0;
}

} // namespace

class TestCrossCheck : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void liveAndFileMakeTheSameShow()
    {
        if (!corvex::test::haveFfmpeg())
            QSKIP("the ffmpeg command is not installed; it makes the test film");
        const QString ffplay = QStandardPaths::findExecutable(u"ffplay"_s);
        if (ffplay.isEmpty())
            QSKIP("ffplay is not installed (Debian's ffmpeg package); it plays the film live");
        if (qEnvironmentVariableIsEmpty("DISPLAY") || qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("needs the test X server and sound server (scripts/test-services)");

        const QString film = path(u"film.mkv"_s);
        const QString clip = path(u"clip.wav"_s);
        for (const QString& failure : { corvex::test::runFfmpeg({ "-f", "lavfi", "-i", filmPicture(), "-f", "lavfi",
                                            "-i", filmSound(), "-c:v", "libx264", "-preset", "veryfast", "-crf", "18",
                                            "-g", "30", "-c:a", "flac", "-t", QString::number(kFilmSeconds), film }),
                 corvex::test::runFfmpeg({ "-ss", QString::number(kClipStart), "-t", QString::number(kClipSeconds),
                     "-i", film, "-vn", "-c:a", "pcm_s16le", clip }) })
            QVERIFY2(failure.isEmpty(), qPrintable(failure));

        // The file road.
        const QString authored = path(u"authored.pb"_s);
        const Run author = corvexCli({ "author", film, "-o", authored });
        QVERIFY2(author.exitCode == 0, author.err.constData());

        // The live road: the recorder first, so that it hears the film from its first note.
        const QString live = path(u"live.pb"_s);
        QProcess recorder;
        recorder.start(QStringLiteral(CORVEX_CLI), { "record", "--source", "x11", "--display", "1", "-o", live });
        QVERIFY(recorder.waitForStarted(10000));
        QByteArray recorderSaid;
        QTRY_VERIFY2_WITH_TIMEOUT(
            [&] {
                recorderSaid += recorder.readAllStandardError();
                return recorderSaid.contains("Recording ") || recorder.state() == QProcess::NotRunning;
            }(),
            recorderSaid.constData(), 60000);
        QVERIFY2(recorder.state() == QProcess::Running, recorderSaid.constData());

        QProcess player;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"SDL_VIDEODRIVER"_s, u"x11"_s);
        environment.insert(u"SDL_AUDIODRIVER"_s, u"pulseaudio"_s);
        player.setProcessEnvironment(environment);
        player.setProcessChannelMode(QProcess::MergedChannels);
        player.start(ffplay, { "-v", "error", "-nostats", "-autoexit", "-fs", "-window_title", "crosscheck", film });
        QVERIFY(player.waitForStarted(10000));
        QVERIFY2(player.waitForFinished(int(kFilmSeconds * 1000) + 60000), "the film played to its end");
        const QByteArray playerSaid = player.readAll();
        QVERIFY2(player.exitStatus() == QProcess::NormalExit && player.exitCode() == 0, playerSaid.constData());

        // Stopped as soon as the film ends, as an author would.
        ::kill(pid_t(recorder.processId()), SIGINT);
        QVERIFY(recorder.waitForFinished(60000));
        recorderSaid += recorder.readAllStandardError();
        QVERIFY2(recorder.exitCode() == 0, recorderSaid.constData());

        VideoAnalysis fromFile;
        VideoAnalysis fromScreen;
        QVERIFY(readRecord(authored, fromFile));
        QVERIFY(readRecord(live, fromScreen));
        QCOMPARE(fromScreen.channels_size(), 9);
        QCOMPARE(fromFile.channels_size(), 9);

        // Where the film began in the live record, by its sound: the same clip
        // found in both records.
        QByteArray said;
        const std::optional<double> inFile = matchOffset(authored, clip, said);
        QVERIFY2(inFile, said.constData());
        QVERIFY2(std::abs(*inFile - kClipStart) <= kTimeTolerance, said.constData());
        const std::optional<double> inLive = matchOffset(live, clip, said);
        QVERIFY2(inLive, said.constData());
        const double shift = *inLive - *inFile;

        // The picture lands with the sound: the first change of colour at the
        // same film time in both records.
        const std::optional<double> fileChange = firstChange(fromFile);
        const std::optional<double> liveChange = firstChange(fromScreen);
        QVERIFY2(fileChange && std::abs(*fileChange - kChanges[0]) < 0.05, "the authored record turns green at 3 s");
        QVERIFY2(liveChange, "the live record shows the film turning from red to green");
        QVERIFY2(std::abs(*liveChange - shift - *fileChange) <= kLiveTimeTolerance,
            qPrintable(QStringLiteral("live %1 s (film time %2 s), file %3 s")
                           .arg(*liveChange)
                           .arg(*liveChange - shift)
                           .arg(*fileChange)));

        // The live signature holds all the sound heard, the film's end included.
        const double liveSound = signatureSeconds(fromScreen);
        const double fileSound = signatureSeconds(fromFile);
        QVERIFY2(fileSound > kFilmSeconds - 4, qPrintable(QString::number(fileSound)));
        QVERIFY2(liveSound >= shift + fileSound - 0.5,
            qPrintable(
                u"the live signature covers %1 s of sound; the film's sound ends %2 s into it"_s.arg(liveSound).arg(
                    shift + fileSound)));

        // Every cell within the tolerance at the same film time, away from the colour changes.
        int compared = 0;
        int candidates = 0;
        QString worst;
        int worstDistance = 0;
        int k = 0;
        for (int i = 0; i < fromFile.timestamps_size(); ++i) {
            const double t = fromFile.timestamps(i) / 100.0;
            // The player's window may still be opening in its first moments.
            if (t < 1.5 || t > kFilmSeconds - 0.3
                || std::any_of(std::begin(kChanges), std::end(kChanges),
                    [&](double change) { return std::abs(t - change) < kLiveTimeTolerance; }))
                continue;
            ++candidates;
            const double want = t + shift;
            while (k + 1 < fromScreen.timestamps_size()
                && std::abs(fromScreen.timestamps(k + 1) / 100.0 - want)
                    <= std::abs(fromScreen.timestamps(k) / 100.0 - want))
                ++k;
            if (std::abs(fromScreen.timestamps(k) / 100.0 - want) > 0.1)
                continue; // no live frame near this moment
            ++compared;
            for (int channel = 0; channel < 9; ++channel) {
                const Colour a = colourOf(fromFile, channel, i);
                const Colour b = colourOf(fromScreen, channel, k);
                if (distance(a, b) > worstDistance) {
                    worstDistance = distance(a, b);
                    worst = u"at %1 s channel %2: file %3, live %4"_s.arg(t).arg(channel).arg(text(a), text(b));
                }
            }
        }
        QVERIFY2(compared >= candidates * 8 / 10, qPrintable(u"%1 of %2"_s.arg(compared).arg(candidates)));
        QVERIFY2(worstDistance <= kTolerance, qPrintable(worst));
    }
};

QTEST_GUILESS_MAIN(TestCrossCheck)
#include "tst_crosscheck.moc"
