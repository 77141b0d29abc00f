#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace corvex::reference {

/// The reference service's SQLite store: accounts (salted PBKDF2 passwords),
/// access tokens (kept only as SHA-256 hashes) and light shows.
class ServiceDatabase final {
public:
    struct Account {
        QString id;
        QString email;
    };

    struct NewLightShow {
        QString authorId;
        QString type; // "movie" or "tv"
        qint64 tmdbId = 0;
        qint64 season = 0;
        qint64 episode = 0;
        std::optional<QString> title;
        QByteArray data;
    };

    ServiceDatabase() = default;
    ~ServiceDatabase();
    ServiceDatabase(const ServiceDatabase&) = delete;
    ServiceDatabase& operator=(const ServiceDatabase&) = delete;

    /// Opens (creating when needed) the database file; ":memory:" keeps it in memory.
    bool open(const QString& path, QString& error);

    enum class SignInResult { SignedIn, Created, WrongPassword, Failed };
    /// Signs in with email and password, creating the account on first use.
    SignInResult signIn(const QString& email, const QString& password, Account& account);
    /// A fresh random token for the account; only its hash is stored.
    std::optional<QString> issueToken(const QString& accountId);
    std::optional<Account> accountForToken(const QString& token);

    std::optional<QString> addLightShow(const NewLightShow& show);

    /// A client's Idempotency-Key for one upload, with what was uploaded
    /// (type, numbers and body, hashed) to tell a repeat from a reuse.
    struct UploadKey {
        QString key;
        QByteArray fingerprint;
    };
    struct KeyedShow {
        QString id;
        bool sameUpload = true; // false: the key was used for something else
    };
    /// The show first stored under the author's key, if any.
    std::optional<KeyedShow> lightShowForKey(const QString& authorId, const UploadKey& key);
    /// Stores a show and its key in one transaction; when the key was stored
    /// meanwhile (another connection), gives the show stored under it.
    std::optional<KeyedShow> addLightShowOnce(const NewLightShow& show, const UploadKey& key);
    /// The author's shows, newest first, as listing objects; `total` is the count of all of them.
    QJsonArray lightShows(const QString& authorId, qint64 limit, qint64 offset, qint64& total);
    /// Deletes a show only when it belongs to the author.
    bool deleteLightShow(const QString& authorId, const QString& id);

private:
    QString m_connection;
};

} // namespace corvex::reference
