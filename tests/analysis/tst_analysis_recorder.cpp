#include "raster.h"
#include "support/recorded.h"
#include "support/tones.h"

#include "analysis/analysis_recorder.h"
#include "analysis/video_analysis_record.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/media/pcm_buffer.h"

#include <QSignalSpy>
#include <QTest>

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

std::shared_ptr<media::PixelBuffer> grey(std::uint8_t value)
{
    return test::makeRaster(5, 5, [=](int, int) { return test::Bgr { value, value, value }; });
}

// Feeds `samples` (mono, at `rate`) as planar buffers of `channels` identical channels.
void feedAudio(AnalysisRecorder& recorder, const std::vector<float>& samples, double rate, std::uint32_t channels,
    double startSeconds, std::uint32_t framesPerBuffer = 1024)
{
    for (std::size_t start = 0; start < samples.size(); start += framesPerBuffer) {
        const auto n = std::uint32_t(std::min<std::size_t>(framesPerBuffer, samples.size() - start));
        auto buffer = media::PcmBuffer::create(media::AudioFormat::standard(rate, channels), n);
        buffer->setFrameLength(n);
        for (std::uint32_t c = 0; c < channels; ++c)
            std::copy_n(samples.data() + start, n, buffer->floatChannel(c));
        recorder.appendAudioBuffer(*buffer, seconds(startSeconds + double(start) / rate));
    }
}

} // namespace

