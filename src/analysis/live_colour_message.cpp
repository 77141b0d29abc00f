#include "analysis/live_colour_message.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace corvex::analysis {

namespace {

std::int64_t newest(const google::protobuf::RepeatedField<std::uint32_t>& values)
{
    if (values.empty())
        return 0;
    return std::min<std::uint32_t>(values.Get(values.size() - 1), 255);
}

void appendInteger(std::string& out, std::int64_t value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

std::optional<std::int64_t> integerMember(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    // Exactly representable integers only; 2^63 itself is out of range.
    if (!(number >= -9223372036854775808.0 && number < 9223372036854775808.0) || std::trunc(number) != number)
        return std::nullopt;
    return static_cast<std::int64_t>(number);
}

} // namespace

PreviewColors previewColors(const VideoAnalysis& record)
{
    PreviewColors colors;
    for (const VideoAnalysis::Channel& channel : record.channels()) {
        std::string name = std::to_string(channel.x()) + std::to_string(channel.y());
        colors[std::move(name)] = RGB { newest(channel.r()), newest(channel.g()), newest(channel.b()) };
    }
    return colors;
}

std::string encodeLiveColourMessage(const PreviewColors& colors)
{
    std::string out;
    out.reserve(32 * colors.size() + 2);
    out += '{';
    bool first = true;
    for (const auto& [name, rgb] : colors) {
        if (!first)
            out += ',';
        first = false;
        out += '"';
        out += name; // decimal digits only: nothing to escape
        out += "\":{\"r\":";
        appendInteger(out, rgb.r);
        out += ",\"g\":";
        appendInteger(out, rgb.g);
        out += ",\"b\":";
        appendInteger(out, rgb.b);
        out += '}';
    }
    out += '}';
    return out;
}

std::optional<PreviewColors> decodeLiveColourMessage(std::string_view bytes)
{
    QJsonParseError error {};
    const QJsonDocument document
        = QJsonDocument::fromJson(QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    PreviewColors colors;
    const QJsonObject members = document.object();
    for (auto it = members.begin(); it != members.end(); ++it) {
        if (!it.value().isObject())
            return std::nullopt;
        const QJsonObject object = it.value().toObject();
        const auto r = integerMember(object, QLatin1StringView("r"));
        const auto g = integerMember(object, QLatin1StringView("g"));
        const auto b = integerMember(object, QLatin1StringView("b"));
        if (!r || !g || !b)
            return std::nullopt;
        colors[it.key().toStdString()] = RGB { *r, *g, *b };
    }
    return colors;
}

} // namespace corvex::analysis
