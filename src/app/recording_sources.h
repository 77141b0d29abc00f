#pragma once

#include "platform/media/rect.h"

#include <QObject>

#include <optional>

namespace corvex::capture {
class RecordingSource;
class ScreenRecorder;
class VideoFileSource;
} // namespace corvex::capture

namespace corvex::app {

/// The recording window's two sources, the screen and a video file, and the
/// one in use: the views follow current() and never ask which it is. Also
/// the crop, which the screen recorder holds for both, and the crop black
/// bars suggest. The choice of source is remembered for the next window.
class RecordingSources final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingSources)

public:
    /// The settings key that keeps the capture type ("display", "window" or "file").
    static QString captureTypeKey() { return QStringLiteral("recording/captureType"); }

    /// Makes the window's file source; the capture type chosen last is taken
    /// up again when `remember` is set.
    explicit RecordingSources(capture::ScreenRecorder& screen, bool remember = false, QObject* parent = nullptr);
    ~RecordingSources() override;

    capture::RecordingSource& current() const;
    capture::ScreenRecorder& screen() const { return m_screen; }
    capture::VideoFileSource& file() const { return *m_file; }
    bool isFile() const { return m_isFile; }
    /// Switches to the file (true) or the screen.
    void setFile(bool file);

    std::optional<media::Rect> crop() const;
    void setCrop(const std::optional<media::Rect>& crop);
    /// The crop black bars suggest on the current source, while it differs from the crop in use.
    std::optional<media::Rect> newCropProposal() const;
    /// Makes the suggested crop the crop in use.
    void useProposedCrop();

Q_SIGNALS:
    /// Another source is in use.
    void currentChanged();
    /// The crop, or the crop suggested, changed.
    void cropChanged();

private:
    void remember() const;

    capture::ScreenRecorder& m_screen;
    capture::VideoFileSource* m_file;
    bool m_isFile = false;
    bool m_remember = false;
};

} // namespace corvex::app
