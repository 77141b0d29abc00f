// The records of ServiceDatabase: accounts and their passwords, tokens,
// sign-in attempts and light shows.
#include "service_database.h"
#include "service_database_detail.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <cstdio>

namespace corvex::reference {

namespace {

using database_detail::expiryFromNow;
using database_detail::now;
using database_detail::reasonOf;

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

using Failure = ServiceDatabase::Failure;

// A statement that failed: the client learns only that it was the service's
// trouble, the operator what was being done and the database's reason (its
// first line only: the lines after it may quote the values).
void logFailure(const char* what, const QSqlError& error)
{
    const QByteArray line = "corvex-service: the database failed: cannot " + QByteArray(what) + ": "
        + reasonOf(error).section(QLatin1Char('\n'), 0, 0).trimmed().toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

Failure unanswered(const char* what, const QSqlError& error)
{
    logFailure(what, error);
    return { Failure::Unavailable };
}

const Failure kMissing { Failure::Missing };

} // namespace

ServiceDatabase::Outcome<ServiceDatabase::Credentials> ServiceDatabase::credentials(const QString& email)
{
    QSqlQuery find(database());
    find.prepare(QStringLiteral("SELECT id, salt, password_key, iterations FROM accounts WHERE email = ?"));
    find.addBindValue(email);
    if (!find.exec())
        return Outcome<Credentials>::failure(unanswered("look up an account", find.lastError()));
    if (!find.next())
        return Outcome<Credentials>::failure(kMissing);
    return Outcome<Credentials>::success({ { find.value(0).toString(), email }, find.value(1).toByteArray(),
        find.value(2).toByteArray(), find.value(3).toInt() });
}

QByteArray ServiceDatabase::deriveKey(const QString& password, const QByteArray& salt, int iterations)
{
    return derive(password, salt, iterations);
}

QByteArray ServiceDatabase::newSalt()
{
    return randomBytes(16);
}

bool ServiceDatabase::sameKey(const QByteArray& a, const QByteArray& b)
{
    return sameBytes(a, b);
}

ServiceDatabase::Outcome<ServiceDatabase::Account> ServiceDatabase::createAccount(
    const QString& email, const QByteArray& salt, const QByteArray& key, int iterations)
{
    QSqlDatabase db = database();
    // Nothing when the account is missing: Exists, or why the database could not tell.
    const auto exists = [&]() -> std::optional<Failure> {
        QSqlQuery find(db);
        find.prepare(QStringLiteral("SELECT 1 FROM accounts WHERE email = ?"));
        find.addBindValue(email);
        if (!find.exec())
            return unanswered("look up an account", find.lastError());
        return find.next() ? std::optional(Failure { Failure::Exists }) : std::nullopt;
    };
    if (const std::optional<Failure> existing = exists())
        return Outcome<Account>::failure(*existing);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral(
        "INSERT INTO accounts (id, email, salt, password_key, iterations, created_at) VALUES (?, ?, ?, ?, ?, ?)"));
    const Account account { QUuid::createUuid().toString(QUuid::WithoutBraces), email };
    insert.addBindValue(account.id);
    insert.addBindValue(email);
    insert.addBindValue(salt);
    insert.addBindValue(key);
    insert.addBindValue(iterations);
    insert.addBindValue(now());
    if (insert.exec())
        return Outcome<Account>::success(account);
    // Another service sharing the database may have created it meanwhile.
    return Outcome<Account>::failure(exists().value_or(unanswered("create an account", insert.lastError())));
}

std::optional<QString> ServiceDatabase::issueToken(const QString& accountId)
{
    const QString token
        = QString::fromLatin1(randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    QSqlDatabase db = database();
    // Expired tokens are of no use to anyone; this keeps the table small.
    QSqlQuery prune(db);
    prune.prepare(QStringLiteral("DELETE FROM tokens WHERE expires_at <= ?"));
    prune.addBindValue(now());
    prune.exec();
    QSqlQuery insert(db);
    insert.prepare(
        QStringLiteral("INSERT INTO tokens (token_hash, account_id, created_at, expires_at) VALUES (?, ?, ?, ?)"));
    insert.addBindValue(tokenHash(token));
    insert.addBindValue(accountId);
    insert.addBindValue(now());
    insert.addBindValue(expiryFromNow(m_tokenLifetime));
    if (!insert.exec()) {
        logFailure("issue an access token", insert.lastError());
        return std::nullopt;
    }
    return token;
}

ServiceDatabase::Outcome<void> ServiceDatabase::revokeToken(const QString& token)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("DELETE FROM tokens WHERE token_hash = ? AND expires_at > ?"));
    query.addBindValue(tokenHash(token));
    query.addBindValue(now());
    if (!query.exec())
        return Outcome<void>::failure(unanswered("revoke an access token", query.lastError()));
    return query.numRowsAffected() > 0 ? Outcome<void>::success() : Outcome<void>::failure(kMissing);
}

