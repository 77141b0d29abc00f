#include "app/light_show_table_model.h"

#include "app/text_styles.h"
#include "service/light_show_list_model.h"

#include <QBrush>

namespace corvex::app {

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
