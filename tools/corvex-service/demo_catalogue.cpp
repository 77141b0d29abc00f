#include "demo_catalogue.h"

#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace corvex::reference {

namespace {

QJsonObject withPoster(QJsonObject record, const QString& kind)
{
    record.insert(QStringLiteral("poster_path"),
        QStringLiteral("/%1-%2.png").arg(kind).arg(record.value(QStringLiteral("id")).toInteger()));
    record.remove(QStringLiteral("seasons"));
    return record;
}

std::optional<QJsonObject> findById(const QJsonArray& array, qint64 id)
{
    for (const QJsonValue& value : array) {
        if (value.toObject().value(QStringLiteral("id")).toInteger() == id)
            return value.toObject();
    }
    return std::nullopt;
}

qint64 episodeId(qint64 seasonId, qint64 episodeNumber)
{
    return seasonId * 100 + episodeNumber;
}

} // namespace

Result<void> DemoCatalogue::load()
{
    QFile file(QStringLiteral(":/corvex-service/demo_catalogue.json"));
    if (!file.open(QIODevice::ReadOnly))
        return Result<void>::failure(QStringLiteral("the bundled demo catalogue is missing"));
    QJsonParseError parseError;
    m_data = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    if (parseError.error != QJsonParseError::NoError)
        return Result<void>::failure(
            QStringLiteral("the bundled demo catalogue is broken: %1").arg(parseError.errorString()));
    return Result<void>::success();
}

QJsonObject DemoCatalogue::search(const QString& query) const
{
    QJsonArray results;
    const QString needle = query.trimmed();
    const auto matches
        = [&needle](const QString& text) { return !needle.isEmpty() && text.contains(needle, Qt::CaseInsensitive); };
    for (const QJsonValue& value : m_data.value(QStringLiteral("movies")).toArray()) {
        if (!matches(value.toObject().value(QStringLiteral("title")).toString()))
            continue;
        QJsonObject record = withPoster(value.toObject(), QStringLiteral("movie"));
        record.insert(QStringLiteral("media_type"), QStringLiteral("movie"));
        results.append(record);
    }
    for (const QJsonValue& value : m_data.value(QStringLiteral("tv")).toArray()) {
        if (!matches(value.toObject().value(QStringLiteral("name")).toString()))
            continue;
        QJsonObject record = withPoster(value.toObject(), QStringLiteral("tv"));
        record.insert(QStringLiteral("media_type"), QStringLiteral("tv"));
        results.append(record);
    }
    return { { QStringLiteral("page"), 1 }, { QStringLiteral("results"), results },
        { QStringLiteral("total_pages"), 1 }, { QStringLiteral("total_results"), results.size() } };
}

std::optional<QJsonObject> DemoCatalogue::tvDetails(qint64 showId) const
{
    const auto show = findById(m_data.value(QStringLiteral("tv")).toArray(), showId);
    if (!show)
        return std::nullopt;
    QJsonArray seasons;
    for (const QJsonValue& value : show->value(QStringLiteral("seasons")).toArray()) {
        const QJsonObject season = value.toObject();
        seasons.append(QJsonObject {
            { QStringLiteral("id"), season.value(QStringLiteral("id")) },
            { QStringLiteral("season_number"), season.value(QStringLiteral("season_number")) },
            { QStringLiteral("name"), season.value(QStringLiteral("name")) },
            { QStringLiteral("episode_count"), season.value(QStringLiteral("episodes")).toArray().size() },
        });
    }
    QJsonObject details = withPoster(*show, QStringLiteral("tv"));
    details.insert(QStringLiteral("seasons"), seasons);
    return details;
}

std::optional<QJsonObject> DemoCatalogue::seasonDetails(qint64 showId, qint64 seasonNumber) const
{
    const auto show = findById(m_data.value(QStringLiteral("tv")).toArray(), showId);
    if (!show)
        return std::nullopt;
    for (const QJsonValue& value : show->value(QStringLiteral("seasons")).toArray()) {
        const QJsonObject season = value.toObject();
        if (season.value(QStringLiteral("season_number")).toInteger() != seasonNumber)
            continue;
        const qint64 seasonId = season.value(QStringLiteral("id")).toInteger();
        QJsonArray episodes;
        const QJsonArray names = season.value(QStringLiteral("episodes")).toArray();
        for (qsizetype i = 0; i < names.size(); ++i)
            episodes.append(QJsonObject { { QStringLiteral("id"), episodeId(seasonId, i + 1) },
                { QStringLiteral("episode_number"), i + 1 }, { QStringLiteral("name"), names.at(i) } });
        return QJsonObject { { QStringLiteral("id"), seasonId }, { QStringLiteral("season_number"), seasonNumber },
            { QStringLiteral("name"), season.value(QStringLiteral("name")) },
            { QStringLiteral("episodes"), episodes } };
    }
    return std::nullopt;
}

std::optional<QByteArray> DemoCatalogue::poster(const QString& fileName) const
{
    static const QRegularExpression pattern(QStringLiteral("^(movie|tv)-([0-9]{1,12})\\.png$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 id = match.captured(2).toLongLong();
    const bool isMovie = match.captured(1) == QLatin1StringView("movie");
    if (!findById(m_data.value(isMovie ? QStringLiteral("movies") : QStringLiteral("tv")).toArray(), id))
        return std::nullopt;
    // A poster of two colour bands derived from the id: enough to tell the
    // titles apart in a list.
    QImage image(92, 138, QImage::Format_RGB32);
    const QRgb top = QColor::fromHsv(static_cast<int>((id * 47) % 360), 160, 200).rgb();
    const QRgb bottom = QColor::fromHsv(static_cast<int>((id * 47 + 180) % 360), 200, 90).rgb();
    const QRgb stripe = isMovie ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = y < 92 ? top : (y >= 100 && y < 106 && x >= 8 && x < 84 ? stripe : bottom);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

std::optional<QString> DemoCatalogue::titleOf(const QString& type, qint64 tmdbId, qint64 season, qint64 episode) const
{
    if (type == QLatin1StringView("movie")) {
        const auto movie = findById(m_data.value(QStringLiteral("movies")).toArray(), tmdbId);
        if (!movie)
            return std::nullopt;
        return movie->value(QStringLiteral("title")).toString();
    }
    const auto show = findById(m_data.value(QStringLiteral("tv")).toArray(), tmdbId);
    if (!show)
        return std::nullopt;
    return show->value(QStringLiteral("name")).toString()
        + QString::asprintf(" S%02lldE%02lld", static_cast<long long>(season), static_cast<long long>(episode));
}

} // namespace corvex::reference
