#include "platform/fingerprint/signature_generator.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/media/audio_converter.h"
#include "support/tones.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace corvex;

Q_DECLARE_METATYPE(std::vector<float>)

namespace {

const media::AudioFormat kFormat { 16000, 1, media::SampleKind::Float32, false };

std::string signatureOf(const std::vector<float>& samples, std::size_t from, std::size_t to)
{
    fingerprint::SignatureGenerator generator;
    for (std::size_t start = from; start < to; start += 341) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(341, to - start));
        auto buffer = media::PcmBuffer::wrap(kFormat, n, { const_cast<float*>(samples.data() + start) });
        if (const auto appended = generator.append(*buffer); !appended)
            qFatal("append failed: %s", appended.error.c_str());
    }
    return generator.signature();
}

// Mono sound at `rate`, converted to the signature's rate as a recording
// converts it (in 20 ms buffers of two channels).
std::vector<float> atSignatureRate(const std::vector<float>& sound, double rate)
{
    const auto converter = media::AudioConverter::create(media::AudioFormat::standard(rate, 2), kFormat);
    std::vector<float> out;
    const auto frames = static_cast<std::uint32_t>(rate / 50);
    auto input = media::PcmBuffer::create(media::AudioFormat::standard(rate, 2), frames);
    auto output = media::PcmBuffer::create(kFormat, 4096);
    for (std::size_t start = 0; start <= sound.size(); start += frames) {
        const bool last = start >= sound.size();
        const auto n = std::uint32_t(std::min<std::size_t>(frames, sound.size() - std::min(start, sound.size())));
        input->setFrameLength(n);
        for (std::uint32_t c = 0; c < 2; ++c)
            std::copy_n(sound.data() + start, n, input->floatChannel(c));
        bool handed = false;
        for (;;) {
            const auto status = converter->convert(
                *output, [&](media::AudioConverter::InputStatus& status) -> const media::PcmBuffer* {
                    status = last ? media::AudioConverter::InputStatus::EndOfStream
                        : handed  ? media::AudioConverter::InputStatus::NoDataNow
                                  : media::AudioConverter::InputStatus::HaveData;
                    const bool give = !handed && !last;
                    handed = true;
                    return give ? input.get() : nullptr;
                });
            out.insert(out.end(), output->floatChannel(0), output->floatChannel(0) + output->frameLength());
            if (status.value != media::AudioConverter::OutputStatus::HaveData)
                break;
        }
        if (last)
            break;
    }
    return out;
}

std::vector<std::uint32_t> itemsOf(const std::vector<float>& samples16k)
{
    fingerprint::SignatureGenerator generator;
    auto buffer
        = media::PcmBuffer::wrap(kFormat, std::uint32_t(samples16k.size()), { const_cast<float*>(samples16k.data()) });
    if (const auto appended = generator.append(*buffer); !appended)
        qFatal("append failed: %s", appended.error.c_str());
    return generator.items();
}

// A soundtrack of three minutes, recorded at 48 kHz, and its signature: made once.
struct Soundtrack {
    static constexpr double kSeconds = 180;
    std::vector<float> sound = test::melody(kSeconds, 44100, 40);
    std::vector<std::uint32_t> items = itemsOf(atSignatureRate(test::melody(kSeconds, 48000, 40), 48000));
};

const Soundtrack& soundtrack()
{
    static const Soundtrack track;
    return track;
}

} // namespace

