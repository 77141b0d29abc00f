#include "app/light_show_table_model.h"

#include "app/text_styles.h"
#include "service/light_show_list_model.h"

#include <QBrush>
#include <QDateTime>

namespace corvex::app {

std::optional<qint64> createdAtTime(const QString& createdAt)
{
    QDateTime time = QDateTime::fromString(createdAt.trimmed(), Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(createdAt.trimmed(), Qt::RFC2822Date);
    if (!time.isValid())
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

LightShowSortModel::LightShowSortModel(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    setSortRole(LightShowTableModel::SortRole);
}

bool LightShowSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant a = left.data(LightShowTableModel::SortRole);
    const QVariant b = right.data(LightShowTableModel::SortRole);
    switch (left.column()) {
    case LightShowTableModel::SeasonEpisodeColumn:
        return a.value<QPair<qint64, qint64>>() < b.value<QPair<qint64, qint64>>();
    case LightShowTableModel::CreatedColumn: {
        // The text stays as received; it sorts as the time it names (times
        // written with different offsets compare as moments). Texts that
        // are not times go last, among themselves by text.
        const std::optional<qint64> first = createdAtTime(a.toString());
        const std::optional<qint64> second = createdAtTime(b.toString());
        if (first && second)
            return *first < *second;
        if (first != second)
            return first.has_value();
        return a.toString() < b.toString();
    }
    default:
        return QString::compare(a.toString(), b.toString(), Qt::CaseSensitive) < 0;
    }
}

QString lightShowTitleText(const service::LightShow& show)
{
    if (show.title && !show.title->isEmpty())
        return *show.title;
    return QStringLiteral("#%1").arg(show.tmdb_id);
}

QString lightShowSeasonEpisodeText(const service::LightShow& show)
{
    if (show.isEpisode())
        return QString::asprintf(
            "S%02lldE%02lld", static_cast<long long>(show.season), static_cast<long long>(show.episode));
    return QStringLiteral("Movie");
}

LightShowTableModel::LightShowTableModel(service::LightShowListModel& source, QObject* parent)
    : QAbstractTableModel(parent)
    , m_source(source)
{
    connect(&source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(&source, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    connect(&source, &QAbstractItemModel::rowsAboutToBeRemoved, this,
        [this](const QModelIndex&, int first, int last) { beginRemoveRows({}, first, last); });
    connect(&source, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(&source, &QAbstractItemModel::rowsAboutToBeInserted, this,
        [this](const QModelIndex&, int first, int last) { beginInsertRows({}, first, last); });
    connect(&source, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
}

int LightShowTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_source.shows().size());
}

int LightShowTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const service::LightShow& LightShowTableModel::show(int row) const
{
    return m_source.shows().at(row);
}

QVariant LightShowTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const service::LightShow& item = show(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case TitleColumn:
            return lightShowTitleText(item);
        case SeasonEpisodeColumn:
            return lightShowSeasonEpisodeText(item);
        case CreatedColumn:
            return item.created_at;
        default:
            return {};
        }
    case Qt::FontRole:
        switch (index.column()) {
        case TitleColumn:
            return text_styles::headline();
        case SeasonEpisodeColumn:
            return text_styles::subheadline();
        default:
            return text_styles::caption();
        }
    case Qt::ForegroundRole:
        if (index.column() == SeasonEpisodeColumn)
            return QBrush(text_styles::secondary());
        if (index.column() == CreatedColumn)
            return QBrush(text_styles::grey());
        return {};
    case Qt::UserRole:
        return item.id;
    case SortRole:
        switch (index.column()) {
        case TitleColumn:
            return lightShowTitleText(item).toCaseFolded();
        case SeasonEpisodeColumn:
            return item.isEpisode() ? QVariant::fromValue(QPair<qint64, qint64>(item.season, item.episode))
                                    : QVariant::fromValue(QPair<qint64, qint64>(-1, -1));
        case CreatedColumn:
            return item.created_at;
        default:
            return {};
        }
    default:
        return {};
    }
}

QVariant LightShowTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case TitleColumn:
        return QStringLiteral("Title");
    case SeasonEpisodeColumn:
        return QStringLiteral("Season/Episode");
    case CreatedColumn:
        return QStringLiteral("Created");
    default:
        return {};
    }
}

} // namespace corvex::app
