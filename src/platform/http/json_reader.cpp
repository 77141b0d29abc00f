#include "platform/http/json_reader.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace corvex::http {

std::optional<qint64> integerValue(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() falls back to its argument for fractional or out-of-range
    // numbers; two different fallbacks tell those apart from real integers.
    const qint64 first = value.toInteger(0);
    const qint64 second = value.toInteger(1);
    if (first != second)
        return std::nullopt;
    return first;
}

JsonReader::JsonReader(const QJsonObject& object, QString path)
    : m_object(object)
    , m_path(std::move(path))
{
}

QString JsonReader::pathOf(const QString& key, qsizetype index) const
{
    QString result = m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key;
    if (index >= 0)
        result += QStringLiteral("[%1]").arg(index);
    return result;
}

void JsonReader::fail(const QString& error)
{
    if (m_error.isEmpty())
        m_error = error;
}

std::optional<QJsonValue> JsonReader::member(const QString& key, Kind kind, bool required)
{
    if (!ok())
        return std::nullopt;
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull()) {
        if (required)
            fail(QStringLiteral("member %1 is %2")
                     .arg(pathOf(key), value.isNull() ? QStringLiteral("null") : QStringLiteral("missing")));
        return std::nullopt;
    }
    bool typeMatches = false;
    QString expected;
    switch (kind) {
    case Kind::String:
        typeMatches = value.isString();
        expected = QStringLiteral("text");
        break;
    case Kind::Integer:
        typeMatches = integerValue(value).has_value();
        expected = QStringLiteral("a whole number");
        break;
    case Kind::Array:
        typeMatches = value.isArray();
        expected = QStringLiteral("a list");
        break;
    }
    if (!typeMatches) {
        fail(QStringLiteral("member %1 is not %2").arg(pathOf(key), expected));
        return std::nullopt;
    }
    return value;
}

QString JsonReader::requiredString(const QString& key)
{
    const auto value = member(key, Kind::String, true);
    return value ? value->toString() : QString();
}

std::optional<QString> JsonReader::optionalString(const QString& key)
{
    const auto value = member(key, Kind::String, false);
    if (!value)
        return std::nullopt;
    return value->toString();
}

qint64 JsonReader::requiredInteger(const QString& key)
{
    const auto value = member(key, Kind::Integer, true);
    return value ? *integerValue(*value) : 0;
}

std::optional<qint64> JsonReader::optionalInteger(const QString& key)
{
    const auto value = member(key, Kind::Integer, false);
    if (!value)
        return std::nullopt;
    return integerValue(*value);
}

QJsonArray JsonReader::requiredArray(const QString& key)
{
    const auto value = member(key, Kind::Array, true);
    return value ? value->toArray() : QJsonArray();
}

Result<QJsonObject> parseObject(const QByteArray& body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Result<QJsonObject>::failure(body.isEmpty() ? QStringLiteral("the answer is empty")
                                                           : QStringLiteral("the answer is not JSON (%1 at byte %2)")
                                                                 .arg(parseError.errorString())
                                                                 .arg(parseError.offset));
    }
    if (!document.isObject())
        return Result<QJsonObject>::failure(QStringLiteral("the answer is not a JSON object"));
    return Result<QJsonObject>::success(document.object());
}

} // namespace corvex::http
