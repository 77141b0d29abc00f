#include "capture/video_file_source.h"

#include "analysis/analysis_recorder.h"
#include "capture/captured_frame_stream.h"
#include "capture/power_meter.h"
#include "capture/video_file_analysis.h"
#include "platform/mediafile/media_file_reader.h"
#include "platform/screencapture/serial_queue.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>

namespace corvex::capture {

QString filmClock(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return {};
    const auto whole = static_cast<long long>(std::llround(seconds));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    return hours > 0 ? QString::asprintf("%lld:%02lld:%02lld", hours, minutes, rest)
                     : QString::asprintf("%lld:%02lld", minutes, rest);
}

namespace {

QString describe(const mediafile::MediaFileInfo& info)
{
    QString text = QStringLiteral("%1×%2 %3")
                       .arg(info.displayWidth)
                       .arg(info.displayHeight)
                       .arg(QString::fromStdString(info.videoCodec));
    if (info.durationSeconds > 0)
        text += QStringLiteral(", ") + filmClock(info.durationSeconds);
    text += info.audioStreamIndex ? QStringLiteral(", with sound") : QStringLiteral(", no sound");
    return text;
}

// The first picture of the film, shown until the analysis starts. The reader
// goes on from there (the search for bars seeks anyway).
std::shared_ptr<const screencapture::Surface> firstFrame(mediafile::MediaFileReader& reader)
{
    for (int items = 0; items < 256; ++items) {
        mediafile::ReaderItem item = reader.next();
        if (auto* frame = std::get_if<mediafile::VideoFrame>(&item)) {
            const media::PixelBuffer& image = *frame->image;
            return std::make_shared<const screencapture::Surface>(
                screencapture::Surface { image.width(), image.height(), image.bytesPerRow(), image.format(),
                    std::shared_ptr<const std::uint8_t>(frame->image, image.baseAddress()) });
        }
        if (!std::holds_alternative<mediafile::AudioBlock>(item))
            break;
    }
    return nullptr;
}

} // namespace

/// What the GUI and the worker share. The worker reads one file at a time;
/// the GUI may stop it (and says which piece of work it still wants).
struct VideoFileSource::Shared {
    std::mutex mutex; // guards everything but the meter, which has a lock of its own
    quint64 wanted = 0; // the generation the GUI still wants
    mediafile::MediaFileReader* reader = nullptr; // the one being read now
    std::optional<VideoFileAnalysis::Progress> progress;
    PowerMeter meter;