std::optional<int> ServiceDatabase::commonIterations()
{
    QSqlQuery query(database());
    if (!query.exec(QStringLiteral(
            "SELECT iterations FROM accounts GROUP BY iterations ORDER BY COUNT(*) DESC, iterations DESC LIMIT 1"))
        || !query.next())
        return std::nullopt;
    return query.value(0).toInt();
}

ServiceDatabase::Attempt ServiceDatabase::beginSignIn(
    const QString& address, const QString& email, const SignInLimits& limits)
{
    QSqlDatabase db = database();
    const QDateTime current = QDateTime::currentDateTimeUtc();
    const QString horizon = current.addMSecs(-limits.window.count()).toString(Qt::ISODateWithMs);
    // Counting and adding are one step for all services on the database:
    // two attempts that start together cannot both be the last one allowed.
    QSqlQuery begin(db);
    if (!begin.exec(QLatin1StringView(m_dialect->beginWrite)))
        return {};
    const auto rollback = [&db] {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return Attempt {};
    };
    if (m_dialect->signInLock && !QSqlQuery(db).exec(QLatin1StringView(m_dialect->signInLock)))
        return rollback();
    QSqlQuery prune(db);
    prune.prepare(QStringLiteral("DELETE FROM sign_in_attempts WHERE started_at <= ?"));
    prune.addBindValue(horizon);
    if (!prune.exec())
        return rollback();
    // For each limit: when it is reached, the time at which the attempt
    // that must leave the window to make room for one more started.
    qint64 waitMs = 0;
    const auto check = [&](const QString& where, const QVariantList& values, int allowed) {
        QSqlQuery query(db);
        query.prepare(QStringLiteral("SELECT started_at FROM sign_in_attempts WHERE %1 ORDER BY started_at DESC "
                                     "LIMIT 1 OFFSET %2")
                          .arg(where)
                          .arg(allowed - 1));
        for (const QVariant& value : values)
            query.addBindValue(value);
        if (!query.exec())
            return false;
        if (query.next()) {
            const QDateTime leaves
                = QDateTime::fromString(query.value(0).toString(), Qt::ISODateWithMs).addMSecs(limits.window.count());
            waitMs = std::max(waitMs, std::max<qint64>(1, current.msecsTo(leaves)));
        }
        return true;
    };
    if (!check(QStringLiteral("address = ? AND email = ?"), { address, email }, limits.perPair)
        || !check(QStringLiteral("email = ?"), { email }, limits.perEmail)
        || !check(QStringLiteral("address = ?"), { address }, limits.perAddress))
        return rollback();
    Attempt attempt;
    if (waitMs > 0) {
        attempt.outcome = Attempt::Limited;
        attempt.waitMs = waitMs;
    } else {
        attempt.outcome = Attempt::Started;
        attempt.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        QSqlQuery insert(db);
        insert.prepare(
            QStringLiteral("INSERT INTO sign_in_attempts (id, address, email, started_at) VALUES (?, ?, ?, ?)"));
        insert.addBindValue(attempt.id);
        insert.addBindValue(address);
        insert.addBindValue(email);
        insert.addBindValue(current.toString(Qt::ISODateWithMs));
        if (!insert.exec())
            return rollback();
    }
    if (!QSqlQuery(db).exec(QStringLiteral("COMMIT")))
        return rollback();
    return attempt;
}

