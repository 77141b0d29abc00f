#include "capture/screen_recorder.h"

#include "analysis/analysis_recorder.h"
#include "capture/capture_log.h"
#include "platform/media/pixel_buffer.h"

#include <QCoroFuture>
#include <QDebug>
#include <QPointer>
#include <QPromise>

#include <algorithm>
#include <cstring>

namespace corvex::capture {

namespace {

constexpr int kStreamWidth = 100;
constexpr int kQueueDepth = 5;

// Height of a stream 100 pixels wide for content of the given size, in
// integers with the quotient truncated. Content of no width, or so flat that
// the height would be 0, gets one row: a height of 0 would ask for frames of
// the content's own size.
int streamHeight(std::int64_t width, std::int64_t height)
{
    if (width <= 0)
        return 1;
    return static_cast<int>(std::clamp<std::int64_t>(height * kStreamWidth / width, 1, 16384));
}

} // namespace

ScreenRecorder::ScreenRecorder(
    std::shared_ptr<screencapture::CaptureBackend> backend, analysis::AnalysisRecorder& recorder, QObject* parent)
    : RecordingSource(parent)
    , m_backend(backend ? std::move(backend) : screencapture::createCaptureBackend())
    , m_recorder(recorder)
    , m_audioLevelsProvider(new AudioLevelsProvider(this))
    , m_captureEngine(new CaptureEngine(m_backend, recorder, this))
    , m_contentQueue("app.corvex.Studio.capture.shareable-content")
{
    // What can be recorded follows the capture, the selection and the recorder.
    for (auto changed : { &ScreenRecorder::isRunningChanged, &ScreenRecorder::captureTypeChanged,
             &ScreenRecorder::selectedDisplayChanged, &ScreenRecorder::selectedWindowChanged,
             &ScreenRecorder::availableWindowsChanged, &ScreenRecorder::availableDisplaysChanged })
        connect(this, changed, this, &RecordingSource::recordingStateChanged);
    connect(&recorder, &analysis::AnalysisRecorder::startedChanged, this, &RecordingSource::recordingStateChanged);
    connect(this, &RecordingSource::recordingStateChanged, this, &RecordingSource::messageChanged);
    // Another picture starts the evidence for black bars afresh.
    for (auto changed : { &ScreenRecorder::captureTypeChanged, &ScreenRecorder::selectedDisplayChanged,
             &ScreenRecorder::selectedWindowChanged })
        connect(this, changed, this, &ScreenRecorder::restartBarSearch);
    connect(capturePreview(), &CapturePreview::contentsChanged, this, [this] {
        m_newFrame = true;
        if (!m_capturePreview->contents())
            restartBarSearch();
    });
    m_barTimer.setInterval(1000 / kBarLooksPerSecond);
    connect(&m_barTimer, &QTimer::timeout, this, &ScreenRecorder::lookForBars);
    m_barTimer.start();
}

ScreenRecorder::~ScreenRecorder() = default;

CapturePreview* ScreenRecorder::capturePreview()
{
    if (m_capturePreview == nullptr)
        m_capturePreview = new CapturePreview(this);
    return m_capturePreview;
}

void ScreenRecorder::setIsRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    Q_EMIT isRunningChanged();
}

void ScreenRecorder::setCrop(const std::optional<media::Rect>& crop)
{
    const bool changed = m_crop != crop;
    m_crop = crop;
    if (changed)
        Q_EMIT cropChanged();
    updateEngine();
}

void ScreenRecorder::setCaptureType(CaptureType type)
{
    const bool changed = m_captureType != type;
    m_captureType = type;
    if (changed)
        Q_EMIT captureTypeChanged();
    updateEngine();
}

void ScreenRecorder::setSelectedDisplay(const std::optional<screencapture::Display>& display)
{
    const bool changed = m_selectedDisplay != display;
    m_selectedDisplay = display;
    if (changed)
        Q_EMIT selectedDisplayChanged();
    updateEngine();
}

void ScreenRecorder::setSelectedWindow(const std::optional<screencapture::Window>& window)
{
    const bool changed = m_selectedWindow != window;
    m_selectedWindow = window;
    if (changed)
        Q_EMIT selectedWindowChanged();
    updateEngine();
}

void ScreenRecorder::setIsAppExcluded(bool excluded)
{
    const bool changed = m_isAppExcluded != excluded;
    m_isAppExcluded = excluded;
    if (changed)
        Q_EMIT isAppExcludedChanged();
    updateEngine();
}

void ScreenRecorder::setIsAudioCaptureEnabled(bool enabled)
{
    const bool changed = m_isAudioCaptureEnabled != enabled;
    m_isAudioCaptureEnabled = enabled;
    if (changed)
        Q_EMIT isAudioCaptureEnabledChanged();
    updateEngine();
    if (enabled) {
        startAudioMetering();
    } else {
        m_audioMeterCancellable.reset();
        m_audioLevelsProvider->setAudioLevels({ 0, 0 });
    }
}

