#pragma once

#include "analysis/proto/video_analysis.pb.h"

#include <QByteArray>
#include <QtGlobal>

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

} // namespace corvex::test
