#pragma once

#include "capture/audio_levels_provider.h"
#include "capture/capture_preview.h"
#include "platform/media/rect.h"

#include <QByteArray>
#include <QObject>
#include <QSizeF>
#include <QString>

#include <optional>

namespace corvex::capture {

/// What a recording window records from: the screen as it is captured, or a
/// video file analysed as fast as it decodes. The window's views hold one
/// source and ask it what to show and what may be pressed; they never ask
/// which it is. GUI thread only.
class RecordingSource : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingSource)

public:
    enum class State {
        Unavailable, // nothing to record from; message() says why
        Ready, // a recording can start
        Recording, // pictures go into the recording; it can be saved
        Interrupted, // a recording runs but no picture comes (the recorded window closed)
        Analysing, // a film is read into the recording; it cannot be saved yet
        Finished, // the recording waits to be saved or thrown away
    };
    Q_ENUM(State)

    struct Progress {
        double fraction = 0; // 0 to 1; 0 when the length is unknown
        double secondsLeft = -1; // -1: not known yet
    };

    explicit RecordingSource(QObject* parent = nullptr)
        : QObject(parent)
    {
    }
    ~RecordingSource() override = default;

    virtual State recordingState() const = 0;
    /// A recording runs or waits to be saved: the window's choices are locked.
    bool isBusy() const { return recordingState() >= State::Recording; }
    /// Whether takeRecording() has something to give now.
    bool canSave() const
    {
        const State state = recordingState();
        return state == State::Recording || state == State::Interrupted || state == State::Finished;
    }

    /// The picture being recorded (or that would be).
    virtual CapturePreview* preview() = 0;
    virtual AudioLevelsProvider* audioLevels() = 0;
    /// The size of the picture, for its shape; 1 × 1 before the first.
    virtual QSizeF contentSize() const = 0;
    /// The crop that removes black bars around the picture; none without bars.
    virtual std::optional<media::Rect> proposedCrop() const = 0;
    /// Starts a recording of the part `crop` of the picture; false unless Ready.
    virtual bool startRecording(const std::optional<media::Rect>& crop) = 0;
    /// Ends the recording and hands it over, serialised (none when nothing
    /// could be). The source is Ready (or Unavailable) again.
    virtual std::optional<QByteArray> takeRecording() = 0;
    /// Ends the recording and throws it away.
    virtual void discardRecording() = 0;
    /// Frames in the recording so far.
    virtual int frameCount() const = 0;
    /// How far a recording that ends by itself has come; none when it does not end by itself.
    virtual std::optional<Progress> progress() const { return std::nullopt; }
    /// One line on the source: why it is unavailable, what it is, how a recording ended.
    virtual QString message() const = 0;
    /// Whether the message is bad news.
    virtual bool isMessageAFailure() const { return false; }
    /// What the author must do (or wait for) before a recording can start or
    /// be saved; empty when nothing.
    virtual QString nextStep() const { return {}; }

Q_SIGNALS:
    void recordingStateChanged();
    void contentSizeChanged();
    void proposedCropChanged();
    void progressChanged();
    void messageChanged();
};

} // namespace corvex::capture
