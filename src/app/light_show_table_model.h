#pragma once

#include "app/light_show_notes.h"
#include "service/light_show.h"

#include <optional>

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

namespace corvex::service {
class LightShowListModel;
}

namespace corvex::app {

/// The show's title: the service's (without the episode code it may end in,
/// which has a column of its own), else the one noted at the upload, else
/// "#603" (the catalogue id); an episode's name follows its show's after " — ".
QString lightShowTitleText(const service::LightShow& show, const std::optional<LightShowNote>& note = {});
/// "S01E05" for an episode (type exactly "tv"), else "Movie".
QString lightShowSeasonEpisodeText(const service::LightShow& show);

/// The library's shows as a table: Title, Season/Episode, Length, Frames,
/// Created (length and frames as noted when this computer uploaded the
/// show). Follows the list model it is given; the fonts and colours of each
/// column come as the font and foreground roles.
class LightShowTableModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowTableModel)

public:
    enum Column { TitleColumn, SeasonEpisodeColumn, LengthColumn, FramesColumn, CreatedColumn, ColumnCount };
    /// The value a column sorts by: the title without case, movies before
    /// episodes in season and episode order, the time "Created" names.
    static constexpr int SortRole = Qt::UserRole + 1;

    LightShowTableModel(service::LightShowListModel& source, LightShowNotes& notes, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    /// The show of a row.
    const service::LightShow& show(int row) const;
    /// How a question names the show: its title, and an episode's code.
    QString name(const service::LightShow& show) const;

private:
    service::LightShowListModel& m_source;
    LightShowNotes& m_notes;
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
