// Reading sound files: for 'corvex analyse --audio' in buffers that keep their
// place, and a clip's sound for 'corvex match', where a conversion that fails
// part of the way must fail the whole clip, never hand back the part before it.

#include "sound_file.h"

#include "platform/fingerprint/signature_generator.h"
#include "support/tones.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace corvex;

namespace {

constexpr int kRate = 44100;
constexpr double kSeconds = 3;

} // namespace

class TestSoundFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Where in the file the converter fails: on its first call, part of the
    // way through, or when its filter's tail is flushed at the end.
    void aConversionFailureFailsTheClip_data()
    {
        QTest::addColumn<int>("failingCall"); // 0: none fails; -1: the flush at the end
        QTest::newRow("nothing fails") << 0;
        QTest::newRow("the first call") << 1;
        QTest::newRow("part of the way") << 12;
        QTest::newRow("the flush at the end") << -1;
    }
    void aConversionFailureFailsTheClip()
    {
        QFETCH(int, failingCall);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(u"clip.wav"_s);
        QVERIFY(test::writeWav(path.toStdString(), test::melody(kSeconds, kRate, 7), kRate, 2));
        int calls = 0;
        const cli::ConvertStep step = [&](media::AudioConverter& converter, media::PcmBuffer& output,
                                          const media::AudioConverter::InputBlock& input)
            -> Result<media::AudioConverter::OutputStatus, std::string> {
            ++calls;
            bool endOfStream = false;
            const auto watched = [&](media::AudioConverter::InputStatus& status) -> const media::PcmBuffer* {
                const media::PcmBuffer* buffer = input(status);
                endOfStream = endOfStream || status == media::AudioConverter::InputStatus::EndOfStream;
                return buffer;
            };
            auto result = converter.convert(output, watched);
            if (calls == failingCall || (failingCall == -1 && endOfStream))
                return Result<media::AudioConverter::OutputStatus, std::string>::failure("resampling failed: test");
            return result;
        };
        const Result<std::vector<float>> samples = cli::signatureSamplesOfSoundFile(path, step);
        if (failingCall == 0) {
            QVERIFY2(samples, qPrintable(samples.error));
            // Every second of the clip, at the signature's rate, give or take the filter's edges.
            const double expected = kSeconds * fingerprint::SignatureGenerator::kSampleRate;
            QVERIFY2(std::abs(double(samples.value->size()) - expected) < 64,
                qPrintable(QString::number(samples.value->size())));
            return;
        }
        QVERIFY2(!samples, "a clip whose conversion failed was handed back as if whole");
        QVERIFY2(samples.error.contains(path), qPrintable(samples.error));
        QVERIFY2(samples.error.contains(u"could not be converted"_s), qPrintable(samples.error));
        QVERIFY2(samples.error.contains(u"resampling failed: test"_s), qPrintable(samples.error));
        QVERIFY2(samples.error.contains(u"convert it to"_s), qPrintable(samples.error));
    }

    // A file with no sound in it is no clip: said so, never a signature of nothing.
    void aFileWithoutSoundIsRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"empty.wav"_s);
        QVERIFY(test::writeWav(path.toStdString(), {}, kRate, 2));
        const Result<std::vector<float>> samples = cli::signatureSamplesOfSoundFile(path);
        QVERIFY(!samples);
        QCOMPARE(samples.error, u"sound file %1 holds no audio"_s.arg(path));
    }

    // A file is handed out in buffers of the size asked for, each with the frames before it, all of it.
    void aFileIsReadInOrder()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"clip.wav"_s);
        const std::vector<float> melody = test::melody(kSeconds, kRate, 7);
        QVERIFY(test::writeWav(path.toStdString(), melody, kRate, 2));
        std::uint64_t expectedFirst = 0;
        int mismatches = 0;
        const Result<void> read
            = cli::readSoundFile(path, 1000, [&](const media::PcmBuffer& buffer, std::uint64_t firstFrame) {
                  // Both channels carry the melody, as 16-bit samples.
                  for (std::uint32_t c = 0; c < 2 && firstFrame == expectedFirst; ++c)
                      mismatches += std::abs(buffer.floatChannel(c)[0] - melody[firstFrame]) > 1.0f / 16384;
                  mismatches += firstFrame != expectedFirst;
                  expectedFirst += buffer.frameLength();
              });
        QVERIFY2(read, qPrintable(read.error));
        QCOMPARE(mismatches, 0);
        QCOMPARE(expectedFirst, melody.size());
    }
};

QTEST_GUILESS_MAIN(TestSoundFile)
#include "tst_sound_file.moc"
