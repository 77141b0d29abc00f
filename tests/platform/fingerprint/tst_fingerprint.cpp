#include "platform/fingerprint/signature_generator.h"
#include "platform/fingerprint/signature_matcher.h"
#include "support/tones.h"

#include <QTest>

using namespace corvex;

namespace {

const media::AudioFormat kFormat { 16000, 1, media::SampleKind::Float32, false };

std::string signatureOf(const std::vector<float>& samples, std::size_t from, std::size_t to)
{
    fingerprint::SignatureGenerator generator;
    std::string error;
    for (std::size_t start = from; start < to; start += 341) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(341, to - start));
        auto buffer = media::PcmBuffer::wrap(kFormat, n, { const_cast<float*>(samples.data() + start) });
        if (!generator.append(*buffer, error))
            qFatal("append failed: %s", error.c_str());
    }
    return generator.signature();
}

} // namespace

class TestFingerprint final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signatureIsStableAndClosesTheGenerator()
    {
        const auto tune = test::melody(20, 16000, 1);
        fingerprint::SignatureGenerator generator;
        std::string error;
        auto buffer = media::PcmBuffer::wrap(kFormat, std::uint32_t(tune.size()), { const_cast<float*>(tune.data()) });
        QVERIFY(generator.append(*buffer, error));
        const std::string first = generator.signature();
        QVERIFY(first.size() > 20);
        QCOMPARE(generator.signature(), first);
        QVERIFY(!generator.append(*buffer, error));
        QCOMPARE(generator.signature(), first);
        QCOMPARE(signatureOf(tune, 0, tune.size()), first); // same sound, other buffer sizes
        const auto items = fingerprint::decodeSignature(first);
        QVERIFY(items);
        QVERIFY(std::abs(double(items->size()) * fingerprint::signatureItemSeconds() - 20) < 3.5);
    }

    void emptyAndWrongInput()
    {
        fingerprint::SignatureGenerator empty;
        QCOMPARE(empty.signature(), std::string());
        fingerprint::SignatureGenerator generator;
        std::string error;
        float samples[8] = {};
        QVERIFY(
            !generator.append(*media::PcmBuffer::wrap(media::AudioFormat::standard(48000, 1), 8, { samples }), error));
        QVERIFY(!fingerprint::decodeSignature("not a fingerprint"));
        QVERIFY(!fingerprint::decodeSignature(""));
    }

    void clipsAreFoundWhereTheyWereCut_data()
    {
        QTest::addColumn<double>("offset");
        QTest::newRow("23.4 s") << 23.4;
        QTest::newRow("start") << 0.0;
        QTest::newRow("70.05 s, near the end") << 70.05;
    }
    void clipsAreFoundWhereTheyWereCut()
    {
        const auto tune = test::melody(90, 16000, 2);
        const auto recording = fingerprint::decodeSignature(signatureOf(tune, 0, tune.size()));
        QFETCH(double, offset);
        const auto start = static_cast<std::size_t>(offset * 16000);
        const auto clip = fingerprint::decodeSignature(signatureOf(tune, start, start + 10 * 16000));
        QVERIFY(recording && clip);
        const auto match = fingerprint::locateClip(*recording, *clip);
        QVERIFY(match);
        QVERIFY2(std::abs(match->offsetSeconds - offset) <= 0.15, qPrintable(QString::number(match->offsetSeconds)));
        QVERIFY(match->confidence > 0.5);
    }

    void unrelatedSoundIsNotFound()
    {
        const auto tune = test::melody(60, 16000, 3);
        const auto other = test::melody(10, 16000, 4);
        const auto recording = fingerprint::decodeSignature(signatureOf(tune, 0, tune.size()));
        const auto clip = fingerprint::decodeSignature(signatureOf(other, 0, other.size()));
        QVERIFY(recording && clip);
        QVERIFY(!fingerprint::locateClip(*recording, *clip));
    }
};

QTEST_APPLESS_MAIN(TestFingerprint)
#include "tst_fingerprint.moc"
