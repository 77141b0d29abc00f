#pragma once

// What the reference service stored, read straight from its SQLite file.
// Header-only so every test program can include it.

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

namespace corvex::test {

/// The stored shows' records, in upload order; `where` (a condition with one
/// ?, bound to `value`) narrows them.
inline QList<QByteArray> storedShows(const QString& database, const QString& where = {}, const QVariant& value = {})
{
    QList<QByteArray> shows;
    const QString name = QStringLiteral("stored-shows");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(database);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT data FROM lightshows %1 ORDER BY rowid")
                              .arg(where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where));
            if (!where.isEmpty())
                query.addBindValue(value);
            query.exec();
            while (query.next())
                shows.append(query.value(0).toByteArray());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return shows;
}

} // namespace corvex::test