void ScreenRecorder::setIsAppAudioExcluded(bool excluded)
{
    const bool changed = m_isAppAudioExcluded != excluded;
    m_isAppAudioExcluded = excluded;
    if (changed)
        Q_EMIT isAppAudioExcludedChanged();
    updateEngine();
}

QCoro::Task<screencapture::ShareableContentResult> ScreenRecorder::fetchShareableContent()
{
    auto promise = std::make_shared<QPromise<screencapture::ShareableContentResult>>();
    promise->start();
    QFuture<screencapture::ShareableContentResult> future = promise->future();
    m_contentQueue.async([backend = m_backend, promise] {
        promise->addResult(backend->shareableContent(false, true));
        promise->finish();
    });
    co_return co_await future;
}

QCoro::Task<bool> ScreenRecorder::canRecord()
{
    const screencapture::ShareableContentResult result = co_await fetchShareableContent();
    co_return result.value.has_value();
}

QCoro::Task<> ScreenRecorder::start()
{
    if (m_isRunning || m_isStarting)
        co_return;
    m_isStarting = true;
    QPointer<ScreenRecorder> self(this);
    if (!m_isSetup) {
        co_await monitorAvailableContent();
        if (!self)
            co_return;
        m_isSetup = true;
    }
    m_isStarting = false;
    if (m_isAudioCaptureEnabled)
        startAudioMetering();
    const screencapture::StreamConfiguration configuration = streamConfiguration();
    const std::optional<screencapture::ContentFilter> filter = contentFilter();
    if (!filter)
        co_return;
    m_lastError.reset();
    setIsRunning(true);
    if (m_frames) // may be the sender of the signal that led here
        m_frames.release()->deleteLater();
    m_frames = m_captureEngine->startCapture(configuration, *filter, m_crop);
    connect(m_frames.get(), &CapturedFrameStream::frameReceived, this, &ScreenRecorder::handleFrame);
    connect(m_frames.get(), &CapturedFrameStream::finished, this, &ScreenRecorder::handleFramesFinished);
}

void ScreenRecorder::handleFrame(const CapturedFrame& frame)
{
    capturePreview()->setContents(frame.surface, frame.colours, frame.coveredPixels);
    const QSizeF size(frame.contentRect.width, frame.contentRect.height);
    if (m_contentSize.width() != size.width() || m_contentSize.height() != size.height()) {
        m_contentSize = size;
        Q_EMIT contentSizeChanged();
    }
}

void ScreenRecorder::handleFramesFinished()
{
    if (const std::optional<screencapture::CaptureError> error = m_frames->error()) {
        qCCritical(lcCapture, "%s", error->localizedDescription.c_str());
        m_lastError = error;
        // The last picture is not what is on the screen any more: nothing
        // is shown, sampled or looked at for bars until frames come again.
        capturePreview()->setContents(nullptr);
        setIsRunning(false);
    }
}

bool ScreenRecorder::isWindowLost() const
{
    return !m_isRunning && m_captureType == CaptureType::window && m_lastError
        && m_lastError->code == screencapture::CaptureError::ContentUnavailable;
}

bool ScreenRecorder::hasContent() const
{
    // Before the first look at the screen a recording may start all the same:
    // its frames come once there is something to capture.
    if (m_captureType == CaptureType::display)
        return m_selectedDisplay.has_value() || !m_looked;
    if (!m_selectedWindow)
        return !m_looked;
    if (isWindowLost())
        return false;
    // A window that is no longer listed has closed (where windows are listed at all).
    return !m_looked || m_backend->desktopChooser()
        || std::any_of(m_availableWindows.begin(), m_availableWindows.end(),
            [this](const screencapture::Window& window) { return window.windowID == m_selectedWindow->windowID; });
}

RecordingSource::State ScreenRecorder::recordingState() const
{
    if (m_recorder.started())
        return m_isRunning ? State::Recording : State::Interrupted;
    return hasContent() ? State::Ready : State::Unavailable;
}

QString ScreenRecorder::message() const
{
    switch (recordingState()) {
    case State::Interrupted:
        return isWindowLost() ? QStringLiteral("The window you were recording was closed. Save what was recorded, or "
                                               "choose another window above to go on.")
                              : QStringLiteral("Screen capture stopped: nothing is recorded until it runs again. Save "
                                               "what was recorded, or press “Restart screen capture”.");
    case State::Unavailable:
        if (m_captureType == CaptureType::display)
            return QStringLiteral("No display to record.");
        return m_selectedWindow ? QStringLiteral("The window you chose was closed.")
                                : QStringLiteral("No window chosen.");
    default:
        return {};
    }
}