class TestFingerprint final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signatureIsStableAndClosesTheGenerator()
    {
        const auto tune = test::melody(20, 16000, 1);
        fingerprint::SignatureGenerator generator;
        auto buffer = media::PcmBuffer::wrap(kFormat, std::uint32_t(tune.size()), { const_cast<float*>(tune.data()) });
        QVERIFY(generator.append(*buffer));
        const std::string first = generator.signature();
        QVERIFY(first.size() > 20);
        QCOMPARE(generator.signature(), first);
        QVERIFY(!generator.append(*buffer));
        QCOMPARE(generator.signature(), first);
        QCOMPARE(signatureOf(tune, 0, tune.size()), first); // same sound, other buffer sizes
        const auto items = fingerprint::decodeSignature(first);
        QVERIFY(items);
        QVERIFY(std::abs(double(items->size()) * fingerprint::signatureItemSeconds() - 20) < 3.5);
    }

    // Samples past full scale are clipped, samples that are no number are silence.
    void loudSoundIsClipped_data()
    {
        QTest::addColumn<float>("gain");
        QTest::newRow("far past full scale") << 100.0f;
        QTest::newRow("infinite") << std::numeric_limits<float>::infinity();
    }
    void loudSoundIsClipped()
    {
        QFETCH(float, gain);
        std::vector<float> loud = test::melody(8, 16000, 1);
        std::vector<float> clipped(loud.size());
        for (std::size_t i = 0; i < loud.size(); ++i) {
            loud[i] *= gain;
            clipped[i] = std::isfinite(loud[i]) ? std::clamp(loud[i], -1.0f, 1.0f) : 0.0f;
        }
        QCOMPARE(itemsOf(loud), itemsOf(clipped));
    }

    void emptyAndWrongInput()
    {
        fingerprint::SignatureGenerator empty;
        QCOMPARE(empty.signature(), std::string());
        fingerprint::SignatureGenerator generator;
        float samples[8] = {};
        QVERIFY(!generator.append(*media::PcmBuffer::wrap(media::AudioFormat::standard(48000, 1), 8, { samples })));
        QVERIFY(!fingerprint::decodeSignature("not a fingerprint"));
        QVERIFY(!fingerprint::decodeSignature(""));
    }

    void clipsAreFoundWhereTheyWereCut_data()
    {
        QTest::addColumn<double>("offset"); // none: a clip of another tune, not found
        QTest::newRow("23.4 s") << 23.4;
        QTest::newRow("start") << 0.0;
        QTest::newRow("70.05 s, near the end") << 70.05;
        QTest::newRow("another tune") << std::nan("");
    }
    void clipsAreFoundWhereTheyWereCut()
    {
        QFETCH(double, offset);
        const auto tune = test::melody(90, 16000, 2);
        const auto other = test::melody(10, 16000, 4);
        const auto recording = fingerprint::decodeSignature(signatureOf(tune, 0, tune.size()));
        const auto start = std::isnan(offset) ? 0 : static_cast<std::size_t>(offset * 16000);
        const auto clip = fingerprint::decodeSignature(
            std::isnan(offset) ? signatureOf(other, 0, other.size()) : signatureOf(tune, start, start + 10 * 16000));
        QVERIFY(recording && clip);
        const auto match = fingerprint::locateClip(*recording, *clip);
        QCOMPARE(match.has_value(), !std::isnan(offset));
        if (!match)
            return;
        QVERIFY2(std::abs(match->offsetSeconds - offset) <= 0.15, qPrintable(QString::number(match->offsetSeconds)));
        QVERIFY(match->confidence > 0.5);
    }

    // Clips of 3 s and more are placed within 0.15 s and refined to within 16 ms, whatever the
    // phase of their first item against the recording's (every sixteenth of an item).
    void shortClipsAreFoundWhereTheyWereCut_data()
    {
        QTest::addColumn<double>("offset");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("noise"); // amplitude of white noise added to the clip
        QTest::newRow("3 s, on the item grid") << 61.9048 << 3.0 << 0.0;
        QTest::newRow("3 s, half an item off") << 17.062 << 3.0 << 0.0;
        QTest::newRow("3 s, a quarter item off, noisy") << 100.031 << 3.0 << 0.1;
        QTest::newRow("3 s at the very start") << 0.0 << 3.0 << 0.0;
        QTest::newRow("3 s ending a second before the end") << Soundtrack::kSeconds - 4 << 3.0 << 0.0;
        const double item = fingerprint::signatureItemSeconds();
        const double lastStart = std::floor((Soundtrack::kSeconds - 3) / item) * item;
        QTest::newRow("3 s on the item grid, to the very end") << lastStart << Soundtrack::kSeconds - lastStart << 0.0;
        QTest::newRow("3.5 s") << 140.4 << 3.5 << 0.05;
        QTest::newRow("4 s") << 33.37 << 4.0 << 0.0;
        QTest::newRow("6 s, noisy") << 77.77 << 6.0 << 0.1;
        for (int k = 0; k < 16; ++k)
            QTest::addRow("3 s, %d/16 of an item off", k)
                << 5 + 10.5 * k + fingerprint::signatureItemSeconds() * k / 16 << 3.0 << 0.0;
    }
    void shortClipsAreFoundWhereTheyWereCut()
    {
        QFETCH(double, offset);
        QFETCH(double, seconds);
        QFETCH(double, noise);
        const Soundtrack& track = soundtrack();
        const auto from = std::size_t(std::llround(offset * 44100));
        std::vector<float> clip(track.sound.begin() + from, track.sound.begin() + from + std::size_t(seconds * 44100));
        std::mt19937 random(9);
        std::normal_distribution<float> white(0, float(noise));
        for (float& sample : clip)
            sample += noise > 0 ? white(random) : 0.0f;
        const auto samples = atSignatureRate(clip, 44100);
        const auto fingerprints = fingerprint::clipFingerprints(samples.data(), samples.size());
        const auto match = fingerprint::locateClip(track.items, fingerprints);
        QVERIFY(match);
        QVERIFY2(std::abs(match->offsetSeconds - offset) <= 0.15,
            qPrintable(QStringLiteral("found at %1 s").arg(match->offsetSeconds)));
        // Refined, within half a frame of a 30 fps film.
        const auto precise
            = fingerprint::locateClipPrecisely(track.items, fingerprints, samples.data(), samples.size());
        QVERIFY(precise);
        QVERIFY2(std::abs(precise->offsetSeconds - offset) <= 0.016,
            qPrintable(QStringLiteral("found at %1 s").arg(precise->offsetSeconds, 0, 'f', 4)));
    }

    // Clips of other tunes of the same kind are not placed, however short.
    void unrelatedShortClipsAreNotFound_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::newRow("3 s") << 3.0;
        QTest::newRow("4 s") << 4.0;
        QTest::newRow("8 s") << 8.0;
    }
    void unrelatedShortClipsAreNotFound()
    {
        QFETCH(double, seconds);
        const Soundtrack& track = soundtrack();
        for (std::uint32_t seed = 100; seed < 110; ++seed) {
            const auto samples = atSignatureRate(test::melody(seconds, 44100, seed), 44100);
            const auto match
                = fingerprint::locateClip(track.items, fingerprint::clipFingerprints(samples.data(), samples.size()));
            QVERIFY2(!match, qPrintable(QStringLiteral("tune %1 found at %2 s").arg(seed).arg(match->offsetSeconds)));
        }
    }

    // A clip longer than the recording, with sound from before its start and
    // after its end, is compared on every item the two share.
    void aClipLongerThanTheRecordingIsComparedWhereTheyOverlap()
    {
        std::mt19937 random(3);
        std::vector<std::uint32_t> clip(60);
        std::generate(clip.begin(), clip.end(), random);
        const auto match = fingerprint::locateClip({ clip.begin() + 10, clip.begin() + 50 }, clip);
        QVERIFY(match);
        QCOMPARE(match->comparedItems, 40);
        QCOMPARE(match->confidence, 1.0);
        QCOMPARE(match->offsetSeconds, -10 * fingerprint::signatureItemSeconds());
    }

    // Silence sounds alike everywhere (a recording's silences among them), and
    // less than 3 s of sound gives too few items to tell places apart.
    void clipsThatCannotBePlaced_data()
    {
        QTest::addColumn<std::vector<float>>("clip");
        QTest::newRow("5 s of silence") << std::vector<float>(5 * 16000, 0.0f);
        QTest::newRow("2.5 s of the tune")
            << std::vector<float>(soundtrack().sound.begin(), soundtrack().sound.begin() + 40000);
    }
    void clipsThatCannotBePlaced()
    {
        QFETCH(std::vector<float>, clip);
        std::vector<std::uint32_t> withSilence = soundtrack().items;
        const auto silence = itemsOf(std::vector<float>(10 * 16000, 0.0f));
        withSilence.insert(withSilence.begin() + 100, silence.begin(), silence.end());
        QVERIFY(!fingerprint::locateClip(withSilence, fingerprint::clipFingerprints(clip.data(), clip.size())));
    }
};

QTEST_APPLESS_MAIN(TestFingerprint)
#include "tst_fingerprint.moc"
