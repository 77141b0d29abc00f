#include "service_database.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonObject>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace corvex::reference {

namespace {

constexpr int kIterations = 100'000;
constexpr int kKeyLength = 32;

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), count / 4);
    return bytes;
}

QByteArray derive(const QString& password, const QByteArray& salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(
        QCryptographicHash::Sha256, password.toUtf8(), salt, iterations, kKeyLength);
}

QString tokenHash(const QString& token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

ServiceDatabase::~ServiceDatabase()
{
    if (!m_connection.isEmpty()) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool ServiceDatabase::open(const QString& path, QString& error)
{
    m_connection = QUuid::createUuid().toString();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    if (!db.open()) {
        error = QStringLiteral("cannot open the database %1: %2").arg(path, db.lastError().text());
        return false;
    }
    const char* statements[] = {
        "PRAGMA foreign_keys = ON",
        "CREATE TABLE IF NOT EXISTS accounts (id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE, salt BLOB NOT NULL, "
        "password_key BLOB NOT NULL, iterations INTEGER NOT NULL, created_at TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS tokens (token_hash TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES "
        "accounts(id), created_at TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS lightshows (id TEXT PRIMARY KEY, author_id TEXT NOT NULL REFERENCES accounts(id), "
        "type TEXT NOT NULL, tmdb_id INTEGER NOT NULL, season INTEGER NOT NULL, episode INTEGER NOT NULL, "
        "title TEXT, data BLOB NOT NULL, created_at TEXT NOT NULL)",
        // The first upload under each of an author's keys; kept when the show
        // is deleted, so a late repeat does not bring it back.
        "CREATE TABLE IF NOT EXISTS upload_keys (account_id TEXT NOT NULL REFERENCES accounts(id), "
        "idempotency_key TEXT NOT NULL, fingerprint BLOB NOT NULL, lightshow_id TEXT NOT NULL, "
        "created_at TEXT NOT NULL, PRIMARY KEY (account_id, idempotency_key))",
    };
    for (const char* statement : statements) {
        QSqlQuery query(db);
        if (!query.exec(QLatin1StringView(statement))) {
            error = QStringLiteral("cannot prepare the database %1: %2").arg(path, query.lastError().text());
            return false;
        }
    }
    return true;
}

ServiceDatabase::SignInResult ServiceDatabase::signIn(const QString& email, const QString& password, Account& account)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery find(db);
    find.prepare(QStringLiteral("SELECT id, salt, password_key, iterations FROM accounts WHERE email = ?"));
    find.addBindValue(email);
    if (!find.exec())
        return SignInResult::Failed;
    if (find.next()) {
        const QByteArray key = derive(password, find.value(1).toByteArray(), find.value(3).toInt());
        if (!sameBytes(key, find.value(2).toByteArray()))
            return SignInResult::WrongPassword;
        account = { find.value(0).toString(), email };
        return SignInResult::SignedIn;
    }
    const QByteArray salt = randomBytes(16);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral(
        "INSERT INTO accounts (id, email, salt, password_key, iterations, created_at) VALUES (?, ?, ?, ?, ?, ?)"));
    account = { QUuid::createUuid().toString(QUuid::WithoutBraces), email };
    insert.addBindValue(account.id);
    insert.addBindValue(email);
    insert.addBindValue(salt);
    insert.addBindValue(derive(password, salt, kIterations));
    insert.addBindValue(kIterations);
    insert.addBindValue(now());
    return insert.exec() ? SignInResult::Created : SignInResult::Failed;
}

std::optional<QString> ServiceDatabase::issueToken(const QString& accountId)
{
    const QString token
        = QString::fromLatin1(randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    QSqlQuery insert(QSqlDatabase::database(m_connection));
    insert.prepare(QStringLiteral("INSERT INTO tokens (token_hash, account_id, created_at) VALUES (?, ?, ?)"));
    insert.addBindValue(tokenHash(token));
    insert.addBindValue(accountId);
    insert.addBindValue(now());
    if (!insert.exec())
        return std::nullopt;
    return token;
}

std::optional<ServiceDatabase::Account> ServiceDatabase::accountForToken(const QString& token)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral(
        "SELECT accounts.id, accounts.email FROM tokens JOIN accounts ON accounts.id = tokens.account_id "
        "WHERE tokens.token_hash = ?"));
    query.addBindValue(tokenHash(token));
    if (!query.exec() || !query.next())
        return std::nullopt;
    return Account { query.value(0).toString(), query.value(1).toString() };
}