    // Makes `reader` the one to stop; false (and nothing registered) when
    // its work is no longer wanted.
    bool enter(quint64 generation, mediafile::MediaFileReader* reading)
    {
        std::lock_guard lock(mutex);
        if (wanted != generation)
            return false;
        reader = reading;
        return true;
    }
    void leave()
    {
        std::lock_guard lock(mutex);
        reader = nullptr;
    }
    // Lets `generation`'s work begin; work already under way goes on (the
    // search for bars of the same file, which the analysis queues behind).
    void allow(quint64 generation)
    {
        std::lock_guard lock(mutex);
        wanted = generation;
    }
    // Drops all work but `generation`'s and stops the file being read.
    void want(quint64 generation)
    {
        std::lock_guard lock(mutex);
        wanted = generation;
        if (reader)
            reader->requestStop();
    }
};

struct VideoFileSource::Opened {
    quint64 generation = 0;
    bool ok = false;
    std::shared_ptr<const screencapture::Surface> poster; // the first frame
    QString message;
    bool hasSound = false;
    QSizeF size;
};

struct VideoFileSource::Finished {
    quint64 generation = 0;
    VideoFileAnalysis::Result result;
    QString failure;
    // Handed back so that the recorder is let go of on the GUI thread.
    std::shared_ptr<analysis::AnalysisRecorder> recorder;
};

VideoFileSource::VideoFileSource(QObject* parent)
    : RecordingSource(parent)
    , m_preview(new CapturePreview(this))
    , m_audioLevels(new AudioLevelsProvider(this))
    , m_shared(std::make_shared<Shared>())
    , m_worker(std::make_unique<screencapture::SerialQueue>("app.corvex.Studio.video-file"))
{
    m_ticker.setInterval(100);
    connect(&m_ticker, &QTimer::timeout, this, &VideoFileSource::tick);
}

VideoFileSource::~VideoFileSource()
{
    stopWorker();
}

void VideoFileSource::stopWorker()
{
    // The worker's reader ends at its next frame; what is queued then finds
    // itself unwanted and returns at once.
    m_shared->want(++m_generation);
    m_worker.reset();
}

void VideoFileSource::setStage(Stage stage, const QString& message, bool failure)
{
    m_stage = stage;
    m_message = message;
    m_messageIsFailure = failure;
    Q_EMIT recordingStateChanged();
    Q_EMIT messageChanged();
}

RecordingSource::State VideoFileSource::recordingState() const
{
    switch (m_stage) {
    case Stage::Ready:
        return State::Ready;
    case Stage::Analysing:
        return State::Analysing;
    case Stage::Analysed:
        return State::Finished;
    default:
        return State::Unavailable;
    }
}

QString VideoFileSource::nextStep() const
{
    switch (m_stage) {
    case Stage::NoFile:
        return QStringLiteral("Choose a video file above.");
    case Stage::Opening:
        return QStringLiteral("Looking at the video file…");
    case Stage::Invalid:
        return QStringLiteral("Choose another video file.");
    case Stage::Analysing:
        return QStringLiteral("Analysing the film…");
    default:
        return {};
    }
}

std::optional<RecordingSource::Progress> VideoFileSource::progress() const
{
    if (m_stage != Stage::Analysing && m_stage != Stage::Analysed)
        return std::nullopt;
    return m_progress;
}

void VideoFileSource::choose(const QString& path)
{
    if (isBusy() || path.isEmpty())
        return;
    m_path = path;
    const quint64 generation = ++m_generation;
    m_choice = generation;
    m_shared->want(generation);
    m_soundNote.clear();
    m_poster.reset();
    m_preview->setContents(nullptr);
    m_lookedForBars = false;
    if (m_proposedCrop) {
        m_proposedCrop.reset();
        Q_EMIT proposedCropChanged();
    }
    setStage(Stage::Opening, QStringLiteral("Looking at %1…").arg(QFileInfo(path).fileName()));

    const std::shared_ptr<Shared> shared = m_shared;
    const std::string file = path.toStdString();
    m_worker->async([this, shared, generation, file] {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->wanted != generation)
                return;
        }
        mediafile::OpenResult result = mediafile::MediaFileReader::open(file, analysisReaderOptions());
        mediafile::MediaFileReader* reader = result ? result.value->get() : nullptr;
        Opened opened;
        opened.generation = generation;
        opened.ok = reader != nullptr;
        opened.message = QString::fromStdString(result.error.message);
        if (reader) {
            const mediafile::MediaFileInfo& info = reader->info();
            opened.message = describe(info);
            opened.hasSound = info.audioStreamIndex.has_value();
            opened.size = QSizeF(info.displayWidth, info.displayHeight);
        }
        if (reader)
            opened.poster = firstFrame(*reader);
        QMetaObject::invokeMethod(
            this, [this, opened] { this->opened(opened); }, Qt::QueuedConnection);
        if (!reader || !shared->enter(generation, reader))
            return;
        // The bars are looked for across the whole film while the author
        // decides; a new choice stops the search.
        const std::optional<media::Rect> crop = findBlackBars(*reader);
        const bool stopped = reader->stopRequested();
        shared->leave();
        if (stopped)
            return;
        QMetaObject::invokeMethod(
            this,
            [this, generation, crop] {
                if (generation != m_choice)
                    return;
                m_lookedForBars = true;
                m_proposedCrop = crop;
                Q_EMIT proposedCropChanged();
            },
            Qt::QueuedConnection);
    });
}

void VideoFileSource::opened(const Opened& result)
{
    if (result.generation != m_generation)
        return;
    if (!result.ok) {
        setStage(Stage::Invalid, result.message, true);
        return;
    }
    m_poster = result.poster;
    m_preview->setContents(m_poster);
    m_soundNote = result.hasSound ? QString() : QStringLiteral("No sound: the show will have an empty signature.");
    if (m_contentSize != result.size && result.size.width() > 0 && result.size.height() > 0) {
        m_contentSize = result.size;
        Q_EMIT contentSizeChanged();
    }
    m_readyText = result.message;
    setStage(Stage::Ready, result.message);
}

