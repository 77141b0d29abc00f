#include "app/light_show_notes.h"

#include "analysis/proto/video_analysis.pb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace corvex::app {

LightShowNote LightShowNote::describe(const catalogue::TMDBItem& item, const QByteArray& recording)
{
    LightShowNote note;
    if (item.movie) {
        note.title = item.movie->title.value_or(QString());
    } else if (item.tvShow) {
        note.title = item.tvShow->name.value_or(QString());
        if (item.episode)
            note.episodeName = item.episode->name.value_or(QString());
    }
    VideoAnalysis record;
    if (record.ParseFromArray(recording.constData(), static_cast<int>(recording.size()))
        && record.timestamps_size() > 0) {
        note.frames = record.timestamps_size();
        note.durationCs = qint64(record.timestamps(record.timestamps_size() - 1)) - qint64(record.timestamps(0));
    }
    return note;
}

LightShowNotes::LightShowNotes(QString path, QObject* parent)
    : QObject(parent)
    , m_path(std::move(path))
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject notes = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = notes.begin(); it != notes.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        m_notes.insert(it.key(),
            LightShowNote { entry.value(QStringLiteral("title")).toString(),
                entry.value(QStringLiteral("episode_name")).toString(),
                entry.value(QStringLiteral("duration_cs")).toInteger(),
                entry.value(QStringLiteral("frames")).toInteger() });
    }
}

QString LightShowNotes::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/corvex/light-show-notes.json");
}

std::optional<LightShowNote> LightShowNotes::note(const QString& showId) const
{
    const auto found = m_notes.constFind(showId);
    if (found == m_notes.constEnd())
        return std::nullopt;
    return *found;
}

bool LightShowNotes::remember(const QString& showId, const LightShowNote& note)
{
    if (showId.isEmpty())
        return false;
    m_notes.insert(showId, note);
    Q_EMIT changed();
    return save();
}

void LightShowNotes::forget(const QString& showId)
{
    if (m_notes.remove(showId) > 0)
        save();
}

bool LightShowNotes::save() const
{
    QJsonObject notes;
    for (auto it = m_notes.begin(); it != m_notes.end(); ++it)
        notes.insert(it.key(),
            QJsonObject { { QStringLiteral("title"), it->title }, { QStringLiteral("episode_name"), it->episodeName },
                { QStringLiteral("duration_cs"), it->durationCs }, { QStringLiteral("frames"), it->frames } });
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(notes).toJson(QJsonDocument::Compact)) >= 0
        && file.commit();
}

} // namespace corvex::app
