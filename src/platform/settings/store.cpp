#include "platform/settings/store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace corvex::settings {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Creates the folder (owner-only when we create it) and an empty file with
// owner-only permissions before QSettings ever writes, so that the token is
// never readable by others, not even for a moment.
void prepareFile(const QString& path)
{
    const QFileInfo info(path);
    QDir folder = info.absoluteDir();
    if (!folder.exists()) {
        folder.mkpath(QStringLiteral("."));
        QFile::setPermissions(
            folder.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    if (!info.exists()) {
        // Created owner-only from the start, whatever the umask says.
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly))
            file.close();
    }
    QFile::setPermissions(path, kOwnerOnly);
}

} // namespace

Store::Store()
    : Store(defaultPath())
{
}

Store::Store(const QString& path)
    : m_path(path)
{
    prepareFile(m_path);
}

Store::~Store() = default;

QString Store::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/corvex/corvex.ini");
}

// A QSettings object is made for each use: one keeps the first error it met
// for good, and one made later reports its own attempt only.
std::optional<QString> Store::value(const QString& key) const
{
    const QSettings settings(m_path, QSettings::IniFormat);
    const QVariant stored = settings.value(key);
    if (!stored.isValid())
        return std::nullopt;
    return stored.toString();
}

namespace {

void put(QSettings& settings, const QString& key, const QVariant& value)
{
    if (value.isValid())
        settings.setValue(key, value);
    else
        settings.remove(key);
}

} // namespace

bool Store::setValue(const QString& key, const std::optional<QString>& value)
{
    QSettings settings(m_path, QSettings::IniFormat);
    const QVariant before = settings.value(key);
    put(settings, key, value ? QVariant(*value) : QVariant());
    settings.sync();
    restrictPermissions();
    if (settings.status() == QSettings::NoError)
        return true;
    // Not written (a full disk, say): the file still holds the old value, and
    // so must what this process reads, or a sign-out that failed would look
    // done. Qt keeps unwritten changes for the whole process.
    put(settings, key, before);
    return false;
}

void Store::restrictPermissions() const
{
    QFile::setPermissions(m_path, kOwnerOnly);
}

} // namespace corvex::settings
