#include "service/outbox.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace corvex::service {

namespace {

bool isEntryId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]{8}T[0-9]{9}Z-[0-9a-f]{8}$"));
    return pattern.match(id).hasMatch();
}

bool writeWhole(const QString& path, const QByteArray& bytes, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

Outbox::Outbox()
    : Outbox(defaultFolder())
{
}

Outbox::Outbox(QString folder)
    : m_folder(std::move(folder))
{
}

QString Outbox::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/corvex/outbox");
}

QString Outbox::pathOf(const QString& id, const char* suffix) const
{
    return m_folder + QLatin1Char('/') + id + QLatin1StringView(suffix);
}

std::optional<QString> Outbox::add(const QByteArray& recording, const catalogue::TMDBItem& item, QString& error)
{
    if (!QDir().mkpath(m_folder)) {
        error = QStringLiteral("cannot create the outbox folder %1").arg(m_folder);
        return std::nullopt;
    }
    Entry entry;
    entry.savedAt = QDateTime::currentDateTimeUtc();
    // Sorts by time; the random part keeps two saves in one millisecond apart.
    entry.id = entry.savedAt.toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'")) + QLatin1Char('-')
        + QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    entry.item = item;
    // The record first: an entry is listed only once its description exists.
    if (!writeWhole(pathOf(entry.id, ".pb"), recording, error))
        return std::nullopt;
    if (!writeMeta(entry, error)) {
        QFile::remove(pathOf(entry.id, ".pb"));
        return std::nullopt;
    }
    return entry.id;
}

bool Outbox::writeMeta(const Entry& entry, QString& error) const
{
    const QJsonObject object {
        { QStringLiteral("item"), catalogue::itemToJson(entry.item) },
        { QStringLiteral("saved_at"), entry.savedAt.toString(Qt::ISODateWithMs) },
        { QStringLiteral("attempts"), entry.attempts },
        { QStringLiteral("last_error"), entry.lastError },
    };
    return writeWhole(pathOf(entry.id, ".json"), QJsonDocument(object).toJson(), error);
}

std::optional<Outbox::Entry> Outbox::entry(const QString& id) const
{
    if (!isEntryId(id))
        return std::nullopt;
    QFile file(pathOf(id, ".json"));
    if (!file.open(QIODevice::ReadOnly) || !QFile::exists(pathOf(id, ".pb")))
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    const auto item = catalogue::itemFromJson(object.value(QStringLiteral("item")).toObject());
    if (!item)
        return std::nullopt;
    Entry result;
    result.id = id;
    result.item = *item;
    result.savedAt = QDateTime::fromString(object.value(QStringLiteral("saved_at")).toString(), Qt::ISODateWithMs);
    result.attempts = object.value(QStringLiteral("attempts")).toInt();
    result.lastError = object.value(QStringLiteral("last_error")).toString();
    return result;
}

QList<Outbox::Entry> Outbox::entries() const
{
    QList<Entry> result;
    const QStringList names = QDir(m_folder).entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (auto found = entry(name.chopped(5)))
            result.append(std::move(*found));
    }
    return result;
}

std::optional<QByteArray> Outbox::recording(const QString& id) const
{
    if (!isEntryId(id))
        return std::nullopt;
    QFile file(pathOf(id, ".pb"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

void Outbox::recordFailure(const QString& id, const QString& error)
{
    auto found = entry(id);
    if (!found)
        return;
    found->attempts += 1;
    found->lastError = error;
    QString ignored;
    writeMeta(*found, ignored);
}

bool Outbox::remove(const QString& id)
{
    if (!isEntryId(id))
        return false;
    // The description first, so a half-removed entry is never listed.
    const bool removed = QFile::remove(pathOf(id, ".json"));
    QFile::remove(pathOf(id, ".pb"));
    return removed;
}

} // namespace corvex::service