std::optional<QString> ServiceDatabase::addLightShow(const NewLightShow& show)
{
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlQuery insert(QSqlDatabase::database(m_connection));
    insert.prepare(QStringLiteral("INSERT INTO lightshows (id, author_id, type, tmdb_id, season, episode, title, data, "
                                  "created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    insert.addBindValue(id);
    insert.addBindValue(show.authorId);
    insert.addBindValue(show.type);
    insert.addBindValue(show.tmdbId);
    insert.addBindValue(show.season);
    insert.addBindValue(show.episode);
    insert.addBindValue(show.title ? QVariant(*show.title) : QVariant(QMetaType::fromType<QString>()));
    insert.addBindValue(show.data);
    insert.addBindValue(now());
    if (!insert.exec())
        return std::nullopt;
    return id;
}

std::optional<ServiceDatabase::KeyedShow> ServiceDatabase::lightShowForKey(
    const QString& authorId, const UploadKey& key)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral(
        "SELECT lightshow_id, fingerprint FROM upload_keys WHERE account_id = ? AND idempotency_key = ?"));
    query.addBindValue(authorId);
    query.addBindValue(key.key);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return KeyedShow { query.value(0).toString(), query.value(1).toByteArray() == key.fingerprint };
}

std::optional<ServiceDatabase::KeyedShow> ServiceDatabase::addLightShowOnce(
    const NewLightShow& show, const UploadKey& key)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    if (!db.transaction())
        return std::nullopt;
    const std::optional<QString> id = addLightShow(show);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO upload_keys (account_id, idempotency_key, fingerprint, lightshow_id, "
                                  "created_at) VALUES (?, ?, ?, ?, ?)"));
    insert.addBindValue(show.authorId);
    insert.addBindValue(key.key);
    insert.addBindValue(key.fingerprint);
    insert.addBindValue(id.value_or(QString()));
    insert.addBindValue(now());
    if (id && insert.exec() && db.commit())
        return KeyedShow { *id, true };
    // Nothing of this attempt stays; if the key won elsewhere, its show is the answer.
    db.rollback();
    return lightShowForKey(show.authorId, key);
}

QJsonArray ServiceDatabase::lightShows(const QString& authorId, qint64 limit, qint64 offset, qint64& total)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery count(db);
    count.prepare(QStringLiteral("SELECT COUNT(*) FROM lightshows WHERE author_id = ?"));
    count.addBindValue(authorId);
    total = count.exec() && count.next() ? count.value(0).toLongLong() : 0;

    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, tmdb_id, season, episode, type, author_id, created_at, title "
                                 "FROM lightshows WHERE author_id = ? ORDER BY created_at DESC, rowid DESC "
                                 "LIMIT ? OFFSET ?"));
    query.addBindValue(authorId);
    query.addBindValue(limit);
    query.addBindValue(offset);
    QJsonArray results;
    if (!query.exec())
        return results;
    while (query.next()) {
        results.append(QJsonObject {
            { QStringLiteral("id"), query.value(0).toString() },
            { QStringLiteral("tmdb_id"), query.value(1).toLongLong() },
            { QStringLiteral("season"), query.value(2).toLongLong() },
            { QStringLiteral("episode"), query.value(3).toLongLong() },
            { QStringLiteral("type"), query.value(4).toString() },
            { QStringLiteral("author_id"), query.value(5).toString() },
            { QStringLiteral("created_at"), query.value(6).toString() },
            { QStringLiteral("title"), query.value(7).isNull() ? QJsonValue() : QJsonValue(query.value(7).toString()) },
        });
    }
    return results;
}

bool ServiceDatabase::deleteLightShow(const QString& authorId, const QString& id)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("DELETE FROM lightshows WHERE id = ? AND author_id = ?"));
    query.addBindValue(id);
    query.addBindValue(authorId);
    return query.exec() && query.numRowsAffected() > 0;
}

} // namespace corvex::reference