QString ScreenRecorder::nextStep() const
{
    if (recordingState() != State::Unavailable)
        return {};
    return m_captureType == CaptureType::display ? QStringLiteral("Connect a display to record.")
                                                 : QStringLiteral("Choose a window to record above.");
}

bool ScreenRecorder::startRecording(const std::optional<media::Rect>& crop)
{
    if (recordingState() != State::Ready)
        return false;
    if (crop != m_crop)
        setCrop(crop);
    m_recorder.start();
    return true;
}

std::optional<QByteArray> ScreenRecorder::takeRecording()
{
    if (!m_recorder.started())
        return std::nullopt;
    return m_recorder.stop();
}

void ScreenRecorder::discardRecording()
{
    if (m_recorder.started())
        m_recorder.stop();
}

int ScreenRecorder::frameCount() const
{
    return m_recorder.frameCount();
}

void ScreenRecorder::restartBarSearch()
{
    m_barDetector = analysis::BlackBarDetector();
    m_newFrame = false;
    if (m_proposedCrop) {
        m_proposedCrop.reset();
        Q_EMIT proposedCropChanged();
    }
}

void ScreenRecorder::lookForBars()
{
    if (!std::exchange(m_newFrame, false))
        return;
    const std::shared_ptr<const screencapture::Surface>& surface = capturePreview()->contents();
    if (!surface || !surface->pixels || surface->format != media::PixelFormat::BGRA || surface->width <= 0
        || surface->height <= 0)
        return;
    // A copy: the detector wants a buffer of its own, and the captured
    // frames are small (a few tens of kilobytes).
    const auto created = media::PixelBuffer::create(surface->width, surface->height, media::PixelFormat::BGRA);
    if (!created.buffer)
        return;
    media::PixelBuffer& copy = *created.buffer;
    const std::size_t row = std::min(copy.bytesPerRow(), surface->bytesPerRow);
    for (int y = 0; y < surface->height; ++y)
        std::memcpy(copy.baseAddress() + y * copy.bytesPerRow(), surface->pixels.get() + y * surface->bytesPerRow, row);
    const screencapture::CoveredPixels& covered = capturePreview()->coveredPixels();
    m_barDetector.addFrame(copy, covered.get());
    const std::optional<media::Rect> proposed = m_barDetector.proposedCrop();
    if (proposed != m_proposedCrop) {
        m_proposedCrop = proposed;
        Q_EMIT proposedCropChanged();
    }
}

QCoro::Task<> ScreenRecorder::monitorAvailableContent()
{
    if (m_isSetup)
        co_return;
    QPointer<ScreenRecorder> self(this);
    co_await refreshAvailableContent();
    // One refresh timer for the model's lifetime, however often this runs.
    if (!self || m_contentRefreshTimer)
        co_return;
    m_contentRefreshTimer = std::make_unique<QTimer>();
    m_contentRefreshTimer->setTimerType(Qt::PreciseTimer);
    m_contentRefreshTimer->setInterval(contentRefreshIntervalMs);
    connect(m_contentRefreshTimer.get(), &QTimer::timeout, this, [this] { refreshAvailableContent(); });
    m_contentRefreshTimer->start();
}

QCoro::Task<> ScreenRecorder::refreshAvailableContent()
{
    QPointer<ScreenRecorder> self(this);
    const screencapture::ShareableContentResult result = co_await fetchShareableContent();
    if (!self)
        co_return;
    if (!result) {
        qCCritical(lcCapture, "Failed to get the shareable content: %s", result.error.localizedDescription.c_str());
        Q_EMIT availableContentRefreshed();
        co_return;
    }
    const screencapture::ShareableContent& content = *result.value;
    m_availableDisplays = content.displays;
    Q_EMIT availableDisplaysChanged();
    std::vector<screencapture::Window> windows = filterWindows(content.windows, kApplicationIdentifier);
    if (windows != m_availableWindows) {
        m_availableWindows = std::move(windows);
        Q_EMIT availableWindowsChanged();
    }
    m_availableApps = content.applications;
    if (!std::exchange(m_looked, true))
        Q_EMIT recordingStateChanged();
    if (!m_selectedDisplay)
        setSelectedDisplay(m_availableDisplays.empty() ? std::nullopt : std::optional(m_availableDisplays.front()));
    if (!m_selectedWindow)
        setSelectedWindow(m_availableWindows.empty() ? std::nullopt : std::optional(m_availableWindows.front()));
    Q_EMIT availableContentRefreshed();
}

