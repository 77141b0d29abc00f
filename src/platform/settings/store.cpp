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
    m_settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
}

Store::~Store() = default;

QString Store::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/corvex/corvex.ini");
}

std::optional<QString> Store::value(const QString& key) const
{
    m_settings->sync();
    const QVariant stored = m_settings->value(key);
    if (!stored.isValid())
        return std::nullopt;
    return stored.toString();
}

bool Store::setValue(const QString& key, const std::optional<QString>& value)
{
    if (value)
        m_settings->setValue(key, *value);
    else
        m_settings->remove(key);
    m_settings->sync();
    restrictPermissions();
    return m_settings->status() == QSettings::NoError;
}

void Store::restrictPermissions() const
{
    QFile::setPermissions(m_path, kOwnerOnly);
}

} // namespace corvex::settings
