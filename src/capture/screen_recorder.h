#pragma once

#include "analysis/black_bars.h"
#include "capture/audio_levels_provider.h"
#include "capture/capture_engine.h"
#include "capture/capture_preview.h"
#include "capture/captured_frame_stream.h"
#include "capture/recording_source.h"
#include "platform/media/rect.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/serial_queue.h"

#include <QCoroTask>
#include <QObject>
#include <QSizeF>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvex::analysis {
class AnalysisRecorder;
}

namespace corvex::capture {

/// This program's application identifier: its own windows carry it, so they
/// can be left out of what is captured.
inline constexpr const char* kApplicationIdentifier = screencapture::kOwnApplicationIdentifier;

/// The model behind the recording window: what is captured (a display or a
/// window), the lists to choose from (refreshed every 3 seconds), the preview
/// and the audio level meter; as a recording source, recordings of what is
/// captured into the recorder it is given, and the crop that black bars in
/// the captured picture suggest. Every property lives on the GUI thread; the
/// asynchronous operations suspend without blocking it.
class ScreenRecorder final : public RecordingSource {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScreenRecorder)

public:
    enum class CaptureType { display, window };
    Q_ENUM(CaptureType)

    static constexpr double audioLevelRefreshRate = 0.1; // seconds
    static constexpr int contentRefreshIntervalMs = 3000;
    /// Captured frames looked at for black bars per second, at most.
    static constexpr int kBarLooksPerSecond = 5;

    /// Captures through `backend` (the factory's choice when null) into `recorder`.
    ScreenRecorder(std::shared_ptr<screencapture::CaptureBackend> backend, analysis::AnalysisRecorder& recorder,
        QObject* parent = nullptr);
    /// What captures the screen (its advice tells the author what to do when nothing can be captured).
    const std::shared_ptr<screencapture::CaptureBackend>& backend() const { return m_backend; }
    ~ScreenRecorder() override;

    bool isRunning() const { return m_isRunning; }
    /// Why the capture last stopped by itself; none after a start.
    const std::optional<screencapture::CaptureError>& lastError() const { return m_lastError; }
    std::optional<media::Rect> crop() const { return m_crop; }
    void setCrop(const std::optional<media::Rect>& crop);
    CaptureType captureType() const { return m_captureType; }
    void setCaptureType(CaptureType type);
    std::optional<screencapture::Display> selectedDisplay() const { return m_selectedDisplay; }
    void setSelectedDisplay(const std::optional<screencapture::Display>& display);
    std::optional<screencapture::Window> selectedWindow() const { return m_selectedWindow; }
    void setSelectedWindow(const std::optional<screencapture::Window>& window);
    bool isAppExcluded() const { return m_isAppExcluded; }
    void setIsAppExcluded(bool excluded);
    QSizeF contentSize() const { return m_contentSize; }
    CapturePreview* capturePreview();
    const std::vector<screencapture::RunningApplication>& availableApps() const { return m_availableApps; }
    std::vector<screencapture::Display> availableDisplays() const { return m_availableDisplays; }
    std::vector<screencapture::Window> availableWindows() const { return m_availableWindows; }
    bool isAudioCaptureEnabled() const { return m_isAudioCaptureEnabled; }
    void setIsAudioCaptureEnabled(bool enabled);
    bool isAppAudioExcluded() const { return m_isAppAudioExcluded; }
    void setIsAppAudioExcluded(bool excluded);
    AudioLevelsProvider* audioLevelsProvider() const { return m_audioLevelsProvider; }
    CaptureEngine& captureEngine() { return *m_captureEngine; }
    bool isSetup() const { return m_isSetup; }
    /// Whether the content refresh timer exists (it is made once, on the first start).
    bool hasContentRefreshTimer() const { return m_contentRefreshTimer != nullptr; }
    /// Whether the audio meter timer runs.
    bool isAudioMetering() const { return m_audioMeterCancellable != nullptr; }

    /// Whether the capture service hands out shareable content: the sign that
    /// screen recording is possible here.
    QCoro::Task<bool> canRecord();
    /// Starts capture unless it runs (or is starting). Returns once the
    /// stream is asked to start; frames then reach the preview until the stream
    /// ends with an error, which clears isRunning.
    QCoro::Task<> start();
    QCoro::Task<> monitorAvailableContent();
    QCoro::Task<> refreshAvailableContent();
    /// Re-applies configuration, filter and crop to the running stream.
    void updateEngine();
    void startAudioMetering();

