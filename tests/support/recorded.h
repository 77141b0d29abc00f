#pragma once

#include "analysis/proto/video_analysis.pb.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace corvex::test {

/// The record a recorder's stop() returned; the test stops when there is none.
inline VideoAnalysis parseRecord(const std::optional<QByteArray>& bytes)
{
    VideoAnalysis record;
    if (!bytes || !record.ParseFromArray(bytes->constData(), int(bytes->size())))
        qFatal("the recorder gave no record");
    return record;
}

/// Reads a record file; false when it is missing or does not decode.
inline bool readRecord(const QString& path, VideoAnalysis& record)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    return record.ParseFromArray(bytes.constData(), int(bytes.size()));
}

struct Colour {
    int r = 0, g = 0, b = 0;
};

/// The colour of channel `channel` in sample `sample`.
inline Colour colourOf(const VideoAnalysis& record, int channel, int sample)
{
    const auto& c = record.channels(channel);
    return { int(c.r(sample)), int(c.g(sample)), int(c.b(sample)) };
}

/// The colour of channel `channel` at the first sample at or after `seconds`.
inline Colour colourAt(const VideoAnalysis& record, int channel, double seconds)
{
    const auto hundredths = std::uint32_t(seconds * 100);
    int k = 0;
    while (k < record.timestamps_size() && record.timestamps(k) < hundredths)
        ++k;
    return colourOf(record, channel, k);
}

/// The largest difference of one channel between two colours.
inline int distance(Colour a, Colour b)
{
    return std::max({ std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b) });
}

/// "(r, g, b)", for messages.
inline QString text(Colour c)
{
    return QStringLiteral("(%1, %2, %3)").arg(c.r).arg(c.g).arg(c.b);
}

inline bool near(Colour got, Colour expected, int tolerance)
{
    return distance(got, expected) <= tolerance;
}

} // namespace corvex::test
