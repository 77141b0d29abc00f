#include "platform/settings/private_file.h"

#include "platform/write_all.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvex::settings::private_file {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

Result<void> write(const QString& path, const QByteArray& bytes)
{
    const auto failed = [&path](const QString& why) {
        return Result<void>::failure(QStringLiteral("cannot write %1: %2").arg(path, why));
    };
    QSaveFile file(path);
    // Unbuffered: a buffered write "succeeds" into memory, and a flush that
    // then fails on a full disk does not stop the commit from putting an
    // empty file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failed(file.errorString());
    if (!file.setPermissions(kOwnerOnly) || !writeAll(file, bytes) || !file.flush()) {
        const QString why = file.errorString();
        file.cancelWriting();
        file.commit(); // removes the temporary file
        return failed(why);
    }
    if (!file.commit())
        return failed(file.errorString());
    return Result<void>::success();
}

Result<void> prepareFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0) {
        if (errno != ENOENT)
            return Result<void>::failure(QStringLiteral("cannot look at the folder %1: %2").arg(path, systemError()));
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (::mkdir(native.constData(), S_IRWXU) != 0 && errno != EEXIST)
            return Result<void>::failure(QStringLiteral("cannot create the folder %1: %2").arg(path, systemError()));
        if (::lstat(native.constData(), &info) != 0)
            return Result<void>::failure(QStringLiteral("cannot look at the folder %1: %2").arg(path, systemError()));
    }
    if (!S_ISDIR(info.st_mode))
        return Result<void>::failure(
            QStringLiteral("%1 is not a folder (or is a link to one); move it away so that a private folder can be "
                           "made there")
                .arg(path));
    if (info.st_uid != ::geteuid())
        return Result<void>::failure(
            QStringLiteral("the folder %1 belongs to another user (uid %2), who could read or change what is kept "
                           "there; remove it or give it to yourself (chown), then try again")
                .arg(path)
                .arg(info.st_uid));
    // Narrowed when looser than ours: the folder first, then what it holds.
    if ((info.st_mode & 07777) != S_IRWXU && ::chmod(native.constData(), S_IRWXU) != 0)
        return Result<void>::failure(
            QStringLiteral("the folder %1 can be read by others and its modes cannot be narrowed: %2")
                .arg(path, systemError()));
    const int folder = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* entries = folder < 0 ? nullptr : ::fdopendir(folder);
    if (!entries) {
        if (folder >= 0)
            ::close(folder);
        return Result<void>::success();
    }
    while (const dirent* entry = ::readdir(entries)) {
        struct stat fileInfo { };
        if (::fstatat(folder, entry->d_name, &fileInfo, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(fileInfo.st_mode)
            && fileInfo.st_uid == ::geteuid() && (fileInfo.st_mode & 077) != 0)
            ::fchmodat(folder, entry->d_name, S_IRUSR | S_IWUSR, 0);
    }
    ::closedir(entries);
    return Result<void>::success();
}

} // namespace corvex::settings::private_file
