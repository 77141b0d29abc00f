#include "app/light_show_table_model.h"

#include "app/text_styles.h"
#include "capture/video_file_source.h"
#include "service/light_show_list_model.h"

#include <QBrush>
#include <QDateTime>
#include <QLocale>

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
    case LightShowTableModel::LengthColumn:
    case LightShowTableModel::FramesColumn:
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

QString lightShowTitleText(const service::LightShow& show, const std::optional<LightShowNote>& note)
{
    QString title = show.title.value_or(QString());
    const QString code = QLatin1Char(' ') + lightShowSeasonEpisodeText(show);
    if (show.isEpisode() && title.endsWith(code))
        title.chop(code.size());
    if (title.isEmpty() && note)
        title = note->title;
    if (title.isEmpty())
        title = QStringLiteral("#%1").arg(show.tmdb_id);
    if (show.isEpisode() && note && !note->episodeName.isEmpty())
        title += QStringLiteral(" — ") + note->episodeName;
    return title;
}

QString lightShowSeasonEpisodeText(const service::LightShow& show)
{
    if (show.isEpisode())
        return QString::asprintf(
            "S%02lldE%02lld", static_cast<long long>(show.season), static_cast<long long>(show.episode));
    return QStringLiteral("Movie");
}

LightShowTableModel::LightShowTableModel(service::LightShowListModel& source, LightShowNotes& notes, QObject* parent)
    : QAbstractTableModel(parent)
    , m_source(source)
    , m_notes(notes)
{
    connect(&notes, &LightShowNotes::changed, this, [this] {
        if (rowCount() > 0)
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
    });
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

QString LightShowTableModel::name(const service::LightShow& show) const
{
    const QString title = lightShowTitleText(show, m_notes.note(show.id));
    return show.isEpisode() ? title + QLatin1Char(' ') + lightShowSeasonEpisodeText(show) : title;
}

QVariant LightShowTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const service::LightShow& item = show(index.row());
    const std::optional<LightShowNote> note = m_notes.note(item.id);
    const bool measured = note && note->frames > 0;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case TitleColumn:
            return lightShowTitleText(item, note);
        case SeasonEpisodeColumn:
            return lightShowSeasonEpisodeText(item);
        case LengthColumn:
            // Rounded as the Recording window says what it analysed, so a film of
            // 1:00 whose last frame starts at 0:59.97 is 1:00 in both.
            return measured ? capture::filmClock(double(note->durationCs) / 100) : QString();
        case FramesColumn:
            return measured ? QLocale().toString(note->frames) : QString();
        case CreatedColumn:
            return item.created_at;
        default:
            return {};
        }
    case Qt::FontRole:
        return index.column() == TitleColumn ? text_styles::headline() : text_styles::subheadline();
    case Qt::ForegroundRole: {
        // The table sits on the main window's dark palette, which never changes.
        static const QBrush grey(text_styles::grey(text_styles::darkPalette()));
        static const QBrush secondary(text_styles::secondary(text_styles::darkPalette()));
        if (index.column() == CreatedColumn)
            return grey;
        if (index.column() != TitleColumn)
            return secondary;
        return {};
    }
    case Qt::TextAlignmentRole:
        if (index.column() == LengthColumn || index.column() == FramesColumn)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::UserRole:
        return item.id;
    case SortRole:
        switch (index.column()) {
        case TitleColumn:
            return lightShowTitleText(item, note).toCaseFolded();
        case SeasonEpisodeColumn:
            return item.isEpisode() ? QVariant::fromValue(QPair<qint64, qint64>(item.season, item.episode))
                                    : QVariant::fromValue(QPair<qint64, qint64>(-1, -1));
        case LengthColumn:
            return QVariant::fromValue(
                QPair<qint64, qint64>(measured ? note->durationCs : -1, measured ? note->frames : -1));
        case FramesColumn:
            return QVariant::fromValue(
                QPair<qint64, qint64>(measured ? note->frames : -1, measured ? note->durationCs : -1));
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
    case LengthColumn:
        return QStringLiteral("Length");
    case FramesColumn:
        return QStringLiteral("Frames");
    case CreatedColumn:
        return QStringLiteral("Created");
    default:
        return {};
    }
}

} // namespace corvex::app
