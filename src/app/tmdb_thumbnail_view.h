#pragma once

#include <QImage>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace corvex::app {

class ImageCache;

/// A poster thumbnail, 60 × 90: a busy indicator while it loads, the image
/// filled into the frame with rounded corners, or a film placeholder when
/// there is no poster or it cannot be loaded.
class TMDBThumbnailView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TMDBThumbnailView)

public:
    enum class State { Loading, Loaded, Placeholder };

    /// `url` is the poster's address, none when there is no usable one.
    TMDBThumbnailView(ImageCache& cache, std::optional<QUrl> url, QWidget* parent = nullptr);

    State state() const { return m_state; }
    QSize sizeHint() const override { return { 60, 90 }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void setState(State state);

    std::optional<QUrl> m_url;
    QImage m_image;
    State m_state = State::Placeholder;
    int m_spinTimer = 0;
    int m_spinStep = 0;
};

/// Draws the grey "film" placeholder into a rectangle.
void paintFilmPlaceholder(class QPainter& painter, const QRectF& rect);

} // namespace corvex::app
