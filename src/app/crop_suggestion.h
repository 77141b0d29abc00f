#pragma once

#include "analysis/black_bars.h"
#include "platform/media/rect.h"

#include <QObject>
#include <QTimer>

#include <optional>

namespace corvex::capture {
class ScreenRecorder;
}

namespace corvex::app {

class VideoFileAuthoring;

/// The crop that removes black bars from what the window records, on either
/// road: for the screen, from the captured frames as they come (looked at a
/// few times a second); for a video file, from frames spread over the film.
/// None unless bars were found: a dark scene, a fade to black or a title card
/// proposes nothing. GUI thread only.
class CropSuggestion final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CropSuggestion)

public:
    /// Frames of the screen looked at per second, at most.
    static constexpr int kLiveLooksPerSecond = 5;

    CropSuggestion(capture::ScreenRecorder& screenRecorder, VideoFileAuthoring& videoFile, QObject* parent = nullptr);

    /// The proposal of the road in use.
    std::optional<media::Rect> proposal() const;
    /// Whether the proposal is there and differs from the crop in use.
    bool isNew() const;
    /// Makes the proposal the crop in use.
    void apply();
    /// Looks at the screen's newest frame, if it is new (the timer calls it).
    void look();

Q_SIGNALS:
    void changed();

private:
    void restartLive();
    void setLive(const std::optional<media::Rect>& crop);

    capture::ScreenRecorder& m_screenRecorder;
    VideoFileAuthoring& m_videoFile;
    analysis::BlackBarDetector m_detector;
    std::optional<media::Rect> m_live;
    QTimer m_timer;
    bool m_dirty = false;
};

} // namespace corvex::app
