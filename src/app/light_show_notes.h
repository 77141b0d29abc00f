#pragma once

#include "catalogue/tmdb_item.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <optional>

namespace corvex::app {

/// What the studio knew of a light show when it uploaded it: the title the
/// catalogue gave (the service may not know the film), the episode's name,
/// and the recording's length and frame count, which tell two shows of one
/// film apart.
struct LightShowNote {
    QString title;
    QString episodeName;
    qint64 durationCs = 0; // hundredths of a second, first frame to last
    qint64 frames = 0;

    /// The note for a recording made for `item`.
    static LightShowNote describe(const catalogue::TMDBItem& item, const QByteArray& recording);
    friend bool operator==(const LightShowNote&, const LightShowNote&) = default;
};

/// The notes of the shows uploaded from this computer, by the service's show
/// id, kept in one JSON file (by default $XDG_DATA_HOME/corvex/light-show-notes.json).
/// GUI thread only.
class LightShowNotes final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowNotes)

public:
    explicit LightShowNotes(QString path = defaultPath(), QObject* parent = nullptr);

    static QString defaultPath();

    std::optional<LightShowNote> note(const QString& showId) const;
    /// Keeps the note; false when the file could not be written (the note
    /// then lasts until the studio ends).
    bool remember(const QString& showId, const LightShowNote& note);
    void forget(const QString& showId);

Q_SIGNALS:
    void changed();

private:
    bool save() const;

    QString m_path;
    QHash<QString, LightShowNote> m_notes;
};

} // namespace corvex::app
