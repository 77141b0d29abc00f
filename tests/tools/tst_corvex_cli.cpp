// The corvex tool run as a process, as the author runs it: its commands, their
// errors, and receive, discover and analyse --preview against each other. Cases
// that announce or discover light receivers need the loopback-only avahi-daemon.

#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/video_analysis_record.h"
#include "platform/net/udp_connection.h"
#include "platform/net/udp_listener.h"
#include "platform/webauth/session.h"
#include "support/avahi_daemon.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

#include "support/cli_run.h"
#include "support/full_disk.h"
#include "support/recorded.h"
#include "support/tones.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>

using namespace corvex;

namespace {

using test::Run;
using test::runCli;

QString uniqueName(const char* what)
{
    return u"corvex-cli-%1-%2"_s.arg(QCoreApplication::applicationPid()).arg(QLatin1StringView(what));
}

// A running `corvex receive`, stopped like Ctrl+C when the test is done with it.
class ReceiveProcess {
public:
    explicit ReceiveProcess(const QStringList& arguments)
    {
        m_process.start(QStringLiteral(CORVEX_CLI), QStringList { "receive" } + arguments);
    }
    ~ReceiveProcess() { stop(); }

    /// The port from its "listening on UDP port N" line once it is announced, 0 when that never came.
    std::uint16_t waitUntilAnnounced()
    {
        static const QRegularExpression port(u"listening on UDP port (\\d+)"_s);
        for (int i = 0; i < 100 && m_process.state() != QProcess::NotRunning; ++i) {
            m_run.err += m_process.readAllStandardError();
            if (m_run.err.contains("Bonjour service published: "))
                return static_cast<std::uint16_t>(port.match(QString::fromUtf8(m_run.err)).captured(1).toUInt());
            m_process.waitForReadyRead(100);
        }
        return 0;
    }
    QByteArray output() { return m_run.out += m_process.readAllStandardOutput(); }
    /// Waits for it to end by itself, or stops it as Ctrl+C would; what it printed.
    Run finish(int timeoutMs = 10000)
    {
        m_endedByItself = m_process.waitForFinished(timeoutMs);
        if (!m_endedByItself)
            stop();
        return collect();
    }
    bool endedByItself() const { return m_endedByItself; }
    Run stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished();
        }
        return collect();
    }

private:
    Run collect()
    {
        output();
        m_run.err += m_process.readAllStandardError();
        m_run.exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
        return m_run;
    }

    QProcess m_process;
    Run m_run;
    bool m_endedByItself = false;
};

QByteArray message(int base)
{
    analysis::PreviewColors colors;
    for (int x = 0; x < 3; ++x)
        for (int y = 0; y < 3; ++y)
            colors[std::to_string(x) + std::to_string(y)] = { base + x, base + y, base + x + y };
    return QByteArray::fromStdString(analysis::encodeLiveColourMessage(colors));
}

QString writeImage(const QTemporaryDir& dir, const QString& name, const QImage& image)
{
    const QString path = dir.filePath(name);
    if (!image.save(path))
        qFatal("cannot write test image %s", qPrintable(path));
    return path;
}

QImage halves(QColor left, QColor right)
{
    QImage image(160, 90, QImage::Format_RGB32);
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 160; ++x)
            image.setPixelColor(x, y, x < 80 ? left : right);
    return image;
}

QString writeRecord(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

QByteArray validRecord(int frames)
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    for (int k = 0; k < frames; ++k) {
        for (auto& channel : *record.mutable_channels()) {
            channel.add_r(std::uint32_t(k));
            channel.add_g(200);
            channel.add_b(std::uint32_t(255 - k));
        }
        record.add_timestamps(std::uint32_t(k * 3));
    }
    record.set_signature("sig");
    return QByteArray::fromStdString(record.SerializeAsString());
}

} // namespace

class TestCorvexCli final : public QObject {
    Q_OBJECT

