#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <atomic>
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
    /// in owner-only folders (never through a symbolic link, nor in a folder
    /// others may write to); ":memory:" keeps it in memory. A statement that
    /// waits longer than `timeout` for a lock, or runs longer, fails. A
    /// failure's message never holds the URL's password.
    Result<void> open(const QString& location, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    static bool isInMemory(const QString& location) { return location == QLatin1StringView(":memory:"); }
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
    /// Whether the connection was lost (a statement failed on it); the
    /// service's other connections are then made again before their next
    /// statement instead of failing first.
    bool noticeLoss();
    /// Something about the database's place the operator should know, or empty.
    const QString& warning() const { return m_warning; }

    /// Why a call gave nothing back: what it looked for is missing (for a
    /// new account: one exists already), or the database could not answer
    /// (what failed is then in the service's log).
    struct Failure {
        enum Kind { Missing, Exists, Unavailable } kind = Unavailable;
    };
    template <typename T> using Outcome = Result<T, Failure>;

    /// What checking a password needs. Deriving the key is slow on purpose,
    /// so it is done by `deriveKey`, on any thread, between the two calls.
    struct Credentials {
        Account account;
        QByteArray salt;
        QByteArray key;
        int iterations = 0;
    };
    Outcome<Credentials> credentials(const QString& email);
    /// PBKDF2-SHA256; thread-safe.
    static QByteArray deriveKey(const QString& password, const QByteArray& salt, int iterations);
    static QByteArray newSalt();
    /// Constant-time comparison of two keys.
    static bool sameKey(const QByteArray& a, const QByteArray& b);
    /// Stores a new account whose key was derived with `salt` and `iterations`.
    Outcome<Account> createAccount(const QString& email, const QByteArray& salt, const QByteArray& key, int iterations);
    /// How long a token issued from now on stays valid (90 days unless set).
    void setTokenLifetime(std::chrono::seconds lifetime) { m_tokenLifetime = lifetime; }
    /// A fresh random token for the account; only its hash is stored.
    std::optional<QString> issueToken(const QString& accountId);
    /// The token's account while the token is valid: issued, not expired,
    /// not revoked; Missing otherwise.
    Outcome<Account> accountForToken(const QString& token);
    /// Ends the token at once; Missing when it was not valid anyway.
    Outcome<void> revokeToken(const QString& token);

    /// How many PBKDF2 iterations most accounts' passwords have; none
    /// without accounts (or when the database cannot tell).
    std::optional<int> commonIterations();

    /// Failed sign-ins allowed per window: per client address and email
    /// address together, per email address from anywhere (much higher, so
    /// that guessing from elsewhere does not lock the owner out), and per
    /// client address whatever the email.
    struct SignInLimits {
        int perPair = 5;
        int perEmail = 50;
        int perAddress = 30;
        std::chrono::milliseconds window { 60'000 };
    };
    /// A sign-in attempt counts from its start, so that attempts in flight
    /// are counted too; one that succeeds is taken back by `forgetSignIn`.
    struct Attempt {
        enum { Started, Limited, Failed } outcome = Failed;
        QString id; // when Started
        qint64 waitMs = 0; // when Limited: until another attempt is allowed
    };
    Attempt beginSignIn(const QString& address, const QString& email, const SignInLimits& limits);
    void forgetSignIn(const QString& attemptId);

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
    Outcome<KeyedShow> lightShowForKey(const QString& authorId, const UploadKey& key);
    /// Stores a show and its key in one transaction; when the key was stored
    /// meanwhile (another connection), gives the show stored under it.
    std::optional<KeyedShow> addLightShowOnce(const NewLightShow& show, const UploadKey& key);
    /// The author's shows, newest first, as listing objects; `total` is the
    /// count of all of them. None when the database could not answer.
    std::optional<QJsonArray> lightShows(const QString& authorId, qint64 limit, qint64 offset, qint64& total);
    /// Deletes a show only when it belongs to the author.
    Outcome<void> deleteLightShow(const QString& authorId, const QString& id);

private:
    struct Dialect;
    static const Dialect kSqlite;
    static const Dialect kPostgres;
    static const std::vector<const char*> kSchema;

    Result<void> migrate();
    QSqlError startSession(QSqlDatabase& db);
    /// The connection, made again first when the server dropped it.
    QSqlDatabase database();

    const Dialect* m_dialect = nullptr;
    QString m_shownLocation;
    QElapsedTimer m_lastReconnect;
    /// Bumped by the first connection of the process that finds itself lost.
    static std::atomic<int> s_generation;
    int m_generation = 0;
    QString m_connection;
    QString m_warning;
    std::vector<QString> m_session; // statements every new connection runs
    std::chrono::seconds m_tokenLifetime = std::chrono::hours(24 * 90);
};

} // namespace corvex::reference
