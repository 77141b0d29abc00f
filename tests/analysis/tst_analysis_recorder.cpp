#include "raster.h"
#include "support/recorded.h"
#include "support/tones.h"

#include "analysis/analysis_recorder.h"
#include "analysis/video_analysis_record.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/media/pcm_buffer.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <atomic>
#include <thread>

using namespace corvex;
using analysis::AnalysisRecorder;
using media::MediaTime;

namespace {

MediaTime seconds(double value)
{
    return MediaTime::fromNanoseconds(std::llround(value * 1e9));
}

// Feeds `samples` (mono, at `rate`) as buffers of `channels` identical channels, planar or interleaved.
void feedAudio(AnalysisRecorder& recorder, const std::vector<float>& samples, double rate, std::uint32_t channels,
    double startSeconds, std::uint32_t framesPerBuffer = 1024, bool interleaved = false)
{
    media::AudioFormat format = media::AudioFormat::standard(rate, channels);
    format.interleaved = interleaved;
    for (std::size_t start = 0; start < samples.size(); start += framesPerBuffer) {
        const auto n = std::uint32_t(std::min<std::size_t>(framesPerBuffer, samples.size() - start));
        auto buffer = media::PcmBuffer::create(format, n);
        buffer->setFrameLength(n);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < n; ++i)
                buffer->floatChannel(c)[std::size_t(i) * buffer->stride()] = samples[start + i];
        recorder.appendAudioBuffer(*buffer, seconds(startSeconds + double(start) / rate));
    }
}

// Seconds [from, to) of `samples` at `rate`.
std::vector<float> slice(const std::vector<float>& samples, double rate, double from, double to)
{
    return { samples.begin() + std::llround(from * rate), samples.begin() + std::llround(to * rate) };
}

// The signature of a recording of `samples` alone.
std::string signatureOfSound(
    const std::vector<float>& samples, double rate, std::uint32_t channels = 2, std::uint32_t framesPerBuffer = 1024)
{
    AnalysisRecorder recorder(nullptr);
    recorder.start();
    feedAudio(recorder, samples, rate, channels, 0, framesPerBuffer);
    return test::parseRecord(recorder.stop()).signature();
}

// Where in `signature` a recording of seconds [from, to) of `tune` is found; -1 when it is not.
double clipOffset(const std::string& signature, const std::vector<float>& tune, double rate, double from, double to)
{
    const auto items = fingerprint::decodeSignature(signature);
    const auto clip = fingerprint::decodeSignature(signatureOfSound(slice(tune, rate, from, to), rate, 1));
    const auto match = items && clip ? fingerprint::locateClip(*items, *clip) : std::nullopt;
    return match ? match->offsetSeconds : -1;
}

// A stretch of captured sound: seconds [from, to) of a tune, stamped from `at`.
struct Stretch {
    double at;
    double from;
    double to;
};
// What the signature should have heard: seconds [from, to) of the tune, or
// silence for `to` seconds when `from` is negative.
struct Heard {
    double from;
    double to;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Stretch>)
Q_DECLARE_METATYPE(std::vector<Heard>)
Q_DECLARE_METATYPE(std::vector<double>)
Q_DECLARE_METATYPE(std::vector<quint32>)

