#pragma once

#include "catalogue/tmdb_item.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace corvex::service {

/// Recordings waiting to reach the service. A recording goes in before its
/// upload starts and leaves only when the upload succeeded, so a refused or
/// failed upload never loses it. Each entry is two files in the folder:
/// <id>.pb (the serialised record, byte for byte) and <id>.json (the catalogue
/// item, when it was saved, the attempts and the last error).
class Outbox final {
public:
    struct Entry {
        QString id;
        catalogue::TMDBItem item;
        QDateTime savedAt;
        int attempts = 0;
        QString lastError;
    };

    /// The outbox in `defaultFolder()`.
    Outbox();
    explicit Outbox(QString folder);

    /// $XDG_DATA_HOME/corvex/outbox.
    static QString defaultFolder();
    QString folder() const { return m_folder; }

    /// Saves a recording; gives its id, or none with `error` set.
    std::optional<QString> add(const QByteArray& recording, const catalogue::TMDBItem& item, QString& error);
    /// The entries, oldest first. Entries whose files are unreadable are skipped.
    QList<Entry> entries() const;
    std::optional<Entry> entry(const QString& id) const;
    std::optional<QByteArray> recording(const QString& id) const;
    /// Notes a failed attempt.
    void recordFailure(const QString& id, const QString& error);
    /// Removes an entry whose upload succeeded.
    bool remove(const QString& id);

private:
    bool writeMeta(const Entry& entry, QString& error) const;
    QString pathOf(const QString& id, const char* suffix) const;

    QString m_folder;
};

} // namespace corvex::service
