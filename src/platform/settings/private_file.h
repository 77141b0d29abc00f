#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QString>

namespace corvex::settings {

/// Files that hold what only their owner may read (the access token, the
/// recordings waiting for upload and their idempotency keys).
namespace private_file {

/// Writes `bytes` to `path` atomically and owner-only (0600): afterwards the
/// file holds exactly these bytes, or, on any failure (a full disk among
/// them), it is as it was and the message says why. Every write is checked;
/// a partly written file is never put in place.
Result<void> write(const QString& path, const QByteArray& bytes);

/// Makes `path` a folder only its owner may enter (0700): creates it, or
/// narrows the modes of one that exists, and those of the files in it (0600). Refuses
/// a folder of another user and a symbolic link, which whoever planted them
/// could read or redirect.
Result<void> prepareFolder(const QString& path);

} // namespace private_file

} // namespace corvex::settings
