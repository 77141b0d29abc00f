#pragma once

#include "catalogue/tmdb_item.h"

#include <QRectF>
#include <QSizeF>
#include <QWidget>

#include <QCoroTask>

#include <memory>
#include <optional>

class QLabel;
class QSplitter;

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::capture {
class ScreenRecorder;
}
namespace corvex::preview_link {
class UDPManager;
}
namespace corvex::service {
class Session;
}
namespace corvex::screencapture {
class CaptureBackend;
}

namespace corvex::app {

class CapturePreviewView;
class ConfigurationView;
class RecordingSources;
class UploadQueue;

/// The largest rectangle of the content's aspect ratio that fits in `area`,
/// centred; a square for content without a usable size.
QRectF aspectFitRect(const QSizeF& content, const QRectF& area);

/// The recording window's content: the configuration panel (280 points) beside
/// the live preview. When it comes on screen it checks that the screen can be
/// captured and starts the capture; when it cannot, a red banner says why and
/// the panel is disabled.
class RecordingView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingView)

public:
    static constexpr int kPanelWidth = 280;
    static constexpr int kPreviewInset = 8;
    static constexpr int kMinimumPreviewWidth = 320;
    static constexpr int kMinimumPreviewHeight = 240;

    /// Captures through `backend` (the system's when null) into `recorder`,
    /// which sends live colours through `previewLink`; recordings are made for `item`.
    RecordingView(service::Session& manager, UploadQueue& uploads, std::optional<catalogue::TMDBItem> item,
        analysis::AnalysisRecorder& recorder, preview_link::UDPManager& previewLink,
        std::shared_ptr<screencapture::CaptureBackend> backend = nullptr, QWidget* parent = nullptr);
    ~RecordingView() override;

    capture::ScreenRecorder& screenRecorder() { return *m_screenRecorder; }
    RecordingSources& sources() { return *m_sources; }
    ConfigurationView* configurationView() const { return m_configuration; }
    CapturePreviewView* preview() const { return m_preview; }
    QWidget* permissionBanner() const { return m_banner; }
    QSplitter* splitter() const { return m_splitter; }
    bool userStopped() const { return m_userStopped; }
    bool disableInput() const { return m_disableInput; }
    bool isUnauthorized() const { return m_isUnauthorized; }
    /// The task started when the view came on screen has got past the check.
    bool hasCheckedPermission() const { return m_checked; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCoro::Task<> appear();
    void setUserStopped(bool stopped);
    void updateOverlay();
    void layoutPreview();
    void layoutBanner();

    std::unique_ptr<capture::ScreenRecorder> m_screenRecorder;
    std::unique_ptr<RecordingSources> m_sources;
    QSplitter* m_splitter = nullptr;
    ConfigurationView* m_configuration = nullptr;
    QWidget* m_previewPane = nullptr;
    CapturePreviewView* m_preview = nullptr;
    QWidget* m_banner = nullptr;
    bool m_userStopped = false;
    bool m_disableInput = false;
    bool m_isUnauthorized = false;
    bool m_checked = false;
    bool m_appearing = false;
    bool m_captureFailed = false;
};

} // namespace corvex::app
