#include "service/light_show.h"

namespace corvex::service {

Result<LightShowsResponse> decodeLightShowsResponse(const QByteArray& body)
{
    const Result<QJsonObject> object = http::parseObject(body);
    if (!object)
        return Result<LightShowsResponse>::failure(object.error);
    http::JsonReader reader(*object.value, QString());
    LightShowsResponse response;
    const QJsonArray results = reader.requiredArray(QStringLiteral("results"));
    response.limit = reader.optionalInteger(QStringLiteral("limit"));
    response.offset = reader.optionalInteger(QStringLiteral("offset"));
    response.total = reader.optionalInteger(QStringLiteral("total"));
    for (qsizetype i = 0; i < results.size() && reader.ok(); ++i) {
        const QString path = reader.pathOf(QStringLiteral("results"), i);
        if (!results.at(i).isObject()) {
            reader.fail(QStringLiteral("member %1 is not an object").arg(path));
            break;
        }
        http::JsonReader item(results.at(i).toObject(), path);
        LightShow show;
        show.id = item.requiredString(QStringLiteral("id"));
        show.tmdb_id = item.requiredInteger(QStringLiteral("tmdb_id"));
        show.season = item.requiredInteger(QStringLiteral("season"));
        show.episode = item.requiredInteger(QStringLiteral("episode"));
        show.type = item.requiredString(QStringLiteral("type"));
        show.author_id = item.requiredString(QStringLiteral("author_id"));
        show.created_at = item.requiredString(QStringLiteral("created_at"));
        show.title = item.optionalString(QStringLiteral("title"));
        if (!item.ok())
            reader.fail(item.error());
        else
            response.results.append(std::move(show));
    }
    if (!reader.ok())
        return Result<LightShowsResponse>::failure(reader.error());
    return { std::move(response), {} };
}

} // namespace corvex::service