std::vector<screencapture::Window> ScreenRecorder::filterWindows(
    std::vector<screencapture::Window> windows, const std::string& ownApplicationIdentifier)
{
    auto sortKey = [](const screencapture::Window& window) {
        const std::string name = window.owningApplication ? window.owningApplication->applicationName : std::string();
        return QString::fromStdString(name).normalized(QString::NormalizationForm_C).toUcs4();
    };
    std::vector<std::pair<QList<uint>, screencapture::Window>> keyed;
    keyed.reserve(windows.size());
    for (screencapture::Window& window : windows)
        keyed.emplace_back(sortKey(window), std::move(window));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<screencapture::Window> result;
    for (auto& [key, window] : keyed) {
        if (!window.owningApplication || window.owningApplication->applicationName.empty())
            continue;
        if (window.owningApplication->bundleIdentifier == ownApplicationIdentifier)
            continue;
        result.push_back(std::move(window));
    }
    return result;
}

std::optional<screencapture::ContentFilter> ScreenRecorder::contentFilter() const
{
    if (m_captureType == CaptureType::display) {
        if (!m_selectedDisplay) {
            qCCritical(lcCapture, "No display selected.");
            return std::nullopt;
        }
        std::vector<screencapture::RunningApplication> excluded;
        if (m_isAppExcluded)
            std::copy_if(m_availableApps.begin(), m_availableApps.end(), std::back_inserter(excluded),
                [](const screencapture::RunningApplication& app) {
                    return app.bundleIdentifier == kApplicationIdentifier;
                });
        return screencapture::ContentFilter::forDisplay(*m_selectedDisplay, std::move(excluded), {});
    }
    if (!m_selectedWindow) {
        qCCritical(lcCapture, "No window selected.");
        return std::nullopt;
    }
    return screencapture::ContentFilter::forDesktopIndependentWindow(*m_selectedWindow);
}

screencapture::StreamConfiguration ScreenRecorder::streamConfiguration() const
{
    screencapture::StreamConfiguration configuration;
    configuration.capturesAudio = m_isAudioCaptureEnabled;
    configuration.excludesCurrentProcessAudio = m_isAppAudioExcluded;
    configuration.showsCursor = false;
    if (m_captureType == CaptureType::display && m_selectedDisplay) {
        configuration.width = kStreamWidth;
        configuration.height = streamHeight(m_selectedDisplay->width, m_selectedDisplay->height);
    } else if (m_captureType == CaptureType::window && m_selectedWindow) {
        configuration.width = kStreamWidth;
        configuration.height = streamHeight(static_cast<std::int64_t>(m_selectedWindow->frame.width),
            static_cast<std::int64_t>(m_selectedWindow->frame.height));
    }
    configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
    configuration.queueDepth = kQueueDepth;
    configuration.pixelFormat = media::PixelFormat::BGRA;
    return configuration;
}

void ScreenRecorder::updateEngine()
{
    if (!m_isRunning)
        return;
    // Reads the selection when it runs, so several assignments in a row apply their final state.
    QMetaObject::invokeMethod(
        this,
        [this] {
            const screencapture::StreamConfiguration configuration = streamConfiguration();
            const std::optional<screencapture::ContentFilter> filter = contentFilter();
            if (!filter)
                return;
            m_captureEngine->update(configuration, *filter, m_crop);
        },
        Qt::QueuedConnection);
}

void ScreenRecorder::startAudioMetering()
{
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(audioLevelRefreshRate * 1000));
    connect(timer.get(), &QTimer::timeout, this, &ScreenRecorder::refreshAudioLevels);
    timer->start();
    m_audioMeterCancellable = std::move(timer);
}

void ScreenRecorder::refreshAudioLevels()
{
    const PowerMeter& meter = m_captureEngine->powerMeter();
    const std::vector<PowerLevels> values = meter.values();
    if (values.empty()) {
        m_audioLevelsProvider->setAudioLevels({ 0, 0 });
        return;
    }
    m_audioLevelsProvider->setAudioLevels({ meter.meterTableAverage().valueForPower(values.front().average),
        meter.meterTablePeak().valueForPower(values.front().peak) });
}

QString ScreenRecorder::displayName(const screencapture::Display& display)
{
    return QStringLiteral("Display: %1 x %2").arg(display.width).arg(display.height);
}

QString ScreenRecorder::displayName(const screencapture::Window& window)
{
    const std::optional<QString> application = window.owningApplication
        ? std::optional(QString::fromStdString(window.owningApplication->applicationName))
        : std::nullopt;
    if (window.title) {
        const QString title = QString::fromStdString(*window.title);
        return application ? *application + QStringLiteral(": ") + title : title;
    }
    if (application)
        return *application + QStringLiteral(": ") + QString::number(window.windowID);
    return QString();
}

} // namespace corvex::capture