    /// The filter for the current selection; none (after logging "No display
    /// selected." or "No window selected.") when there is no selection.
    std::optional<screencapture::ContentFilter> contentFilter() const;
    screencapture::StreamConfiguration streamConfiguration() const;

    static QString displayName(const screencapture::Display& display);
    static QString displayName(const screencapture::Window& window);
    /// Sorted by application name (NFC, by code point, stable), without windows
    /// that have no named owner or belong to `ownApplicationIdentifier`.
    static std::vector<screencapture::Window> filterWindows(
        std::vector<screencapture::Window> windows, const std::string& ownApplicationIdentifier);

    /// Whether the window being captured closed (the stream said its content went).
    bool isWindowLost() const;

    State recordingState() const override;
    CapturePreview* preview() override { return capturePreview(); }
    AudioLevelsProvider* audioLevels() override { return m_audioLevelsProvider; }
    std::optional<media::Rect> proposedCrop() const override { return m_proposedCrop; }
    /// Starts recording what is captured, cropped to `crop`.
    bool startRecording(const std::optional<media::Rect>& crop) override;
    std::optional<QByteArray> takeRecording() override;
    void discardRecording() override;
    int frameCount() const override;
    QString message() const override;
    bool isMessageAFailure() const override { return recordingState() == State::Interrupted; }
    QString nextStep() const override;
    /// Looks at the newest captured frame for black bars, if it is new (a timer calls it).
    void lookForBars();

Q_SIGNALS:
    void isRunningChanged();
    void cropChanged();
    void captureTypeChanged();
    void selectedDisplayChanged();
    void selectedWindowChanged();
    void isAppExcludedChanged();
    void availableDisplaysChanged();
    void availableWindowsChanged();
    void isAudioCaptureEnabledChanged();
    void isAppAudioExcludedChanged();
    /// The refresh of shareable content finished (whether or not it changed anything).
    void availableContentRefreshed();

private:
    QCoro::Task<screencapture::ShareableContentResult> fetchShareableContent();
    void setIsRunning(bool running);
    void handleFrame(const CapturedFrame& frame);
    void handleFramesFinished();
    void refreshAudioLevels();
    void restartBarSearch();
    /// Whether the selection for the capture type is there to be captured.
    bool hasContent() const;

    const std::shared_ptr<screencapture::CaptureBackend> m_backend;
    analysis::AnalysisRecorder& m_recorder;
    bool m_isRunning = false;
    std::optional<screencapture::CaptureError> m_lastError;
    std::optional<media::Rect> m_crop;
    CaptureType m_captureType = CaptureType::display;
    std::optional<screencapture::Display> m_selectedDisplay;
    std::optional<screencapture::Window> m_selectedWindow;
    bool m_isAppExcluded = true;
    QSizeF m_contentSize { 1, 1 };
    CapturePreview* m_capturePreview = nullptr;
    std::vector<screencapture::RunningApplication> m_availableApps;
    std::vector<screencapture::Display> m_availableDisplays;
    std::vector<screencapture::Window> m_availableWindows;
    bool m_isAudioCaptureEnabled = true;
    bool m_isAppAudioExcluded = false;
    AudioLevelsProvider* const m_audioLevelsProvider;
    std::unique_ptr<QTimer> m_audioMeterCancellable;
    CaptureEngine* const m_captureEngine;
    bool m_isSetup = false;
    bool m_isStarting = false;
    std::unique_ptr<QTimer> m_contentRefreshTimer;
    std::unique_ptr<CapturedFrameStream> m_frames;
    bool m_looked = false; // the content was listed at least once
    analysis::BlackBarDetector m_barDetector;
    std::optional<media::Rect> m_proposedCrop;
    bool m_newFrame = false; // since the last look for bars
    QTimer m_barTimer;
    // Shareable content is fetched here, off the GUI thread; last, so that it
    // is joined before the rest goes.
    screencapture::SerialQueue m_contentQueue;
};

} // namespace corvex::capture