class TestAnalysisRecorder final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stopRightAfterStartGivesTheInitialRecord()
    {
        AnalysisRecorder recorder(nullptr);
        QSignalSpy started(&recorder, &AnalysisRecorder::startedChanged);
        recorder.start();
        QVERIFY(recorder.started());
        const auto bytes = recorder.stop();
        QVERIFY(!recorder.started());
        QCOMPARE(started.count(), 2);
        const VideoAnalysis record = test::parseRecord(bytes);
        QCOMPARE(record.channels_size(), 9);
        QCOMPARE(record.timestamps_size(), 0);
        QVERIFY(!analysis::findInvariantViolation(record));
    }

    void timeOrigin_data()
    {
        QTest::addColumn<double>("audioAt"); // < 0: no audio
        QTest::addColumn<double>("videoAt");
        QTest::addColumn<quint32>("timestamp");
        QTest::newRow("audio first") << 10.0 << 10.5 << 50u;
        QTest::newRow("video first") << -1.0 << 10.5 << 0u;
        QTest::newRow("single precision at 100000 s") << 100000.0 << 100000.01 << 0u;
    }
    void timeOrigin()
    {
        QFETCH(double, audioAt);
        QFETCH(double, videoAt);
        QFETCH(quint32, timestamp);
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        if (audioAt >= 0)
            feedAudio(recorder, std::vector<float>(480, 0.1f), 48000, 2, audioAt);
        recorder.appendVideoFrame(*grey(9), seconds(videoAt));
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(record.timestamps_size(), 1);
        QCOMPARE(record.timestamps(0), timestamp);
    }

    void buffersOutsideARecordingChangeNothing()
    {
        AnalysisRecorder recorder(nullptr);
        recorder.appendVideoFrame(*grey(1), seconds(1)); // before the first start
        recorder.start();
        recorder.appendVideoFrame(*grey(2), seconds(5));
        recorder.appendVideoFrame(*grey(3), seconds(5.25));
        const QByteArray first = *recorder.stop();
        recorder.appendVideoFrame(*grey(4), seconds(6));
        feedAudio(recorder, test::melody(2, 48000, 1), 48000, 1, 6);
        QCOMPARE(*recorder.stop(), first); // stopping again gives the same record
        const VideoAnalysis record = test::parseRecord(first);
        QCOMPARE(record.timestamps_size(), 2);
        QCOMPARE(record.timestamps(1), 25u);
        QCOMPARE(record.channels(0).r(1), 3u);
        recorder.start(); // a new recording starts empty, with a new origin
        recorder.appendVideoFrame(*grey(5), seconds(100));
        QCOMPARE(test::parseRecord(recorder.stop()).timestamps(0), 0u);
    }

    void everyFrameBuildsAMessageWithOrWithoutAReceiver()
    {
        AnalysisRecorder recorder(nullptr);
        QList<QByteArray> messages;
        recorder.setLiveMessageObserver([&](const QByteArray& message) { messages.append(message); });
        recorder.start();
        recorder.appendVideoFrame(*grey(200), seconds(1));
        recorder.appendVideoFrame(*grey(7), seconds(2));
        recorder.stop();
        recorder.appendVideoFrame(*grey(8), seconds(3));
        QCOMPARE(messages.size(), 2);
        QVERIFY(messages[1].contains("\"11\":{\"r\":7,\"g\":7,\"b\":7}"));
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
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        const auto items = fingerprint::decodeSignature(record.signature());
        QVERIFY(items);
        // About 40 s of sound made it into the signature, and a clip of the
        // second half is found where it was played.
        QVERIFY2(std::abs(double(items->size()) * fingerprint::signatureItemSeconds() - 40) < 3.5,
            qPrintable(QString::number(items->size())));
        AnalysisRecorder clipRecorder(nullptr);
        clipRecorder.start();
        feedAudio(clipRecorder, std::vector<float>(tune.begin() + 30 * 48000, tune.begin() + 38 * 48000), 48000, 1, 0);
        const auto clip = fingerprint::decodeSignature(test::parseRecord(clipRecorder.stop()).signature());
        QVERIFY(clip);
        const auto match = fingerprint::locateClip(*items, *clip);
        QVERIFY(match);
        QVERIFY2(std::abs(match->offsetSeconds - 30) <= 0.15, qPrintable(QString::number(match->offsetSeconds)));
    }

    void longRecordingsDoNotDrift()
    {
        // 10 minutes at 44.1 kHz in 1024-frame buffers: each buffer's share of
        // output frames is 371.5, so truncating it would lose 10 s an hour.
        const double minutes = 10;
        const auto tune = test::melody(minutes * 60, 44100, 12);
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        feedAudio(recorder, tune, 44100, 2, 0);
        const auto items = fingerprint::decodeSignature(test::parseRecord(recorder.stop()).signature());
        AnalysisRecorder clipRecorder(nullptr);
        clipRecorder.start();
        const auto from = tune.begin() + std::ptrdiff_t(9 * 60 * 44100);
        feedAudio(clipRecorder, std::vector<float>(from, from + 10 * 44100), 44100, 2, 0);
        const auto clip = fingerprint::decodeSignature(test::parseRecord(clipRecorder.stop()).signature());
        QVERIFY(items && clip);
        const auto match = fingerprint::locateClip(*items, *clip);
        QVERIFY(match);
        QVERIFY2(std::abs(match->offsetSeconds - 540) <= 0.15, qPrintable(QString::number(match->offsetSeconds)));
    }

    void unusableAudioIsSkippedAndTheRecordingGoesOn()
    {
        AnalysisRecorder recorder(nullptr);
        recorder.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unusable sample rate")));
        float samples[64] = {};
        auto tooFast = media::PcmBuffer::wrap(media::AudioFormat::standard(5e9, 1), 64, { samples });
        recorder.appendAudioBuffer(*tooFast, seconds(1));
        recorder.appendAudioBuffer(*tooFast, seconds(1.1)); // the same cause is reported once
        recorder.appendVideoFrame(*grey(3), seconds(1.5));
        const VideoAnalysis record = test::parseRecord(recorder.stop());
        QCOMPARE(record.timestamps_size(), 1);
        QCOMPARE(record.timestamps(0), 50u);
    }

    void capturingThreadsAndStopsNeverTearARecord()
    {
        AnalysisRecorder recorder(nullptr);
        std::atomic<bool> running { true };
        std::thread video([&] {
            auto frame = grey(100);
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
