// Writing a two-hour light show: the recorder's stop (signature and
// serialisation) and the file written the way `corvex author` and `corvex
// record` write it, against the yardstick of writing the same number of bytes
// with one plain write.

#include "analysis/video_analysis_record.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace corvex;

namespace {

constexpr int kFrames = 2 * 3600 * 30; // two hours at 30 frames a second

QByteArray twoHourRecord()
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    for (int k = 0; k < kFrames; ++k) {
        for (auto& channel : *record.mutable_channels()) {
            channel.add_r(std::uint32_t((k * 7) % 256));
            channel.add_g(std::uint32_t((k * 13) % 256));
            channel.add_b(std::uint32_t((k * 29) % 256));
        }
        record.add_timestamps(std::uint32_t(k * 10 / 3));
    }
    record.set_signature(std::string(60000, 'S'));
    return QByteArray::fromStdString(record.SerializeAsString());
}

void BM_SerialiseTwoHourRecord(benchmark::State& state)
{
    VideoAnalysis record;
    const QByteArray bytes = twoHourRecord();
    record.ParseFromArray(bytes.constData(), int(bytes.size()));
    for (auto _ : state) {
        std::string out = record.SerializeAsString();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::to_string(bytes.size() / 1024) + " KiB");
}

// The same atomic write as the command-line tool's writeFile.
void BM_WriteTwoHourRecordAtomically(benchmark::State& state)
{
    const QByteArray bytes = twoHourRecord();
    QTemporaryDir dir;
    for (auto _ : state) {
        QSaveFile file(dir.filePath(QStringLiteral("show.pb")));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            state.SkipWithError("write failed");
    }
}

// Yardstick: the same bytes with one plain write, no rename.
void BM_WriteSameBytesPlainly(benchmark::State& state)
{
    const QByteArray bytes = twoHourRecord();
    QTemporaryDir dir;
    for (auto _ : state) {
        QFile file(dir.filePath(QStringLiteral("plain.bin")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            state.SkipWithError("write failed");
    }
}

} // namespace

BENCHMARK(BM_SerialiseTwoHourRecord)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(false);
BENCHMARK(BM_WriteTwoHourRecordAtomically)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_WriteSameBytesPlainly)->Unit(benchmark::kMillisecond)->Repetitions(5);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