    QTemporaryDir m_home; // the tool's settings and outbox here, never the user's

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(u"config"_s)));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(u"data"_s)));
    }

    void analyseFollowsTheFramesAndWritesARecord()
    {
        QTemporaryDir dir;
        const QString red = writeImage(dir, "a.png", halves(Qt::red, Qt::red));
        const QString blue = writeImage(dir, "b.ppm", halves(Qt::blue, Qt::blue));
        const QString out = dir.filePath(u"show.pb"_s);
        const Run run = runCli({ "analyse", "--fps", "25", "-o", out, red, blue, red });
        QCOMPARE(run.exitCode, 0);
        const QList<QByteArray> lines = run.out.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
        QCOMPARE(second.size(), 9);
        QCOMPARE(second.value(u"02"_s).toObject().value(u"b"_s).toInt(), 255);
        QCOMPARE(second.value(u"02"_s).toObject().value(u"r"_s).toInt(), 0);

        VideoAnalysis record;
        QVERIFY(test::readRecord(out, record));
        QCOMPARE(record.timestamps_size(), 3);
        // Frames of 0.04 s: 4 hundredths each, exactly.
        QCOMPARE(record.timestamps(1), 4u);
        QCOMPARE(record.timestamps(2), 8u);
        QVERIFY(!analysis::findInvariantViolation(record));

        // A pipe is written through, not replaced by a file of that name.
        const QString pipe = dir.filePath(u"pipe"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        const auto closeReader = qScopeGuard([reader] { ::close(reader); });
        QCOMPARE(runCli({ "analyse", "--fps", "25", "-o", pipe, red, blue, red }).exitCode, 0);
        QByteArray piped(1 << 16, '\0');
        piped.resize(std::max<ssize_t>(0, ::read(reader, piped.data(), piped.size())));
        QVERIFY(record.ParseFromArray(piped.constData(), static_cast<int>(piped.size())));
        QCOMPARE(record.timestamps_size(), 3);
        struct stat info { };
        QVERIFY(::stat(QFile::encodeName(pipe).constData(), &info) == 0 && S_ISFIFO(info.st_mode));

        // An input is never the output, by any name: it stays as it was.
        const QString alias = dir.filePath(u"alias.png"_s);
        QCOMPARE(::link(QFile::encodeName(red).constData(), QFile::encodeName(alias).constData()), 0);
        const qint64 size = QFileInfo(red).size();
        const Run overwrite = runCli({ "analyse", "-o", alias, red, blue });
        QCOMPARE(overwrite.exitCode, 1);
        QVERIFY2(overwrite.err.contains("is the file being read"), overwrite.err.constData());
        QCOMPARE(QFileInfo(red).size(), size);
        QVERIFY(!QImage(red).isNull());
    }

    // A disk that fills up in the middle of the record says so, and keeps no part of it.
    void aFullDiskIsNamed()
    {
        testing::FullDisk disk;
        CORVEX_REQUIRE_FULL_DISK(disk);
        QTemporaryDir frames;
        QCOMPARE(runCli({ "make-frames", "--count", "200", "--size", "16x16", frames.path() }).exitCode, 0);
        QStringList images;
        for (const QString& name : QDir(frames.path()).entryList(QDir::Files, QDir::Name))
            images << frames.filePath(name);
        // One page of room, less than the record takes.
        QFile room(disk.path(u"room"_s));
        QVERIFY(room.open(QIODevice::WriteOnly) && room.write(QByteArray(4096, 'x')) == 4096);
        room.close();
        disk.fill();
        QVERIFY(room.remove());
        const Run run = runCli(QStringList { "analyse", "-o", disk.path(u"show.pb"_s) } + images);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("No space left on device"), run.err.constData());
        QCOMPARE(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden), QStringList { u".filler"_s });
    }

    void cropKeepsOnlyItsRegion()
    {
        QTemporaryDir dir;
        const QString image = writeImage(dir, "halves.png", halves(Qt::red, Qt::green));
        const Run run = runCli({ "analyse", "--crop", "0.5,0,0.5,1", image });
        QCOMPARE(run.exitCode, 0);
        const auto colors = analysis::decodeLiveColourMessage(run.out.trimmed().toStdString());
        QVERIFY(colors);
        for (const auto& [name, rgb] : *colors)
            QCOMPARE(rgb, (analysis::RGB { 0, 255, 0 }));
    }

    // Each row: the arguments (split at spaces; '' stands for an empty one), the exit code, a part of what is said.
    // The ends of each range are there, and what is no number at all.
    void badCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        const struct {
            const char* line;
            int exitCode;
            const char* message;
        } rows[] = {
            { "", 2, "Usage: corvex COMMAND" },
            { "frobnicate", 2, "unknown command" },
            { "analyse", 2, "no images" },
            { "analyse --frobnicate x.png", 2, "Unknown option 'frobnicate'" },
            { "analyse x.png --fps", 2, "Missing value after '--fps'" },
            { "analyse --fps 0 x.png", 2, "--fps" },
            { "analyse --fps 1000.5 x.png", 2, "--fps" },
            { "analyse --fps nan x.png", 2, "--fps" },
            { "analyse --fps 1000 /dev/null/x.png", 1, "cannot read image" },
            { "analyse --crop 0.5,0,0.6,1 x.png", 2, "--crop" },
            { "analyse --crop a,b x.png", 2, "--crop" },
            { "analyse --crop=0,0,0,1 x.png", 2, "--crop" },
            { "analyse --crop=0,0,1,0 x.png", 2, "--crop" },
            { "analyse --crop=-0.1,0,0.5,1 x.png", 2, "--crop" },
            { "analyse --crop=0,-0.1,1,0.5 x.png", 2, "--crop" },
            { "analyse --crop=nan,0,0.5,1 x.png", 2, "--crop" },
            { "analyse /nonexistent/x.png", 1, "cannot read image /nonexistent/x.png" },
            { "analyse /etc/passwd", 1, "from a video file, use 'corvex author FILE'" },
            { "analyse --preview '' x.png", 2, "--preview takes" },
            { "inspect a b", 2, "exactly one file" },
            { "inspect /nonexistent/x.pb", 1, "cannot open /nonexistent/x.pb" },
            { "record", 2, "-o FILE" },
            { "record --display 1 --window 0x1 -o x.pb", 2, "cannot be used together" },
            { "record --source wayland -o x.pb", 2, "--source" },
            { "record --source synthetic --window 0x99 -o x.pb", 2, "no window 0x99" },
            { "record --source synthetic --choose -o x.pb", 2, "--choose is for Wayland desktops" },
            { "record --seconds 0", 2, "--seconds takes" },
            { "record --seconds nan", 2, "--seconds takes" },
            { "record --seconds 86400", 2, "-o FILE" },
            { "record --seconds 86400.5", 2, "--seconds takes" },
            { "record --display 0 -o x.pb", 2, "--display takes" },
            { "record --window 0 -o x.pb", 2, "--window takes" },
            { "record --crop 0,0,1,1 --auto-crop", 2, "cannot be used together" },
            { "record --crop 0,0.5,1,0.6 -o x.pb", 2, "--crop takes" },
            { "record extra -o x.pb", 2, "unexpected argument 'extra'" },
            { "record --source synthetic --seconds 2 -o /dev/null/x.pb", 1, "nothing was recorded" },
            { "record --source synthetic --seconds 2 -o /tmp", 1, "nothing was recorded" },
            { "author /dev/null -o /dev/null/x.pb", 1, "nothing was analysed" },
            { "author /dev/null -o /dev/null", 1, "is the file being read" },
            { "author -o x.pb", 2, "corvex: " },
            { "author film.mp4", 2, "corvex: " },
            { "author a.mp4 b.mp4 -o x.pb", 2, "corvex: " },
            { "author film.mp4 --crop 0,0,1,1 --auto-crop -o x.pb", 2, "corvex: " },
            { "author film.mp4 --crop 0.5,0,0.6,1 -o x.pb", 2, "--crop" },
            { "author film.mp4 --video-stream -1 -o x.pb", 2, "corvex: " },
            { "search salt pepper", 2, "wrong number of arguments" },
            { "search --episodes=1", 2, "goes with --seasons SHOW" },
            { "search --seasons 91001 --episodes -1", 2, "a season number is 0" },
            { "shows extra", 2, "wrong number of arguments" },
            { "whoami me", 2, "wrong number of arguments" },
            { "outbox --retry --remove x", 2, "give at most one of" },
            { "outbox --save x", 2, "needs the file to write" },
            { "outbox kept.pb", 2, "unexpected argument 'kept.pb'" },
            { "login --token-from-callback https://x.example/callback?token=t", 2, "needs a corvexapp: URL" },
            { "login --create", 2, "--create goes with --email" },
            { "receive --port 65535 --name ''", 2, "--name takes" },
            { "receive --port 65536 --name ''", 2, "--port takes" },
            { "receive --count -1", 2, "--count takes" },
            { "receive --name ''", 2, "--name takes" },
            { "receive extra", 2, "unexpected argument" },
            { "discover --seconds 0", 2, "--seconds takes" },
            { "discover extra", 2, "unexpected argument 'extra'" },
            { "match x.pb", 2, "a recording and a clip" },
            { "make-frames --count 0 --size 8x8 /nonexistent/dir", 2, "--count takes" },
            { "make-frames --count 100001 --size 8x8 /nonexistent/dir", 2, "--count takes" },
            { "make-frames --count 1 --size 8193x8 /nonexistent/dir", 2, "--size takes" },
            { "make-frames --count 1 --size 8x0 /nonexistent/dir", 2, "--size takes" },
            { "make-frames --count 1 --size 8 /nonexistent/dir", 2, "--size takes" },
            { "make-frames --count 1 --size 8x8x8 /nonexistent/dir", 2, "--size takes" },
            { "make-frames a b", 2, "takes one directory" },
            { "make-frames --count 100000 --size 8192x8192 /dev/null/frames", 1, "cannot create directory" },
            { "upload x.pb", 2, "give either --movie ID, or --tv SHOW" },
            { "upload x.pb --movie 9o", 2, "movie id '9o' is not a whole number" },
            { "upload /nonexistent/x\x1b[2J.pb --movie 1", 1, "cannot open /nonexistent/x[2J.pb" },
            { "upload /dev/null --movie 2147483648", 1, "/dev/null is not a valid light show" },
        };
        for (const auto& row : rows) {
            QStringList arguments = QString::fromUtf8(row.line).split(u' ', Qt::SkipEmptyParts);
            for (QString& argument : arguments)
                if (argument == u"''"_s)
                    argument.clear();
            QTest::newRow(*row.line ? row.line : "no command") << arguments << row.exitCode << QByteArray(row.message);
        }
        // Names of a length, and receivers nobody announces.
        QTest::newRow("receive name of 64 bytes")
            << QStringList { "receive", "--name", QString(64, u'n') } << 2 << QByteArray("--name takes");
        QTest::newRow("receive name of 64 bytes in 32 characters")
            << QStringList { "receive", "--name", QString(32, u'\u00e9') } << 2 << QByteArray("--name takes");
        QTest::newRow("record for an unknown receiver") << QStringList { "record", "--source", "synthetic", "--preview",
            uniqueName("nobody"), "--seconds", "1", "-o", "x.pb" }
                                                        << 1 << QByteArray("no light receiver named");
        QTest::newRow("analyse for an unknown receiver") << QStringList { "analyse", "--preview", uniqueName("nobody"),
            "x.png" } << 1 << QByteArray("was found on the local network within 5 s");
    }
    void badCommandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        const Run run = runCli(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), run.err.constData());
        QVERIFY2(run.out.isEmpty(), run.out.constData());
    }

    // A port already taken: the receiver says which, and what to do.
    void receiveOnAPortInUse()
    {
        net::UdpListener taken;
        QCOMPARE(taken.listen(), std::nullopt);
        const Run run = runCli({ "receive", "--port", QString::number(taken.port()) });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"cannot listen on UDP port %1: "_s.arg(taken.port()).toUtf8())
                && run.err.contains("choose another with --port"),
            run.err.constData());
    }

    // The desktop hands the browser's answer to 'corvex corvexapp://...', which
    // passes it to the sign-in that waits, or says why it could not.
    void handsTheSignInAnswerOver_data()
    {
        QTest::addColumn<QString>("waiting"); // "sign-in", "silent" (a socket that never answers), "" for none
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");
        const QString answer = u"corvexapp://callback?token=t0k&state=s7"_s;
        QTest::newRow("taken") << "sign-in" << answer << 0 << QByteArray();
        QTest::newRow("nobody waits") << "" << answer << 1 << QByteArray("no Corvex program is waiting for a sign-in");
        QTest::newRow("an address that is none")
            << "sign-in" << u"corvexapp://[x]/"_s << 1 << QByteArray("the browser's answer cannot be passed on");
        QTest::newRow("the waiting one never answers")
            << "silent" << answer << 1 << QByteArray("the waiting sign-in did not answer (no answer in time)");
    }
    void handsTheSignInAnswerOver()
    {
        QFETCH(QString, waiting);
        QFETCH(QString, url);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        QTemporaryDir runtime;
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const auto restore = qScopeGuard([&saved] { qputenv("XDG_RUNTIME_DIR", saved); });
        webauth::Session session([](const QUrl&) { return true; });
        std::optional<QCoro::Task<webauth::Session::Outcome>> signIn;
        QLocalServer silent;
        if (waiting == u"sign-in"_s)
            signIn = session.authenticate(QUrl(u"http://127.0.0.1:1/signin"_s), u"corvexapp"_s);
        else if (waiting == u"silent"_s)
            QVERIFY(silent.listen(webauth::Session::socketPath()));

        QProcess handing;
        handing.start(QStringLiteral(CORVEX_CLI), { url });
        QTRY_COMPARE_WITH_TIMEOUT(handing.state(), QProcess::NotRunning, 30000);
        const QByteArray err = handing.readAllStandardError();
        QCOMPARE(handing.exitCode(), exitCode);
        QVERIFY2(err.contains(said), err.constData());
        if (signIn) {
            QCOMPARE(session.isActive(), exitCode != 0);
            session.cancel();
            const auto outcome = QCoro::waitFor(std::move(*signIn));
            QCOMPARE(outcome.callback, exitCode == 0 ? std::optional(QUrl(url)) : std::nullopt);
        }
    }

    // Every command the tool lists answers --help, including ones added later.
    void everyCommandHasHelp_data()
    {
        QTest::addColumn<QString>("command");
        const Run usage = runCli({ "--help" });
        const qsizetype list = usage.out.indexOf("Commands:\n");
        int listed = 0;
        if (list >= 0) {
            for (const QByteArray& line : usage.out.mid(list + 10).split('\n')) {
                if (!line.startsWith("  "))
                    break;
                const QString name = QString::fromUtf8(line.trimmed().split(' ').first());
                QTest::newRow(qPrintable(name)) << name;
                ++listed;
            }
        }
        // The tool has sixteen commands; a list that reads as fewer is a broken list.
        if (listed < 16)
            QTest::newRow("the command list") << QString();
    }
    void everyCommandHasHelp()
    {
        QFETCH(QString, command);
        QVERIFY2(!command.isEmpty(), "'corvex --help' lists fewer commands than the tool has");
        const Run run = runCli({ command, "--help" });
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith("Usage: corvex " + command.toUtf8()), run.out.constData());
        // Each argument's name stands whole beside its description: a line of
        // the list with a name and nothing after it is a name cut in two.
        const qsizetype arguments = run.out.indexOf("\nArguments:\n");
        if (arguments >= 0)
            for (const QByteArray& line : run.out.mid(arguments + 12).split('\n'))
                if (line.startsWith("  ") && line.size() > 2 && line[2] != ' ')
                    QVERIFY2(line.mid(2).trimmed().contains("  "), run.out.constData());
    }

    // A program whose command modules are missing says which and what to do,
    // instead of failing at start-up for every command.
    void missingModulesAreNamed()
    {
        QTemporaryDir dir;
        const QString alone = dir.filePath(u"corvex"_s);
        QVERIFY(QFile::copy(QStringLiteral(CORVEX_CLI), alone));
        const Run run = runCli({ "inspect", "show.pb" }, 60000, alone);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(
            run.err.contains("corvex-inspect.so is missing") && run.err.contains("reinstall"), run.err.constData());
        QCOMPARE(runCli({ u"--help"_s }, 60000, alone).exitCode, 0);
    }

    // No screen, or no sound server: the advice names this command's next step, not the studio's.
    void recordWithoutAScreenSaysWhatToDo_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QByteArrayList>("said");
        QTest::newRow("no screen") << u"DISPLAY"_s
                                   << QByteArrayList { "screen capture is not available here",
                                          "then run 'corvex record' again" };
        QTest::newRow("no sound server") << u"PULSE_SERVER"_s
                                         << QByteArrayList { "nothing was written: System audio cannot be captured",
                                                "Or record the picture alone with --no-audio." };
    }
    void recordWithoutAScreenSaysWhatToDo()
    {
        QFETCH(QString, missing);
        QFETCH(QByteArrayList, said);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"WAYLAND_DISPLAY"_s);
        if (missing == u"DISPLAY"_s)
            environment.remove(missing);
        else if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X server to record without sound from (scripts/test-services starts one)");
        else
            environment.insert(missing, u"unix:/dev/null/none"_s);
        const Run run = runCli({ "record", "--source", "x11", "--seconds", "1", "-o", "x.pb" }, 60000,
            QStringLiteral(CORVEX_CLI), environment);
        QCOMPARE(run.exitCode, 1);
        for (const QByteArray& part : said)
            QVERIFY2(run.err.contains(part), run.err.constData());
        QVERIFY2(!run.err.contains("Recording window"), run.err.constData());
    }

    void recordListsTheSyntheticSource()
    {
        const Run list = runCli({ "record", "--source", "synthetic", "--list" });
        QCOMPARE(list.exitCode, 0);
        QVERIFY2(list.out.contains("1  Display: 1920 x 1080"), list.out.constData());
        QVERIFY2(list.out.contains("0x400002  corvex-synthetic-viewer: Test card"), list.out.constData());
    }

    // A window of the synthetic source, cropped. Stamps are differences taken
    // exactly: a machine up for weeks records the same steps as one just booted
    // (the monotonic clock moved in a time namespace).
    void recordStampsAlikeAtAnyUptime_data()
    {
        QTest::addColumn<int>("days");
        QTest::newRow("just booted") << 0;
        QTest::newRow("10 days") << 10;
        QTest::newRow("60 days") << 60;
    }
    void recordStampsAlikeAtAnyUptime()
    {
        QFETCH(int, days);
        if (days > 0 && QProcess::execute(u"unshare"_s, { "-T", "true" }) != 0)
            QSKIP("no time namespace here (needs root)");
        QTemporaryDir dir;
        const QString output = dir.filePath(u"up.pb"_s);
        const QStringList arguments { "record", "--source", "synthetic", "--window", "0x400002", u"--crop"_s,
            "0,0,0.5,0.5", "--seconds", "2", "-o", output };
        const Run run = days == 0
            ? runCli(arguments)
            : runCli(QStringList { "-T", "--monotonic", QString::number(days * 86400), QStringLiteral(CORVEX_CLI) }
                    + arguments,
                60000, u"unshare"_s);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.contains("frames") && run.err.contains("a signature takes a few seconds of sound"),
            run.err.constData());
        VideoAnalysis record;
        QVERIFY(test::readRecord(output, record));
        const std::set<std::uint32_t> distinct(record.timestamps().begin(), record.timestamps().end());
        QVERIFY2(record.timestamps_size() >= 15 && distinct.size() * 10 >= std::size_t(record.timestamps_size()) * 9,
            qPrintable(u"%1 distinct of %2"_s.arg(distinct.size()).arg(record.timestamps_size())));
    }

    void recordSavesWhatItHasOnInterrupt()
    {
        QTemporaryDir dir;
        const QString output = dir.filePath(u"interrupted.pb"_s);
        QProcess process;
        process.start(QStringLiteral(CORVEX_CLI), { "record", "--source", "synthetic", "-o", output });
        QVERIFY(process.waitForStarted());
        QByteArray progress;
        auto killer = qScopeGuard([&] {
            process.kill();
            process.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT((progress += process.readAllStandardError()).contains("frames"), 20000);
        process.terminate(); // SIGTERM, handled like Ctrl-C
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().contains("interrupted"));
        QVERIFY(QFileInfo(output).size() > 0);
    }

    void inspectSummarisesDrawsAndWritesJson()
    {
        QTemporaryDir dir;
        const QString path = writeRecord(dir, "ok.pb", validRecord(4));
        const QString png = dir.filePath(u"timeline.png"_s);
        const Run run = runCli({ "inspect", "--png", png, path });
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("frames:         4"), run.out.constData());
        QVERIFY(run.out.contains("duration:       0.09 s"));
        QVERIFY(run.out.contains("frame rate:     33.33 frames/s")); // 3 intervals in 0.09 s
        QVERIFY(run.out.contains("signature:      3 bytes"));
        QVERIFY(run.out.contains("#02c8fe")); // mean of r 0..3, g 200, b 255..252
        const QImage image(png);
        QCOMPARE(image.size(), QSize(4, 72));
        QCOMPARE(image.pixelColor(3, 70), QColor(3, 200, 252));
        const Run unwritable = runCli({ "inspect", "--png", dir.filePath(u"no such folder/timeline.png"_s), path });
        QCOMPARE(unwritable.exitCode, 1);
        QVERIFY2(unwritable.err.contains("cannot write the timeline"), unwritable.err.constData());

        const QJsonObject json = QJsonDocument::fromJson(runCli({ "inspect", "--json", path }).out).object();
        QCOMPARE(json.value(u"timestamps"_s).toArray().size(), 4);
        QCOMPARE(json.value(u"channels"_s).toArray().size(), 9);
        QCOMPARE(json.value(u"signature"_s).toString(),
            u"c2ln"_s); // base64 of "sig"
    }

    void inspectRefusesWhatIsNotALightShow_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reason");
        QByteArray truncated = validRecord(3);
        truncated.chop(7);
        QByteArray png;
        {
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            halves(Qt::red, Qt::blue).save(&buffer, "PNG");
        }
        VideoAnalysis uneven = analysis::initialVideoAnalysis();
        uneven.add_timestamps(1);
        QTest::newRow("empty file") << QByteArray() << QByteArray("expected 9 channels, found 0");
        QTest::newRow("truncated") << truncated << QByteArray("does not decode");
        QTest::newRow("a PNG image") << png << QByteArray("not a");
        QTest::newRow("lists shorter than time stamps")
            << QByteArray::fromStdString(uneven.SerializeAsString()) << QByteArray("0 r values for 1 time stamps");
        QTest::newRow("varint running off the end")
            << QByteArray::fromHex("08ffffffff") << QByteArray("does not decode");
        QTest::newRow("length beyond the end") << QByteArray::fromHex("12ff01") << QByteArray("does not decode");
    }
    void inspectRefusesWhatIsNotALightShow()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reason);
        QTemporaryDir dir;
        const Run run = runCli({ "inspect", writeRecord(dir, "bad.pb", bytes) });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(reason), run.err.constData());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY(run.out.isEmpty());
    }

    void matchFindsWhereAClipWasCut()
    {
        QTemporaryDir dir;
        const auto soundtrack = test::melody(90, 44100, 21);
        const QString sound = dir.filePath(u"soundtrack.wav"_s);
        const QString clip = dir.filePath(u"clip.wav"_s);
        const QString unrelated = dir.filePath(u"other.wav"_s);
        QVERIFY(test::writeWav(sound.toStdString(), soundtrack, 44100, 2));
        QVERIFY(test::writeWav(clip.toStdString(),
            std::vector<float>(soundtrack.begin() + 31 * 44100 + 4410, soundtrack.begin() + 41 * 44100 + 4410)));
        QVERIFY(test::writeWav(unrelated.toStdString(), test::melody(10, 22050, 22), 22050));
        const QString frame = writeImage(dir, "frame.png", halves(Qt::red, Qt::blue));
        const QString record = dir.filePath(u"show.pb"_s);
        QCOMPARE(runCli({ u"analyse"_s, u"--audio"_s, sound, u"-o"_s, record, frame }).exitCode, 0);

        const Run found = runCli({ "match", record, clip });
        QCOMPARE(found.exitCode, 0);
        const QRegularExpressionMatch offset
            = QRegularExpression(u"offset ([0-9.]+) s, confidence ([0-9.]+)"_s).match(QString::fromUtf8(found.out));
        QVERIFY2(offset.hasMatch(), found.out.constData());
        QVERIFY2(std::abs(offset.captured(1).toDouble() - 31.1) <= 0.15, found.out.constData());

        const Run missing = runCli({ "match", record, unrelated });
        QCOMPARE(missing.exitCode, 1);
        QVERIFY(missing.out.startsWith("no match"));

        const Run silent = runCli({ "match", writeRecord(dir, "silent.pb", validRecord(2)), clip });
        QCOMPARE(silent.exitCode, 1);
        QVERIFY2(silent.err.contains("no usable soundtrack signature"), silent.err.constData());
    }

    void inspectSurvivesRandomBytes()
    {
        QTemporaryDir dir;
        std::mt19937 random(7);
        const QByteArray good = validRecord(5);
        for (int i = 0; i < 40; ++i) {
            QByteArray bytes = good;
            for (int k = 0; k < 1 + i % 5; ++k)
                bytes[int(random() % std::uint32_t(bytes.size()))] = char(random());
            const Run run = runCli({ "inspect", writeRecord(dir, "fuzz.pb", bytes) });
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, run.err.constData());
        }
    }

    // Each datagram is checked; only live colour messages are shown, as JSON lines or as the grid.
    void receiveShowsOnlyLiveColourMessages_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("json lines") << true;
        QTest::newRow("grid") << false;
    }
    void receiveShowsOnlyLiveColourMessages()
    {
        REQUIRE_DAEMON();
        QFETCH(bool, json);
        ReceiveProcess receiver(QStringList { "--name", uniqueName(json ? "json" : "grid"), "--count", "3" }
            + (json ? QStringList { "--json" } : QStringList()));
        const std::uint16_t port = receiver.waitUntilAnnounced();
        QVERIFY(port != 0);
        net::UdpConnection connection(INADDR_LOOPBACK, port);
        connection.start();
        const QList<QByteArray> datagrams {
            "hello",
            R"({"00":{"r":1,"g":2,"b":3}})", // one cell of nine
            message(0).replace("\"r\":0", "\"r\":256"), // out of range
            message(0).chopped(1) + R"(,"33":{"r":0,"g":0,"b":0}})", // a tenth cell
            message(0), // components 0..4
            message(251), // 251..255
            message(20),
        };
        for (const QByteArray& datagram : datagrams)
            QCOMPARE(connection.send(datagram), std::nullopt);

        const Run run = receiver.finish();
        QCOMPARE(run.exitCode, 0);
        QVERIFY(receiver.endedByItself()); // after the third
        if (json) {
            QCOMPARE(run.out, message(0) + '\n' + message(251) + '\n' + message(20) + '\n');
            QVERIFY2(
                run.err.contains("not a live colour message") && run.err.contains("; 4 so far"), run.err.constData());
        } else {
            // Row 1 of the last message, cell by cell from the left, in true colour; the grid redrawn in place.
            const auto cell = [](const char* rgb) { return "\x1b[48;2;" + QByteArray(rgb) + "m        \x1b[0m"; };
            QVERIFY(run.out.contains('\r' + cell("20;21;21") + cell("21;21;22") + cell("22;21;23") + "\x1b[K\n"));
            QVERIFY(run.out.contains("\x1b[7A"));
            QVERIFY2(run.out.contains("3 messages, 4 not live colour messages"), run.out.constData());
        }
    }

    // The receiver is found, and every frame analysed reaches it; standard output
    // holds the messages alone while the preview link logs all it does.
    void discoverAndAnalyseReachTheReceiver()
    {
        REQUIRE_DAEMON();
        // A name at the 63-byte limit of a DNS-SD label, in two-byte characters.
        QString name = uniqueName("studio") + u'-';
        if (name.size() % 2 == 0)
            name += u'-';
        name += QString((63 - name.size()) / 2, u'\u00e9');
        ReceiveProcess receiver({ "--name", name, "--json" });
        const std::uint16_t port = receiver.waitUntilAnnounced();
        QVERIFY(port != 0);

        const Run discovered = runCli({ "discover", "--seconds", "1" });
        QCOMPARE(discovered.exitCode, 0);
        const QRegularExpression row(u"^%1\\s+127\\.0\\.0\\.1\\s+%2$"_s.arg(QRegularExpression::escape(name)).arg(port),
            QRegularExpression::MultilineOption);
        QVERIFY2(
            row.match(QString::fromUtf8(discovered.out)).hasMatch(), (discovered.out + discovered.err).constData());

        QTemporaryDir frames;
        QCOMPARE(runCli({ "make-frames", "--count", "6", "--size", "40x24", frames.path() }).exitCode, 0);
        QStringList images;
        for (int i = 0; i < 6; ++i)
            images.append(frames.filePath(u"frame-%1.png"_s.arg(i, 4, 10, QLatin1Char('0'))));
        // A receiver is picked by its whole name, never by its first letters.
        const Run prefix = runCli({ "analyse", "--preview", name.chopped(1), images.first() });
        QVERIFY2(prefix.exitCode == 1 && prefix.err.contains("was found on the local network"), prefix.err.constData());
        QProcessEnvironment verbose = QProcessEnvironment::systemEnvironment();
        verbose.insert(u"QT_LOGGING_RULES"_s, u"corvex.*=true"_s);
        const Run analysed = runCli(QStringList { "analyse", "--fps", "20", "--preview", name } + images, 60000,
            QStringLiteral(CORVEX_CLI), verbose);
        QCOMPARE(analysed.exitCode, 0);
        QVERIFY2(analysed.err.contains("Discovered service"), analysed.err.constData());
        const QList<QByteArray> sent = analysed.out.split('\n').mid(0, 6);
        QCOMPARE(analysed.out.count('\n'), 6);
        for (const QByteArray& line : sent)
            QVERIFY2(analysis::decodeLiveColourMessage(line.toStdString()), line.constData());

        // The last frame is never replaced, so it arrives.
        QTRY_VERIFY_WITH_TIMEOUT(receiver.output().contains(sent.last()), 10000);
        const Run received = receiver.stop();
        QCOMPARE(received.exitCode, 0);
        const QList<QByteArray> got = received.out.trimmed().split('\n');
        // The first messages may be replaced while the receiver resolves; from then on every frame arrives, in order.
        QVERIFY2(got.size() <= sent.size(), received.out.constData());
        QCOMPARE(got, sent.mid(sent.size() - got.size()));
    }
};

QTEST_MAIN(TestCorvexCli)
#include "tst_corvex_cli.moc"