void ServiceDatabase::forgetSignIn(const QString& attemptId)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("DELETE FROM sign_in_attempts WHERE id = ?"));
    query.addBindValue(attemptId);
    query.exec();
}

ServiceDatabase::Outcome<ServiceDatabase::Account> ServiceDatabase::accountForToken(const QString& token)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral(
        "SELECT accounts.id, accounts.email FROM tokens JOIN accounts ON accounts.id = tokens.account_id "
        "WHERE tokens.token_hash = ? AND tokens.expires_at > ?"));
    query.addBindValue(tokenHash(token));
    query.addBindValue(now());
    if (!query.exec())
        return Outcome<Account>::failure(unanswered("check an access token", query.lastError()));
    if (!query.next())
        return Outcome<Account>::failure(kMissing);
    return Outcome<Account>::success({ query.value(0).toString(), query.value(1).toString() });
}

std::optional<QString> ServiceDatabase::addLightShow(const NewLightShow& show)
{
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlQuery insert(database());
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
    if (!insert.exec()) {
        logFailure("store a light show", insert.lastError());
        return std::nullopt;
    }
    return id;
}

ServiceDatabase::Outcome<ServiceDatabase::KeyedShow> ServiceDatabase::lightShowForKey(
    const QString& authorId, const UploadKey& key)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral(
        "SELECT lightshow_id, fingerprint FROM upload_keys WHERE account_id = ? AND idempotency_key = ?"));
    query.addBindValue(authorId);
    query.addBindValue(key.key);
    if (!query.exec())
        return Outcome<KeyedShow>::failure(unanswered("look up an upload's key", query.lastError()));
    if (!query.next())
        return Outcome<KeyedShow>::failure(kMissing);
    return Outcome<KeyedShow>::success({ query.value(0).toString(), query.value(1).toByteArray() == key.fingerprint });
}

std::optional<ServiceDatabase::KeyedShow> ServiceDatabase::addLightShowOnce(
    const NewLightShow& show, const UploadKey& key)
{
    QSqlDatabase db = database();
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
    return lightShowForKey(show.authorId, key).value;
}

std::optional<QJsonArray> ServiceDatabase::lightShows(
    const QString& authorId, qint64 limit, qint64 offset, qint64& total)
{
    QSqlDatabase db = database();
    QSqlQuery count(db);
    count.prepare(QStringLiteral("SELECT COUNT(*) FROM lightshows WHERE author_id = ?"));
    count.addBindValue(authorId);
    if (!count.exec() || !count.next()) {
        logFailure("count light shows", count.lastError());
        return std::nullopt;
    }
    total = count.value(0).toLongLong();

    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, tmdb_id, season, episode, type, author_id, created_at, title "
                                 "FROM lightshows WHERE author_id = ? ORDER BY created_at DESC, %1 DESC "
                                 "LIMIT ? OFFSET ?")
                      .arg(QLatin1StringView(m_dialect->insertionOrder)));
    query.addBindValue(authorId);
    query.addBindValue(limit);
    query.addBindValue(offset);
    QJsonArray results;
    if (!query.exec()) {
        logFailure("list light shows", query.lastError());
        return std::nullopt;
    }
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

ServiceDatabase::Outcome<void> ServiceDatabase::deleteLightShow(const QString& authorId, const QString& id)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("DELETE FROM lightshows WHERE id = ? AND author_id = ?"));
    query.addBindValue(id);
    query.addBindValue(authorId);
    if (!query.exec())
        return Outcome<void>::failure(unanswered("delete a light show", query.lastError()));
    return query.numRowsAffected() > 0 ? Outcome<void>::success() : Outcome<void>::failure(kMissing);
}

} // namespace corvex::reference
