#pragma once

#include "catalogue/tmdb_records.h"
#include "platform/settings/endpoints.h"

#include <QFrame>

#include <optional>

namespace corvex::service {
class Session;
}

namespace corvex::app {

/// The endpoints the catalogue requests go to; none when they are misconfigured.
std::optional<settings::Endpoints> catalogueEndpoints(const service::Session& manager);
/// A poster's thumbnail address; none without a poster or usable endpoints.
std::optional<QUrl> posterUrl(const service::Session& manager, const std::optional<QString>& posterPath);

/// "S01E05": a season and an episode number as an episode code.
QString episodeCode(qint64 seasonNumber, qint64 episodeNumber);
/// The season's name; without one "Season 2", or "Specials" for season 0.
QString seasonTitle(const catalogue::TMDBSeason& season);
/// "Episode 5: Pilot", or "Episode 5" without a name.
QString episodeTitle(const catalogue::TMDBEpisode& episode);
/// "1 episode", "8 episodes".
QString episodeCountText(qint64 count);

/// A row that acts on a single click anywhere in it, drawn as a rounded
/// rectangle filled with `fill` (transparent by default). It takes keyboard
/// focus, shows a focus ring, acts on Space and Return, and passes the Up and
/// Down keys on to whoever lists the rows.
class ClickableRow : public QFrame {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClickableRow)

public:
    explicit ClickableRow(QWidget* parent = nullptr);

    void setFill(const QColor& fill, double radius);

Q_SIGNALS:
    void clicked();
    /// Up (-1) or Down (+1) was pressed on the focused row.
    void stepRequested(int delta);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QColor m_fill = Qt::transparent;
    double m_radius = 12;
    bool m_pressed = false;
};

} // namespace corvex::app