bool VideoFileSource::startRecording(const std::optional<media::Rect>& crop)
{
    if (m_stage != Stage::Ready)
        return false;
    const quint64 generation = ++m_generation;
    m_shared->allow(generation);
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->progress.reset();
    }
    m_progress = {};
    m_recorder = std::make_shared<analysis::AnalysisRecorder>(nullptr);
    m_recorder->start();
    m_frames = std::make_unique<CapturedFrameStream>();
    connect(m_frames.get(), &CapturedFrameStream::frameReceived, this, &VideoFileSource::showFrame);
    m_clock.start();
    m_ticker.start();
    setStage(Stage::Analysing, QStringLiteral("Analysing %1…").arg(QFileInfo(m_path).fileName()));
    Q_EMIT progressChanged();

    const std::shared_ptr<Shared> shared = m_shared;
    const std::shared_ptr<CapturedFrameContinuation> previews = m_frames->continuation();
    const std::string file = m_path.toStdString();
    // The worker holds the recorder while it appends to it (a cancelled run
    // still does, for a frame or two) and hands it back with its report.
    m_worker->async(
        [this, shared, previews, recorder = m_recorder, generation, file, crop, observer = m_frameObserver]() mutable {
            Finished finished;
            finished.generation = generation;
            finished.recorder = std::move(recorder);
            mediafile::OpenResult opened = mediafile::MediaFileReader::open(file, analysisReaderOptions());
            if (!opened) {
                finished.result.outcome = VideoFileAnalysis::Outcome::Failed;
                finished.failure = QString::fromStdString(opened.error.message);
            } else if (shared->enter(generation, opened.value->get())) {
                shared->meter.reset(); // a film without sound shows none of the one before
                VideoFileAnalysis analysis(**opened.value, *finished.recorder);
                analysis.setCrop(crop);
                using Clock = std::chrono::steady_clock;
                Clock::time_point lastPreview;
                int analysed = 0;
                analysis.capturedFrameHandler = [&](const CapturedFrame& frame) {
                    if (observer)
                        observer(++analysed);
                    // The newest frame wins, and the GUI gets no more than it can show.
                    const Clock::time_point now = Clock::now();
                    if (now - lastPreview < std::chrono::milliseconds(1000 / kPreviewsPerSecond))
                        return;
                    lastPreview = now;
                    previews->yield(frame);
                };
                analysis.pcmBufferHandler = [&](const media::PcmBuffer& buffer) { shared->meter.process(buffer); };
                analysis.progressInterval = 10;
                analysis.progressHandler = [&](const VideoFileAnalysis::Progress& progress) {
                    std::lock_guard lock(shared->mutex);
                    shared->progress = progress;
                };
                finished.result = analysis.run();
                shared->leave();
                finished.failure = QString::fromStdString(finished.result.failure);
            } else {
                finished.result.outcome = VideoFileAnalysis::Outcome::Stopped;
            }
            previews->finish();
            QMetaObject::invokeMethod(
                this, [this, finished] { this->finished(finished); }, Qt::QueuedConnection);
        });
    return true;
}

void VideoFileSource::showFrame(const CapturedFrame& frame)
{
    if (m_stage != Stage::Analysing)
        return;
    m_preview->setContents(frame.surface, frame.colours);
    const QSizeF size(frame.contentRect.width, frame.contentRect.height);
    // The frames are smaller than the film but of its shape: the size the
    // file gave is kept unless the shape changes.
    if (size.width() > 0 && size.height() > 0 && m_contentSize.width() > 0
        && std::abs(size.width() / size.height() - m_contentSize.width() / m_contentSize.height()) > 0.01) {
        m_contentSize = size;
        Q_EMIT contentSizeChanged();
    }
}

