#include "capture/meter_table.h"
#include "capture/power_meter.h"
#include "platform/media/pcm_buffer.h"

#include <QTest>

#include <cmath>
#include <functional>
#include <thread>

using namespace corvex;
using capture::MeterTable;
using capture::PowerMeter;

namespace {

// A buffer of 4800 frames whose sample i of channel c is signal(c, i).
std::unique_ptr<media::PcmBuffer> buffer(media::SampleKind kind, std::uint32_t channels,
    const std::function<double(std::uint32_t, std::uint32_t)>& signal, bool interleaved = false)
{
    auto b = media::PcmBuffer::create({ 48000, channels, kind, interleaved }, 4800);
    b->setFrameLength(4800);
    const std::uint32_t stride = b->stride();
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < 4800; ++i) {
            const double v = signal(c, i);
            if (kind == media::SampleKind::Float32)
                b->floatChannel(c)[i * stride] = float(v);
            else if (kind == media::SampleKind::Int16)
                b->int16Channel(c)[i * stride] = std::int16_t(std::lrint(v * 32767));
            else
                b->int32Channel(c)[i * stride]
                    = std::int32_t(std::clamp(std::lrint(v * 2147483648.0), -2147483648L, 2147483647L));
        }
    return b;
}

double sine(std::uint32_t i, double amplitude)
{
    return amplitude * std::sin(2 * M_PI * 1000 * i / 48000.0);
}

} // namespace

class TestAudioMetering final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Powers in dB as the meter shows them, through its table.
    void valueForPower_data()
    {
        QTest::addColumn<float>("power");
        QTest::addColumn<float>("shown");
        QTest::newRow("-160 dB") << -160.0f << 0.0f;
        QTest::newRow("just below -60 dB") << -60.001f << 0.0f;
        QTest::newRow("-60 dB") << -60.0f << 0.054f;
        QTest::newRow("-20 dB") << -20.0f << 0.396f;
        QTest::newRow("-3.01 dB") << -3.01f << 0.870f;
        QTest::newRow("-0.5 dB truncates to 0") << -0.5f << 1.0f;
        QTest::newRow("0 dB") << 0.0f << 1.0f;
        QTest::newRow("+6 dB") << 6.0f << 1.0f;
        QTest::newRow("NaN") << std::nanf("") << 0.0f;
    }
    void valueForPower()
    {
        QFETCH(float, power);
        QFETCH(float, shown);
        const float value = MeterTable().valueForPower(power);
        QVERIFY2(std::abs(value - shown) < 0.001f, qPrintable(QString::number(value)));
    }

    void powerLevels_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("signal");
        QTest::addColumn<float>("average");
        QTest::addColumn<float>("peak");
        QTest::addColumn<float>("tolerance");
        using K = media::SampleKind;
        QTest::newRow("silence") << int(K::Float32) << 0 << -160.0f << -160.0f << 0.001f;
        QTest::newRow("full-scale sine") << int(K::Float32) << 1 << -3.0103f << 0.0f << 0.01f;
        QTest::newRow("constant 0.1") << int(K::Float32) << 2 << -20.0f << -20.0f << 0.001f;
        QTest::newRow("-60 dB constant") << int(K::Float32) << 3 << -60.0f << -60.0f << 0.01f;
        QTest::newRow("all negative") << int(K::Float32) << 4 << -6.0206f << -160.0f << 0.01f;
        QTest::newRow("int16 full scale is 32767") << int(K::Int16) << 5 << 0.0f << 0.0f << 0.0001f;
        QTest::newRow("int32 half scale") << int(K::Int32) << 6 << -6.0206f << -6.0206f << 0.001f;
    }
    void powerLevels()
    {
        QFETCH(int, kind);
        QFETCH(int, signal);
        QFETCH(float, average);
        QFETCH(float, peak);
        QFETCH(float, tolerance);
        const double constants[] = { 0, 0, 0.1, 0.001, -0.5, 1.0, 0.5 };
        auto b = buffer(media::SampleKind(kind), 1,
            [&](std::uint32_t, std::uint32_t i) { return signal == 1 ? sine(i, 1.0) : constants[signal]; });
        PowerMeter meter;
        QVERIFY(meter.values().empty());
        meter.process(*b);
        const auto values = meter.values();
        QCOMPARE(values.size(), std::size_t(1));
        QVERIFY2(std::abs(values[0].average - average) <= tolerance, qPrintable(QString::number(values[0].average)));
        QVERIFY2(std::abs(values[0].peak - peak) <= tolerance, qPrintable(QString::number(values[0].peak)));
    }

    void everyChannelIsMeasuredInOrder_data()
    {
        QTest::addColumn<media::SampleKind>("kind");
        QTest::addColumn<bool>("interleaved");
        for (const auto& [name, kind] : { std::pair("float", media::SampleKind::Float32),
                 std::pair("int16", media::SampleKind::Int16), std::pair("int32", media::SampleKind::Int32) }) {
            QTest::addRow("%s, planar", name) << kind << false;
            QTest::addRow("%s, interleaved", name) << kind << true;
        }
    }

    void everyChannelIsMeasuredInOrder()
    {
        QFETCH(media::SampleKind, kind);
        QFETCH(bool, interleaved);
        PowerMeter meter;
        meter.process(*buffer(
            kind, 2, [](std::uint32_t c, std::uint32_t i) { return c == 0 ? sine(i, 1.0) : 0.1; }, interleaved));
        const auto values = meter.values();
        QCOMPARE(values.size(), std::size_t(2));
        QVERIFY(std::abs(values[0].average - -3.01f) < 0.01f);
        QVERIFY(std::abs(values[1].average - -20.0f) < 0.001f);
        // The display uses the first channel: about 0.870 for the sine.
        QVERIFY(std::abs(meter.meterTableAverage().valueForPower(values[0].average) - 0.870f) < 0.001f);
        QCOMPARE(meter.meterTablePeak().valueForPower(values[0].peak), 1.0f);
    }

    void valuesAreReplacedWholeWhileRead()
    {
        PowerMeter meter;
        auto mono = buffer(media::SampleKind::Float32, 1, [](std::uint32_t, std::uint32_t) { return 0.1; });
        auto stereo = buffer(media::SampleKind::Float32, 2, [](std::uint32_t, std::uint32_t) { return 0.1; });
        std::thread audio([&] {
            for (int i = 0; i < 200; ++i)
                meter.process(i % 2 ? *mono : *stereo);
        });
        for (int i = 0; i < 2000; ++i) {
            const auto values = meter.values();
            QVERIFY(values.empty() || values.size() == 1 || values.size() == 2);
        }
        audio.join();
    }
};

QTEST_GUILESS_MAIN(TestAudioMetering)
#include "tst_audio_metering.moc"
