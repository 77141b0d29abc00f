#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace corvex::testing {

/// Points the XDG configuration, data and runtime folders into `dir`, so a
/// test never touches the user's settings, outbox or sockets.
inline void useXdgFoldersIn(const QTemporaryDir& dir)
{
    QDir(dir.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", dir.filePath(QStringLiteral("runtime")).toUtf8());
}

} // namespace corvex::testing