void VideoFileSource::tick()
{
    const std::vector<PowerLevels> values = m_shared->meter.values();
    m_audioLevels->setAudioLevels(values.empty()
            ? AudioLevels {}
            : AudioLevels { m_shared->meter.meterTableAverage().valueForPower(values.front().average),
                m_shared->meter.meterTablePeak().valueForPower(values.front().peak) });
    std::optional<VideoFileAnalysis::Progress> reached;
    {
        std::lock_guard lock(m_shared->mutex);
        reached = m_shared->progress;
    }
    if (!reached || m_stage != Stage::Analysing)
        return;
    Progress progress;
    if (reached->durationSeconds > 0) {
        progress.fraction = std::clamp(reached->seconds / reached->durationSeconds, 0.0, 1.0);
        const double wall = m_clock.elapsed() / 1000.0;
        // A guess from the first few frames is no guess at all.
        if (progress.fraction > 0.01 && wall > 0.5)
            progress.secondsLeft = wall * (1 - progress.fraction) / progress.fraction;
    }
    m_progress = progress;
    Q_EMIT progressChanged();
}

void VideoFileSource::finished(const Finished& finished)
{
    if (finished.generation != m_generation || m_stage != Stage::Analysing)
        return;
    m_ticker.stop();
    m_audioLevels->setAudioLevels({});
    m_frames.reset();
    const VideoFileAnalysis::Result& result = finished.result;
    using Outcome = VideoFileAnalysis::Outcome;
    if (result.outcome == Outcome::Finished && result.frames > 0) {
        m_progress.fraction = 1;
        m_progress.secondsLeft = 0;
        Q_EMIT progressChanged();
        QString text = QStringLiteral("Analysed %1 of film (%2 frames). Save the recording to upload it.")
                           .arg(filmClock(result.lastSeconds))
                           .arg(result.frames);
        // A film that is cut short or damaged still gives a show of what could be
        // read, but the author must know before uploading it.
        if (result.isCutShort())
            text += QStringLiteral(" The film ends at %1 although it says it lasts %2: the file is cut short.")
                        .arg(filmClock(result.lastSeconds), filmClock(result.durationSeconds));
        if (result.damaged > 0)
            text += QStringLiteral(" The file is damaged: %1 skipped; check the film before saving.")
                        .arg(QString::fromStdString(result.damagedText()));
        setStage(Stage::Analysed, text, result.isCutShort() || result.damaged > 0);
        return;
    }
    m_recorder.reset();
    m_preview->setContents(m_poster);
    if (result.frames == 0 && result.outcome != Outcome::Stopped) {
        setStage(Stage::Invalid,
            finished.failure.isEmpty()
                ? QStringLiteral("Not one frame of this file could be decoded: it is damaged or not a film.")
                : finished.failure,
            true);
        return;
    }
    setStage(Stage::Ready,
        QStringLiteral("Reading the film failed at %1 (%2). Nothing was kept: start again to analyse it.")
            .arg(filmClock(result.lastSeconds), finished.failure),
        true);
}

void VideoFileSource::cancel()
{
    if (m_stage != Stage::Analysing)
        return;
    // What was analysed so far is dropped: the film can be analysed again
    // whenever the author wants, so nothing the author made is lost.
    m_shared->want(++m_generation);
    m_ticker.stop();
    m_audioLevels->setAudioLevels({});
    m_frames.reset();
    m_progress = {};
    Q_EMIT progressChanged();
    m_preview->setContents(m_poster);
    m_recorder.reset();
    setStage(Stage::Ready, QStringLiteral("Analysis cancelled; nothing was kept."));
}

std::optional<QByteArray> VideoFileSource::takeRecording()
{
    if (m_stage != Stage::Analysed || !m_recorder)
        return std::nullopt;
    std::optional<QByteArray> recording = m_recorder->stop();
    m_recorder.reset();
    m_preview->setContents(m_poster);
    setStage(Stage::Ready, m_readyText);
    return recording;
}

void VideoFileSource::discard()
{
    if (m_stage != Stage::Analysed)
        return;
    m_recorder.reset();
    m_preview->setContents(m_poster);
    m_progress = {};
    Q_EMIT progressChanged();
    setStage(Stage::Ready, QStringLiteral("The analysis was thrown away."));
}

void VideoFileSource::discardRecording()
{
    cancel();
    discard();
}

int VideoFileSource::frameCount() const
{
    return m_recorder ? m_recorder->frameCount() : 0;
}

} // namespace corvex::capture
