#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace corvex::reference {

/// The reference service's store: accounts (salted PBKDF2 passwords), access
/// tokens (kept only as SHA-256 hashes) and light shows. SQLite, embedded, by
/// default; a PostgreSQL server for a service that outgrows one machine.
/// Every statement runs on the thread that opened it.
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

    /// Opens the database and brings its tables up to date. `location` is a
    /// postgresql:// URL, or a SQLite file, created when needed owner-only
    /// in owner-only folders; ":memory:" keeps it in memory. A failure's
    /// message never holds the URL's password.
    Result<void> open(const QString& location);
    static bool isPostgresUrl(const QString& location);
    /// A PostgreSQL URL taken apart; `shown` is the URL without its password.
    struct PostgresUrl {
        QString host;
        int port = 0;
        QString user;
        QString password;
        QString database;
        QString options;
        QString shown;
    };
    /// Something about the database's place the operator should know, or empty.
    const QString& warning() const { return m_warning; }

    /// What checking a password needs. Deriving the key is slow on purpose,
    /// so it is done by `deriveKey`, on any thread, between the two calls.
    struct Credentials {
        Account account;
        QByteArray salt;
        QByteArray key;
        int iterations = 0;
    };
    enum class Lookup { Found, Missing, Failed };
    Lookup credentials(const QString& email, Credentials& credentials);
    /// PBKDF2-SHA256; thread-safe.
    static QByteArray deriveKey(const QString& password, const QByteArray& salt, int iterations);
    static QByteArray newSalt();
    /// Constant-time comparison of two keys.
    static bool sameKey(const QByteArray& a, const QByteArray& b);
    enum class Creation { Created, Exists, Failed };
    /// Stores a new account whose key was derived with `salt` and `iterations`.
    Creation createAccount(
        const QString& email, const QByteArray& salt, const QByteArray& key, int iterations, Account& account);
    /// How long a token issued from now on stays valid (90 days unless set).
    void setTokenLifetime(std::chrono::seconds lifetime) { m_tokenLifetime = lifetime; }
    /// A fresh random token for the account; only its hash is stored.
    std::optional<QString> issueToken(const QString& accountId);
    /// The token's account while the token is valid: issued, not expired,
    /// not revoked. `failed` tells a database that could not answer from a
    /// token that is not valid.
    std::optional<Account> accountForToken(const QString& token, bool* failed = nullptr);
    /// Ends the token at once; false when it was not valid anyway.
    bool revokeToken(const QString& token);

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
    struct Dialect;
    static const Dialect kSqlite;
    static const Dialect kPostgres;
    static const std::vector<const char*> kSchema;

    Result<void> migrate();
    /// The connection, made again first when the server dropped it.
    QSqlDatabase database();

    const Dialect* m_dialect = nullptr;
    QString m_shownLocation;
    QElapsedTimer m_lastReconnect;
    QString m_connection;
    QString m_warning;
    std::chrono::seconds m_tokenLifetime = std::chrono::hours(24 * 90);
};

} // namespace corvex::reference
