#pragma once

#include <QByteArray>
#include <QFileDevice>

namespace corvex {

/// Writes all of `bytes` to `file`. A write cut short (the disk filled up) is
/// followed by another, so that the error it meets is the one the file
/// reports, instead of none at all.
inline bool writeAll(QFileDevice& file, const QByteArray& bytes)
{
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 now = file.write(bytes.constData() + written, bytes.size() - written);
        if (now <= 0)
            return false;
        written += now;
    }
    return true;
}

} // namespace corvex
