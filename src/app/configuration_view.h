#pragma once

#include "app/item_section.h"
#include "app/recording_upload.h"
#include "app/upload_queue.h"
#include "app/video_section.h"

#include <QPointer>
#include <QWidget>

#include <QMessageBox>

#include <QCoroTask>

#include <optional>

class QComboBox;
class QLabel;
class QMessageBox;
class QPushButton;
class QScrollArea;

namespace corvex::preview_link {
class UDPManager;
}
namespace corvex::service {
class Session;
}

namespace corvex::app {

class AudioSection;
class ColourSwatchView;
class LiveColoursSection;
class RealtimePreviewSection;
class RecordingControls;
class RecordingSources;

/// The recording window's side panel: the item being recorded, what is
/// captured, the sound level, the colours being sampled, the light receiver
/// for the live preview, the recording controls and "Restart screen capture"
/// (on the screen only). Each section is a widget of its own bound to the
/// models it is given; the panel puts them in order, in a scroll area where
/// the window is too low for them, and runs the save and upload. The
/// recording controls below keep their place whatever the sections show.
class ConfigurationView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConfigurationView)

public:
    /// What the preview shows once a recording has ended.
    enum class Outcome { None, Uploading, Uploaded, NotUploaded, Discarded };

    /// `item` is what the recordings are made for (none: nothing was chosen).
    ConfigurationView(RecordingSources& sources, preview_link::UDPManager& udpManager, service::Session& manager,
        UploadQueue& uploads, std::optional<catalogue::TMDBItem> item = std::nullopt, QWidget* parent = nullptr);
    ~ConfigurationView() override;

    /// "Start recording" or the save flow, as the button does.
    void toggleRecording();
    /// Stops the recording and uploads it; the upload goes on in the background.
    void save();
    /// Asks, then throws the running recording away.
    void discard();
    /// Whether a recording runs or waits to be saved (a film being analysed,
    /// or analysed and not saved yet).
    bool hasRecordingInProgress() const;
    /// Whether save() can save it now (not while a film is still analysed).
    bool canSaveNow() const;
    /// Throws the recording in progress away without asking (the window asked).
    void throwAway();
    /// Whether the window being recorded closed under a running recording.
    bool isWindowLost() const;
    RecordingSources& sources() const { return m_sources; }
    const std::optional<catalogue::TMDBItem>& item() const { return m_item; }

    // For tests and screenshots.
    QPushButton* recordingButton() const;
    QPushButton* discardButton() const;
    QPushButton* restartButton() const { return m_restartButton; }
    /// Where the sections scroll when the window is too low for them.
    QScrollArea* scrollArea() const { return m_scroll; }
    QPushButton* resetCropButton() const;
    QPushButton* retryButton() const { return m_retryButton; }
    /// Keep and remove a recording the service refused for good.
    QPushButton* saveAsButton() const { return m_saveAsButton; }
    QPushButton* removeButton() const { return m_removeButton; }
    QComboBox* captureTypePicker() const;
    QComboBox* displayPicker() const;
    QComboBox* windowPicker() const;
    QComboBox* receiverPicker() const;
    ItemSection* itemSection() const { return m_itemSection; }
    VideoSection* videoSection() const { return m_videoSection; }
    RealtimePreviewSection* previewSection() const { return m_previewSection; }
    LiveColoursSection* liveColoursSection() const { return m_liveColoursSection; }
    RecordingControls* recordingControls() const { return m_controls; }
    ElidedLabel* itemTitle() const;
    QLabel* uploadStatus() const { return m_uploadStatus; }
    QLabel* captureNotice() const { return m_captureNotice; }
    ColourSwatchView* swatch() const;
    QMessageBox* discardConfirmation() const { return m_discardConfirmation; }
    bool isUploading() const { return m_upload->isUploading(); }
    RecordingUpload& recordingUpload() const { return *m_upload; }
    Outcome outcome() const { return m_outcome; }

Q_SIGNALS:
    /// Asks the window to show or hide the "stopped" overlay.
    void userStoppedChanged(bool stopped);
    /// The ended recording's fate changed (the preview says it).
    void outcomeChanged(ConfigurationView::Outcome outcome);

private:
    void follow();
    void updateCaptureState();
    void setOutcome(Outcome outcome);
    void clearFinishedMessage();
    void updateUploadStatus();
    QCoro::Task<> restart();

    RecordingSources& m_sources;
    service::Session& m_manager;
    std::optional<catalogue::TMDBItem> m_item;
    RecordingUpload* m_upload = nullptr; // the save's upload and its Retry
    QScrollArea* m_scroll = nullptr;

    ItemSection* m_itemSection = nullptr;
    VideoSection* m_videoSection = nullptr;
    AudioSection* m_audioSection = nullptr;
    LiveColoursSection* m_liveColoursSection = nullptr;
    RealtimePreviewSection* m_previewSection = nullptr;
    RecordingControls* m_controls = nullptr;
    QWidget* m_lostBox = nullptr;
    QLabel* m_captureNotice = nullptr;
    QLabel* m_uploadStatus = nullptr;
    QPushButton* m_retryButton = nullptr;
    QPushButton* m_saveAsButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QWidget* m_restartRow = nullptr;
    QPushButton* m_restartButton = nullptr;
    QPointer<QMessageBox> m_discardConfirmation;
    QMetaObject::Connection m_sourceConnection; // to the source in use

    Outcome m_outcome = Outcome::None;
};

} // namespace corvex::app