class TestAnalysisRecorder final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Time zero is the first buffer of either kind; a frame with no usable
    // time, or earlier than the one before it, is left out and counted.
    void frameTimes_data()
    {
        QTest::addColumn<double>("audioAt"); // < 0: no audio
        QTest::addColumn<std::vector<double>>("frames"); // NaN: no time
        QTest::addColumn<std::vector<quint32>>("timestamps");
        QTest::addColumn<int>("leftOut");
        const double none = std::nan("");
        using F = std::vector<double>;
        using T = std::vector<quint32>;
        QTest::newRow("audio first") << 10.0 << F { 10.5 } << T { 50 } << 0;
        QTest::newRow("video first") << -1.0 << F { 10.5, 11 } << T { 0, 50 } << 0;
        QTest::newRow("exact at 100000 s") << 100000.0 << F { 100000.01 } << T { 1 } << 0;
        QTest::newRow("equal times") << -1.0 << F { 1, 1.5, 1.5 } << T { 0, 50, 50 } << 0;
        QTest::newRow("a frame runs back") << -1.0 << F { 1, 1.5, 1.2, 2 } << T { 0, 50, 100 } << 1;
        QTest::newRow("within a hundredth back") << -1.0 << F { 1, 1.509, 1.501 } << T { 0, 50 } << 1;
        QTest::newRow("no time") << -1.0 << F { 1, none, 1.5 } << T { 0, 50 } << 1;
        QTest::newRow("before the sound began") << 10.0 << F { 9.5, 9.995, 10.5 } << T { 0, 50 } << 1;
    }
    void frameTimes()
    {
        QFETCH(double, audioAt);
        QFETCH(std::vector<double>, frames);
        QFETCH(std::vector<quint32>, timestamps);
        QFETCH(int, leftOut);
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        if (audioAt >= 0)
            feedAudio(recorder, std::vector<float>(480, 0.1f), 48000, 2, audioAt);
        if (leftOut > 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"frame was left out"_s));
        for (const double at : frames)
            recorder.appendVideoFrame(*test::grey(9), std::isnan(at) ? MediaTime::invalid() : seconds(at));
        QCOMPARE(recorder.framesLeftOut(), leftOut);
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(std::vector<quint32>(record.timestamps().begin(), record.timestamps().end()), timestamps);
        recorder.start();
        QCOMPARE(recorder.framesLeftOut(), 0);
    }

    // Only frames between start and stop are recorded, each making a live
    // message with or without a receiver; stopping again gives the same record.
    void buffersOutsideARecordingChangeNothing()
    {
        AnalysisRecorder recorder(nullptr);
        QSignalSpy started(&recorder, &AnalysisRecorder::startedChanged);
        QList<QByteArray> messages;
        recorder.setLiveMessageObserver([&](const QByteArray& message) { messages.append(message); });
        recorder.appendVideoFrame(*test::grey(1), seconds(1)); // before the first start
        recorder.start();
        QVERIFY(recorder.started());
        const VideoAnalysis initial = test::parseRecord(recorder.stop());
        QVERIFY(!recorder.started());
        QCOMPARE(started.count(), 2);
        QCOMPARE(initial.channels_size(), 9);
        QCOMPARE(initial.timestamps_size(), 0);
        QVERIFY(!analysis::findInvariantViolation(initial));
        recorder.start();
        recorder.appendVideoFrame(*test::grey(2), seconds(5));
        recorder.appendVideoFrame(*test::grey(3), seconds(5.25));
        const QByteArray first = *recorder.stop();
        recorder.appendVideoFrame(*test::grey(4), seconds(6));
        feedAudio(recorder, test::melody(2, 48000, 1), 48000, 1, 6);
        QCOMPARE(*recorder.stop(), first);
        const VideoAnalysis record = test::parseRecord(first);
        QCOMPARE(record.timestamps_size(), 2);
        QCOMPARE(record.timestamps(1), 25u);
        QCOMPARE(record.channels(0).r(1), 3u);
        QCOMPARE(messages.size(), 2);
        QVERIFY(messages[1].contains("\"11\":{\"r\":3,\"g\":3,\"b\":3}"));
        recorder.start(); // a new recording starts empty, with a new origin
        recorder.appendVideoFrame(*test::grey(5), seconds(100));
        QCOMPARE(test::parseRecord(recorder.stop()).timestamps(0), 0u);
    }

    void aFormatChangeKeepsOneSignature()
    {
        const auto tune = test::melody(40, 48000, 11);
        const std::vector<float> firstHalf(tune.begin(), tune.begin() + 20 * 48000);
        std::vector<float> secondHalf;
        // The same sound goes on at 44.1 kHz, mono: resample naively by picking samples.
        for (double t = 20; t < 40; t += 1.0 / 44100)
            secondHalf.push_back(tune[std::size_t(t * 48000)]);
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        feedAudio(recorder, firstHalf, 48000, 2, 0);
        feedAudio(recorder, secondHalf, 44100, 1, 20);
        const std::string signature = test::parseRecord(recorder.stop()).signature();
        // About 40 s of sound made it into the signature, and a clip of the
        // second half is found where it was played.
        const auto items = fingerprint::decodeSignature(signature);
        QVERIFY(items);
        QVERIFY2(std::abs(double(items->size()) * fingerprint::signatureItemSeconds() - 40) < 3.5,
            qPrintable(QString::number(items->size())));
        const double offset = clipOffset(signature, tune, 48000, 30, 38);
        QVERIFY2(std::abs(offset - 30) <= 0.15, qPrintable(QString::number(offset)));
    }

    // The signature lies on the record's time line: sound that starts after
    // the first frame, pauses, or is stamped before time zero or twice gives
    // the signature of what was heard from time zero on, silences included.
    void theSignatureFollowsTheTimeLine_data()
    {
        QTest::addColumn<double>("videoAt"); // < 0: no video
        QTest::addColumn<std::vector<Stretch>>("captured");
        QTest::addColumn<std::vector<Heard>>("heard");
        QTest::newRow("sound first") << -1.0 << std::vector<Stretch> { { 50, 0, 5 } }
                                     << std::vector<Heard> { { 0, 5 } };
        QTest::newRow("sound 1.5 s after the first frame")
            << 50.0 << std::vector<Stretch> { { 51.5, 0, 4 } } << std::vector<Heard> { { -1, 1.5 }, { 0, 4 } };
        QTest::newRow("sound pauses for 2 s") << 50.0 << std::vector<Stretch> { { 50, 0, 2 }, { 54, 4, 6 } }
                                              << std::vector<Heard> { { 0, 2 }, { -1, 2 }, { 4, 6 } };
        QTest::newRow("sound from before the first frame")
            << 50.0 << std::vector<Stretch> { { 49, 0, 6 } } << std::vector<Heard> { { 1, 6 } };
        QTest::newRow("a stretch stamped twice, from within a buffer")
            << -1.0 << std::vector<Stretch> { { 50, 0, 3 }, { 52.51, 2.51, 6 } } << std::vector<Heard> { { 0, 6 } };
        QTest::newRow("stamps a little off")
            << -1.0 << std::vector<Stretch> { { 50, 0, 3 }, { 53.02, 3, 6 } } << std::vector<Heard> { { 0, 6 } };
    }
    void theSignatureFollowsTheTimeLine()
    {
        QFETCH(double, videoAt);
        QFETCH(std::vector<Stretch>, captured);
        QFETCH(std::vector<Heard>, heard);
        const double rate = 48000;
        const auto tune = test::melody(6, rate, 14);
        std::vector<float> samples;
        for (const Heard& part : heard) {
            const auto sound = part.from < 0 ? std::vector<float>(std::size_t(std::llround(part.to * rate)), 0.0f)
                                             : slice(tune, rate, part.from, part.to);
            samples.insert(samples.end(), sound.begin(), sound.end());
        }
        const std::string expected = signatureOfSound(samples, rate, 2, 960);
        for (const bool interleaved : { false, true }) {
            AnalysisRecorder recorder(nullptr);
            recorder.start();
            if (videoAt >= 0)
                recorder.appendVideoFrame(*test::grey(1), seconds(videoAt));
            for (const Stretch& stretch : captured)
                feedAudio(recorder, slice(tune, rate, stretch.from, stretch.to), rate, 2, stretch.at, 960, interleaved);
            QCOMPARE(test::parseRecord(recorder.stop()).signature(), expected);
        }
    }

    // The signature of 16-bit sound is, byte for byte, the fingerprint that the
    // fingerprinting library's own tool computes from a WAV file of it. (Sound
    // resampled twice, or otherwise than that tool does, differs in a few bits
    // of long noisy sound.)
    void theSignatureIsTheFingerprintToolsOwn_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("seconds");
        QTest::newRow("three minutes, 48 kHz stereo") << 48000 << 2 << 180;
        QTest::newRow("44.1 kHz mono") << 44100 << 1 << 30;
        QTest::newRow("11025 Hz mono: no resampling") << 11025 << 1 << 30;
    }
    void theSignatureIsTheFingerprintToolsOwn()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, seconds);
        const QString tool = QStandardPaths::findExecutable(u"fpcalc"_s);
        const QString ffmpeg = QStandardPaths::findExecutable(u"ffmpeg"_s);
        if (tool.isEmpty() || ffmpeg.isEmpty())
            QSKIP("fpcalc or ffmpeg is not installed (apt-get install libchromaprint-tools ffmpeg)");
        QTemporaryDir folder;
        const QString wav = folder.filePath(u"sound.wav"_s);
        const auto run = [](const QString& program, const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit
                ? process.readAllStandardOutput().trimmed()
                : QByteArray();
        };
        // Beeps over pink noise, every channel alike.
        run(ffmpeg,
            { "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                u"sine=f=220:beep_factor=4:d=%1:sample_rate=%2"_s.arg(seconds).arg(rate), "-f", "lavfi", "-i",
                u"anoisesrc=d=%1:c=pink:a=0.15:r=%2:seed=1"_s.arg(seconds).arg(rate), "-filter_complex",
                channels == 2 ? "[0][1]amix=inputs=2,pan=stereo|c0=c0|c1=c0" : "[0][1]amix=inputs=2", "-c:a",
                "pcm_s16le", "-fflags", "+bitexact", wav });
        // The first channel (all are alike) as a sound file reader hands it over.
        QFile file(wav);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const qsizetype data = bytes.indexOf("data", 12) + 8;
        QVERIFY(data > 8);
        std::vector<float> sound;
        for (qsizetype at = data; at + 2 * channels <= bytes.size(); at += 2 * channels)
            sound.push_back(float(std::int16_t(std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8)) / 32768);
        const QByteArray expected = run(tool, { "-length", "0", "-plain", wav });
        QVERIFY(!expected.isEmpty());

        const std::string signature = signatureOfSound(sound, rate, std::uint32_t(channels));
        QCOMPARE(QByteArray::fromStdString(signature).toBase64(
                     QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
            expected);
    }

    // Each recording's signature holds its own sound: nothing of the previous
    // recording's end lingers in the converter, and that end is not lost either.
    void eachRecordingHearsOnlyItsOwnSound()
    {
        const auto first = test::melody(5, 44100, 15);
        const auto second = test::melody(5, 44100, 16);
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        feedAudio(recorder, first, 44100, 2, 0);
        recorder.stop();
        recorder.start();
        feedAudio(recorder, second, 44100, 2, 10);
        QCOMPARE(test::parseRecord(recorder.stop()).signature(), signatureOfSound(second, 44100));
    }

    void longRecordingsDoNotDrift()
    {
        // 10 minutes at 44.1 kHz in 1024-frame buffers: each buffer's share of
        // output frames is 371.5, so truncating it would lose 10 s an hour.
        const double minutes = 10;
        const auto tune = test::melody(minutes * 60, 44100, 12);
        const double offset = clipOffset(signatureOfSound(tune, 44100), tune, 44100, 540, 550);
        QVERIFY2(std::abs(offset - 540) <= 0.15, qPrintable(QString::number(offset)));
    }

    void unusableAudioIsSkippedAndTheRecordingGoesOn()
    {
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"unusable sample rate"_s));
        float samples[64] = {};
        auto tooFast = media::PcmBuffer::wrap(media::AudioFormat::standard(5e9, 1), 64, { samples });
        recorder.appendAudioBuffer(*tooFast, seconds(1));
        recorder.appendAudioBuffer(*tooFast, seconds(1.1)); // the same cause is reported once
        recorder.appendVideoFrame(*test::grey(3), seconds(1.5));
        // After a pause, no silence is made of a format that cannot be converted
        // (a terahertz rate would make it without end).
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"unusable sample rate"_s));
        auto absurd = media::PcmBuffer::wrap(media::AudioFormat::standard(1e12, 1), 64, { samples });
        recorder.appendAudioBuffer(*absurd, seconds(300));
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(record.timestamps_size(), 1);
        QCOMPARE(record.timestamps(0), 50u);
    }

    void capturingThreadsAndStopsNeverTearARecord()
    {
        AnalysisRecorder recorder(nullptr);
        std::atomic<bool> running { true };
        std::thread video([&] {
            auto frame = test::grey(100);
            for (double t = 0; running; t += 1.0 / 30)
                recorder.appendVideoFrame(*frame, seconds(t));
        });
        std::thread audio([&] {
            const std::vector<float> noise = test::melody(0.5, 48000, 13);
            for (double t = 0; running; t += 0.5)
                feedAudio(recorder, noise, 48000, 2, t);
        });
        int records = 0;
        for (int i = 0; i < 200; ++i) {
            recorder.start();
            QTest::qWait(1);
            const VideoAnalysis record = test::parseRecord(recorder.stop());
            const auto problem = analysis::findInvariantViolation(record);
            QVERIFY2(!problem, problem ? problem->c_str() : "");
            records += record.timestamps_size() > 0;
        }
        running = false;
        video.join();
        audio.join();
        QVERIFY(records > 0);
    }
};

int runAnalysisRecorderTests(int argc, char** argv)
{
    TestAnalysisRecorder test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_analysis_recorder.moc"
