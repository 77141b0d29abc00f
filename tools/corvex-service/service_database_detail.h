// What the two halves of ServiceDatabase (the connection and its schema, and
// the records) share: how the server's SQL differs, how times are stored and
// how a database's reason for a failure is read.
#pragma once

#include "service_database.h"

#include <QDateTime>
#include <QSqlError>
#include <QString>

#include <vector>

namespace corvex::reference {

// The one place where SQLite and PostgreSQL differ; everything else is
// written once. Schema statements name {blob} for binary columns and
// {insertion_order} for the column (or its stand-in) that orders rows as
// they were inserted.
struct ServiceDatabase::Dialect {
    const char* driver;
    const char* blob;
    const char* insertionOrderColumn; // a column definition to add, or empty
    const char* insertionOrder;
    const char* columnsOf; // %1: a table; one row per column
    int columnNameField;
    std::vector<const char*> session; // once per connection, outside transactions
    const char* migrationLock; // inside the migration's transaction, or null
    const char* beginWrite; // a transaction that writes, taking its write lock at once
    const char* signInLock; // inside the sign-in bookkeeping's transaction, or null

    QString adapt(const char* statement) const
    {
        return QString::fromLatin1(statement)
            .replace(QLatin1StringView("{blob}"), QLatin1StringView(blob))
            .replace(QLatin1StringView("{insertion_order_column}"), QLatin1StringView(insertionOrderColumn))
            .replace(QLatin1StringView("{insertion_order}"), QLatin1StringView(insertionOrder));
    }
};

namespace database_detail {

// Times are stored as ISO text in UTC with milliseconds, so that comparing
// the texts compares the times.
inline QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

inline QString expiryFromNow(std::chrono::seconds lifetime)
{
    return QDateTime::currentDateTimeUtc().addSecs(static_cast<qint64>(lifetime.count())).toString(Qt::ISODateWithMs);
}

// The database's own reason where it gave one, else Qt's.
inline QString reasonOf(const QSqlError& error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

} // namespace database_detail

} // namespace corvex::reference
