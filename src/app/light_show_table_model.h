#pragma once

#include "service/light_show.h"

#include <optional>

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

namespace corvex::service {
class LightShowListModel;
}

namespace corvex::app {

/// "#603" for a show without a title, else its title.
QString lightShowTitleText(const service::LightShow& show);
/// "S01E05" for an episode (type exactly "tv"), else "Movie".
QString lightShowSeasonEpisodeText(const service::LightShow& show);

/// The library's shows as a table: Title, Season/Episode, Created. Follows
/// the list model it is given; the fonts and colours of each column come as
/// the font and foreground roles.
class LightShowTableModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowTableModel)

public:
    enum Column { TitleColumn, SeasonEpisodeColumn, CreatedColumn, ColumnCount };
    /// The value a column sorts by: the title without case, movies before
    /// episodes in season and episode order, the time "Created" names.
    static constexpr int SortRole = Qt::UserRole + 1;

    explicit LightShowTableModel(service::LightShowListModel& source, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    /// The show of a row.
    const service::LightShow& show(int row) const;

private:
    service::LightShowListModel& m_source;
};

/// The moment a "created_at" text names, in milliseconds since the epoch;
/// none when it is not a date and time the service could have sent.
std::optional<qint64> createdAtTime(const QString& createdAt);

/// The table in the order the author picked by clicking a column header.
class LightShowSortModel final : public QSortFilterProxyModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowSortModel)

public:
    explicit LightShowSortModel(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

} // namespace corvex::app
