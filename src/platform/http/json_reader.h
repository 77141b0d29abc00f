#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include "platform/result.h"

#include <optional>

namespace corvex::http {

/// Reads the members of one JSON object strictly: a required member that is
/// missing or null, or any member of the wrong type, fails the whole record;
/// an optional member that is absent or null is none; an integer must be a
/// whole number within 64 bits (1.5 and "1" are refused).
///
/// The first failure is kept with the member's path (for example
/// `results[2].season`); later reads return empty values, so a decoder can
/// read every member and check `ok()` once at the end.
class JsonReader final {
public:
    JsonReader(const QJsonObject& object, QString path);

    QString requiredString(const QString& key);
    std::optional<QString> optionalString(const QString& key);
    qint64 requiredInteger(const QString& key);
    std::optional<qint64> optionalInteger(const QString& key);
    QJsonArray requiredArray(const QString& key);

    /// Member's path for a nested record, for example "results[3]".
    QString pathOf(const QString& key, qsizetype index = -1) const;

    bool ok() const { return m_error.isEmpty(); }
    /// "member results[2].season is missing", or empty.
    QString error() const { return m_error; }
    /// Keeps the first failure, for failures found by nested decoders.
    void fail(const QString& error);

private:
    enum class Kind { String, Integer, Array };
    std::optional<QJsonValue> member(const QString& key, Kind kind, bool required);

    QJsonObject m_object;
    QString m_path;
    QString m_error;
};

/// Parses a body that must be one JSON object; fails when it is not valid
/// JSON or not an object.
Result<QJsonObject> parseObject(const QByteArray& body);

/// Reads a whole integer from a JSON value (see JsonReader), or none.
std::optional<qint64> integerValue(const QJsonValue& value);

} // namespace corvex::http
