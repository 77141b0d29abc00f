#pragma once

#include "catalogue/tmdb_item.h"
#include "platform/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class QLockFile;

namespace corvex::service {

/// Recordings waiting to reach the service. A recording goes in before its
/// upload starts and leaves only when the upload succeeded, so a refused or
/// failed upload never loses it. Each entry is two files in the folder:
/// <id>.pb (the serialised record, byte for byte) and <id>.json (the catalogue
/// item, the author's account, the idempotency key, when it was saved, the
/// attempts and the last error). Only its owner can read the folder.
///
/// The studio and the command-line tool share the folder. Whoever sends an
/// entry first takes it (`take`): a lock file <id>.sending, held until the
/// attempt ended, that everyone else respects and that a crashed holder
/// leaves behind only as a stale lock. Only the taker changes or removes the
/// entry. Short changes of the folder itself run under outbox.lock.
class Outbox final {
public:
    struct Entry {
        QString id;
        /// Sent as Idempotency-Key with every attempt, so a service that
        /// stored an attempt whose answer was lost answers the repeat with
        /// the same show instead of storing it again.
        QString key;
        /// The account the recording was made under; empty when it is not
        /// known (entries from before accounts were recorded, or a save while
        /// signed out). Such entries are sent only when a user asks for them.
        QString accountId;
        /// `tokenHash` of the token held when the recording was saved, when
        /// the account was not known then: a token belongs to one account, so
        /// the same token later still means the same author.
        QString tokenHash;
        /// The author's email address, when it was known at the save: for
        /// saying whose the recording is.
        QString accountEmail;
        catalogue::TMDBItem item;
        QDateTime savedAt;
        int attempts = 0;
        QString lastError;
        /// The HTTP status of the last refusal; 0 when the last attempt got no
        /// answer (or none failed yet).
        int lastStatus = 0;
        /// Whether the service refused it for good (see ServiceError).
        bool refusedForGood() const;
        /// Whose it is, for the author: "a@example.org (account 42)",
        /// "account 42", or "an unknown account".
        QString authorText() const;
    };

    /// An entry taken for sending. Releasing it (destroying it) makes the
    /// entry available again, unless it was removed.
    class Taken final {
    public:
        ~Taken();
        Taken(const Taken&) = delete;
        Taken& operator=(const Taken&) = delete;

        const Entry& entry() const { return m_entry; }
        /// The recording, byte for byte; none when its file cannot be read.
        std::optional<QByteArray> recording() const;
        /// Notes a failed attempt, with the refusal's HTTP status (0: none).
        void recordFailure(const QString& error, int status = 0);
        /// Records the author of an entry that had none.
        bool adoptAuthor(const QString& accountId);
        /// Removes the entry after its upload succeeded.
        bool remove();

    private:
        friend class Outbox;
        Taken(Outbox& outbox, Entry entry, std::unique_ptr<QLockFile> lock);

        Outbox& m_outbox;
        Entry m_entry;
        std::unique_ptr<QLockFile> m_lock;
    };

    /// Why an entry was not taken.
    enum class TakeStatus {
        Busy, // someone (this process or another) is sending it
        Gone, // no such entry (any more)
        Failed, // the folder cannot be locked or written; `message` says how
    };
    struct TakeError {
        TakeStatus status = TakeStatus::Failed;
        QString message;
    };

    /// The outbox in `defaultFolder()`.
    Outbox();
    explicit Outbox(QString folder);

    /// $XDG_DATA_HOME/corvex/outbox.
    static QString defaultFolder();
    QString folder() const { return m_folder; }

    /// Saves a recording under a new id and a new idempotency key; gives the
    /// id once both files read back as written. On any failure (a full disk)
    /// nothing of it is left in the folder and the message says why.
    Result<QString> add(const QByteArray& recording, const catalogue::TMDBItem& item, const QString& accountId,
        const QString& tokenHash = {}, const QString& accountEmail = {});
    /// A one-way digest of an access token (hex SHA-256), never the token.
    static QString tokenHash(const QString& token);
    /// Why the folder cannot be used (it belongs to someone else, say); empty
    /// when it can, or does not exist yet. The folder is private to its owner
    /// (0700, its files 0600): modes looser than that are narrowed here.
    QString folderProblem() const;
    struct Contents {
        /// Oldest first.
        QList<Entry> entries;
        /// The ids of entries whose recording is there but whose description
        /// cannot be read (damaged on disk): never sent, but listed, so that
        /// the recording can still be saved or removed.
        QStringList unreadable;
    };
    /// What the folder holds, read in one pass; nothing when the folder
    /// cannot be used.
    Contents contents() const;
    QList<Entry> entries() const { return contents().entries; }
    QStringList unreadable() const { return contents().unreadable; }
    /// What is known of an unreadable entry: its id, and when its recording
    /// was written.
    Entry unreadableEntry(const QString& id) const;
    std::optional<Entry> entry(const QString& id) const;
    std::optional<QByteArray> recording(const QString& id) const;
    /// Whether someone is sending the entry right now.
    bool isTaken(const QString& id) const;

    /// Writes the recording of entry `id` to `path` (a file of the author's
    /// choosing, owner-only), whole or not at all.
    Result<void> saveRecording(const QString& id, const QString& path) const;
    /// Removes entry `id` for good, unless someone is sending it right now;
    /// an unreadable one too.
    Result<void, TakeError> remove(const QString& id);

    /// Takes an entry for one attempt. An entry saved before keys were
    /// recorded gets its key here, once, before anything is sent.
    Result<std::unique_ptr<Taken>, TakeError> take(const QString& id);

private:
    Result<void> writeMeta(const Entry& entry) const;
    QString pathOf(const QString& id, const char* suffix) const;
    /// Whether the description went; the recording goes after it.
    bool removeFiles(const QString& id) const;
    /// Locks the folder for one short change.
    Result<std::unique_ptr<QLockFile>> lockFolder() const;

    QString m_folder;
};

} // namespace corvex::service
