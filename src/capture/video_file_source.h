#pragma once

#include "capture/recording_source.h"
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
namespace corvex::screencapture {
class SerialQueue;
}

namespace corvex::capture {

class CapturedFrameStream;
struct CapturedFrame;

/// "1:02:03" or "4:05": a time in a film; empty for a time that is not known.
QString filmClock(double seconds);

/// The file road: a video file chosen by the author is opened, searched for
/// black bars and analysed on a worker thread of its own, through the same
/// analysis as a captured screen, into a recorder of its own (no live colours
/// go to a receiver at many times real time). The views see the frames being
/// analysed (newest wins, about 30 a second at most), the sound's level, and
/// the progress. GUI thread only; nothing here ever waits for the worker,
/// except the destructor, which stops it first.
class VideoFileSource final : public RecordingSource {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoFileSource)

public:
    enum class Stage {
        NoFile, // nothing chosen yet
        Opening, // the chosen file is being looked at
        Invalid, // it cannot be analysed; message() says why
        Ready, // it can be analysed
        Analysing,
        Analysed, // a recording waits to be saved or discarded
    };
    Q_ENUM(Stage)

    /// The previews the views get while a film is analysed, per second at most.
    static constexpr int kPreviewsPerSecond = 30;

    explicit VideoFileSource(QObject* parent = nullptr);
    ~VideoFileSource() override;

    /// Looks at `path` off the GUI thread: Opening, then Ready or Invalid.
    /// Not while a film is analysed or waits to be saved.
    void choose(const QString& path);
    QString path() const { return m_path; }
    Stage stage() const { return m_stage; }
    /// A plain note when the film has no sound (its show gets an empty signature).
    QString soundNote() const { return m_soundNote; }
    /// Whether the search for black bars in the chosen file has ended.
    bool hasLookedForBars() const { return m_lookedForBars; }
    /// Stops the analysis; nothing of it is kept (it can be run again).
    void cancel();
    /// Throws the finished recording away; the file is Ready again.
    void discard();

    State recordingState() const override;
    CapturePreview* preview() override { return m_preview; }
    AudioLevelsProvider* audioLevels() override { return m_audioLevels; }
    QSizeF contentSize() const override { return m_contentSize; }
    std::optional<media::Rect> proposedCrop() const override { return m_proposedCrop; }
    /// Analyses the whole film with `crop`; false unless the file is Ready.
    bool startRecording(const std::optional<media::Rect>& crop) override;
    /// The finished recording, once; the file is Ready again.
    std::optional<QByteArray> takeRecording() override;
    void discardRecording() override;
    int frameCount() const override;
    std::optional<Progress> progress() const override;
    QString message() const override { return m_message; }
    bool isMessageAFailure() const override { return m_messageIsFailure; }
    QString nextStep() const override;

    /// Fault injection for tests: called on the worker after each analysed
    /// frame with the count so far (it may hold the worker there). Set before startRecording().
    void setFrameObserver(std::function<void(int)> observer) { m_frameObserver = std::move(observer); }

private:
    struct Shared;
    struct Opened;
    struct Finished;

    void setStage(Stage stage, const QString& message = {}, bool failure = false);
    void opened(const Opened& result);
    void finished(const Finished& result);
    void showFrame(const CapturedFrame& frame);
    void tick();
    void stopWorker();

    QString m_path;
    Stage m_stage = Stage::NoFile;
    QString m_message;
    bool m_messageIsFailure = false;
    QString m_readyText; // what the file is
    QString m_soundNote;
    std::optional<media::Rect> m_proposedCrop;
    bool m_lookedForBars = false;
    std::function<void(int)> m_frameObserver;
    Progress m_progress;
    QElapsedTimer m_clock; // wall time of the running analysis
    QSizeF m_contentSize { 1, 1 };
    std::shared_ptr<const screencapture::Surface> m_poster; // the film's first picture
    CapturePreview* m_preview;
    AudioLevelsProvider* m_audioLevels;
    QTimer m_ticker; // progress and meter, ten times a second
    std::unique_ptr<CapturedFrameStream> m_frames;
    std::shared_ptr<analysis::AnalysisRecorder> m_recorder;
    std::shared_ptr<Shared> m_shared;
    quint64 m_generation = 0; // each choice and each analysis; late news of an older one is dropped
    quint64 m_choice = 0; // the generation of the file's choice (its search for bars)
    // Last: joined before anything above goes.
    std::unique_ptr<screencapture::SerialQueue> m_worker;
};

} // namespace corvex::capture
