#pragma once

#include "capture/audio_levels_provider.h"
#include "capture/capture_preview.h"
#include "platform/media/rect.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSizeF>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::capture {
class CapturedFrameStream;
struct CapturedFrame;
} // namespace corvex::capture
namespace corvex::screencapture {
class SerialQueue;
}

namespace corvex::app {

/// Time left as the progress bar says it: "1:02:03 left", "4:05 left", or
/// empty while it cannot be told yet.
QString formatTimeLeft(double seconds);

/// The recording window's file road: a video file chosen by the author is
/// opened, searched for black bars and analysed on a worker thread of its
/// own, through the same analysis as a captured screen, into a recorder of its
/// own (no live colours go to a receiver at many times real time). The GUI
/// sees the frames being analysed (newest wins, about 30 a second at most),
/// the sound's level, and the progress. GUI thread only; nothing here ever
/// waits for the worker, except the destructor, which stops it first.
class VideoFileAuthoring final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoFileAuthoring)

public:
    enum class State {
        NoFile, // nothing chosen yet
        Opening, // the chosen file is being looked at
        Invalid, // it cannot be analysed; message() says why
        Ready, // it can be analysed
        Analysing,
        Analysed, // a recording waits to be saved or discarded
    };
    Q_ENUM(State)

    struct Progress {
        double fraction = 0; // 0 to 1; 0 when the length of the film is unknown
        double seconds = 0; // film time analysed
        double durationSeconds = 0;
        double secondsLeft = -1; // -1: not known yet
        int frames = 0;
    };

    /// The previews the GUI gets while a film is analysed, per second at most.
    static constexpr int kPreviewsPerSecond = 30;
    /// Frames are analysed at this width at most (the 5 × 5 averages stay
    /// within ±2 of the full picture's), as `corvex author` does.
    static constexpr int kAnalysisWidth = 320;

    explicit VideoFileAuthoring(QObject* parent = nullptr);
    ~VideoFileAuthoring() override;

    /// Whether "Video file" is the chosen capture type.
    bool isActive() const { return m_active; }
    void setActive(bool active);

    /// Looks at `path` off the GUI thread: Opening, then Ready or Invalid.
    /// Not while a film is analysed or waits to be saved.
    void choose(const QString& path);
    QString path() const { return m_path; }
    State state() const { return m_state; }
    /// Whether the analysis runs or its recording waits: the window's
    /// choices are locked meanwhile.
    bool isBusy() const { return m_state == State::Analysing || m_state == State::Analysed; }
    /// One line: why the file cannot be used, what it is, or how the analysis ended.
    QString message() const { return m_message; }
    /// Whether the message is bad news (shown in red).
    bool isMessageAFailure() const { return m_messageIsFailure; }
    /// A plain note when the film has no sound (its show gets an empty signature).
    QString soundNote() const { return m_soundNote; }
    bool hasSound() const { return m_hasSound; }

    /// The crop that removes the film's black bars; none when it has none.
    std::optional<media::Rect> proposedCrop() const { return m_proposedCrop; }
    /// Whether the search for black bars in the chosen file has ended.
    bool hasLookedForBars() const { return m_lookedForBars; }

    /// Analyses the whole film with `crop`; false unless the file is Ready.
    bool start(const std::optional<media::Rect>& crop);
    /// Stops the analysis; nothing of it is kept (it can be run again).
    void cancel();
    /// The finished recording, once; the file is Ready again.
    std::optional<QByteArray> takeRecording();
    /// Throws the finished recording away; the file is Ready again.
    void discard();
    Progress progress() const { return m_progress; }
    /// Frames analysed into the current (or last) recording.
    int frameCount() const;

    /// What the preview, the swatch and the meter show on this road.
    capture::CapturePreview* preview() const { return m_preview; }
    QSizeF contentSize() const { return m_contentSize; }
    capture::AudioLevelsProvider* audioLevels() const { return m_audioLevels; }

    /// Fault injection for tests: called on the worker after each analysed
    /// frame with the count so far (it may hold the worker there). Set before start().
    void setFrameObserver(std::function<void(int)> observer) { m_frameObserver = std::move(observer); }

Q_SIGNALS:
    void activeChanged();
    void stateChanged();
    void progressChanged();
    void proposedCropChanged();
    void contentSizeChanged();

private:
    struct Shared;
    struct Opened;
    struct Finished;

    void setState(State state, const QString& message = {}, bool failure = false);
    void opened(const Opened& result);
    void finished(const Finished& result);
    void showFrame(const capture::CapturedFrame& frame);
    void tick();
    void stopWorker();

    bool m_active = false;
    QString m_path;
    State m_state = State::NoFile;
    QString m_message;
    bool m_messageIsFailure = false;
    QString m_readyText; // what the file is
    QString m_soundNote;
    bool m_hasSound = false;
    std::optional<media::Rect> m_proposedCrop;
    bool m_lookedForBars = false;
    std::function<void(int)> m_frameObserver;
    Progress m_progress;
    QElapsedTimer m_clock; // wall time of the running analysis
    QSizeF m_contentSize { 1, 1 };
    std::shared_ptr<const screencapture::Surface> m_poster; // the film's first picture
    capture::CapturePreview* m_preview;
    capture::AudioLevelsProvider* m_audioLevels;
    QTimer m_ticker; // progress and meter, ten times a second
    std::unique_ptr<capture::CapturedFrameStream> m_frames;
    std::shared_ptr<analysis::AnalysisRecorder> m_recorder;
    std::shared_ptr<Shared> m_shared;
    quint64 m_generation = 0; // each choice and each analysis; late news of an older one is dropped
    quint64 m_choice = 0; // the generation of the file's choice (its search for bars)
    // Last: joined before anything above goes.
    std::unique_ptr<screencapture::SerialQueue> m_worker;
};

} // namespace corvex::app
