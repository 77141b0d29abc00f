#include "app/recording_view.h"

#include "app/capture_preview_view.h"
#include "app/configuration_view.h"
#include "app/recording_sources.h"
#include "app/text_styles.h"
#include "capture/screen_recorder.h"
#include "capture/video_file_source.h"
#include "preview_link/udp_manager.h"

#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QSplitter>
#include <QSplitterHandle>
#include <QVBoxLayout>

namespace corvex::app {

QRectF aspectFitRect(const QSizeF& content, const QRectF& area)
{
    QSizeF size = content;
    if (!(size.width() > 0) || !(size.height() > 0))
        size = QSizeF(1, 1);
    const QSizeF fitted = size.scaled(area.size(), Qt::KeepAspectRatio);
    return QRectF(area.center().x() - fitted.width() / 2, area.center().y() - fitted.height() / 2, fitted.width(),
        fitted.height());
}

RecordingView::RecordingView(service::Session& manager, UploadQueue& uploads, std::optional<catalogue::TMDBItem> item,
    analysis::AnalysisRecorder& recorder, preview_link::UDPManager& previewLink,
    std::shared_ptr<screencapture::CaptureBackend> backend, QWidget* parent)
    : QWidget(parent)
    , m_screenRecorder(std::make_unique<capture::ScreenRecorder>(std::move(backend), recorder))
    , m_sources(std::make_unique<RecordingSources>(*m_screenRecorder, true))
{
    setWindowTitle(QStringLiteral("Screen Capture"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter);

    m_configuration = new ConfigurationView(*m_sources, previewLink, manager, uploads, std::move(item), m_splitter);
    m_configuration->setFixedWidth(kPanelWidth);
    m_splitter->addWidget(m_configuration);

    m_previewPane = new QWidget(m_splitter);
    m_previewPane->setAutoFillBackground(true);
    QPalette pane = m_previewPane->palette();
    pane.setColor(QPalette::Window, palette().color(QPalette::Window).darker(115));
    m_previewPane->setPalette(pane);
    m_previewPane->installEventFilter(this);
    m_preview = new CapturePreviewView(*m_sources, m_previewPane);
    // Room for a picture one can judge, however small the window is made.
    m_previewPane->setMinimumSize(kMinimumPreviewWidth, kMinimumPreviewHeight);
    m_splitter->addWidget(m_previewPane);
    m_splitter->setStretchFactor(1, 1);
    // The panel has a fixed width, so the divider cannot move: it is drawn as
    // a plain line, without the resize cursor that would promise a drag.
    m_splitter->setHandleWidth(1);
    if (QSplitterHandle* handle = m_splitter->handle(1)) {
        handle->setEnabled(false);
        handle->setCursor(Qt::ArrowCursor);
    }

    // The permission banner, over the split view and centred in it.
    m_banner = new QWidget(this);
    m_banner->setAutoFillBackground(true);
    QPalette red = m_banner->palette();
    red.setColor(QPalette::Window, QColor(220, 38, 38));
    m_banner->setPalette(red);
    {
        auto* column = new QVBoxLayout(m_banner);
        column->setContentsMargins(16, 16, 16, 16);
        auto* first = text_styles::label(
            QStringLiteral("No screen recording permission."), text_styles::largeTitle(), Qt::white, m_banner);
        first->setAlignment(Qt::AlignCenter);
        auto* second = text_styles::label(QString::fromStdString(m_screenRecorder->backend()->unavailableAdvice())
                + QStringLiteral(", then open a new Recording window."),
            text_styles::title2(), Qt::white, m_banner);
        second->setAlignment(Qt::AlignCenter);
        second->setWordWrap(true);
        column->addWidget(first);
        column->addWidget(second);
    }
    m_banner->hide();

    connect(m_configuration, &ConfigurationView::userStoppedChanged, this, &RecordingView::setUserStopped);
    connect(m_configuration, &ConfigurationView::outcomeChanged, this, &RecordingView::updateOverlay);
    // The preview takes the shape of the source in use; a film has none of the screen's troubles.
    for (capture::RecordingSource* source : { static_cast<capture::RecordingSource*>(m_screenRecorder.get()),
             static_cast<capture::RecordingSource*>(&m_sources->file()) })
        connect(source, &capture::RecordingSource::contentSizeChanged, this, &RecordingView::layoutPreview);
    connect(m_sources.get(), &RecordingSources::currentChanged, this, [this] {
        layoutPreview();
        updateOverlay();
    });
    connect(m_screenRecorder.get(), &capture::ScreenRecorder::isRunningChanged, this, [this] {
        // Capture that ends by itself has failed; the author restarts it.
        m_captureFailed = !m_screenRecorder->isRunning();
        updateOverlay();
    });
}

RecordingView::~RecordingView()
{
    // The panel and the preview refer to the screen recorder: they go first.
    delete m_splitter;
    m_splitter = nullptr;
}

void RecordingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    layoutPreview();
    layoutBanner();
    if (!m_appearing && !m_isUnauthorized)
        appear();
}

QCoro::Task<> RecordingView::appear()
{
    m_appearing = true;
    QPointer<RecordingView> self(this);
    const bool allowed = co_await m_screenRecorder->canRecord();
    if (!self)
        co_return;
    m_checked = true;
    if (!allowed) {
        m_appearing = false;
        m_isUnauthorized = true;
        m_banner->show();
        m_banner->raise();
        layoutBanner();
        m_disableInput = true;
        m_configuration->setEnabled(false);
        co_return;
    }
    co_await m_screenRecorder->start();
    if (self)
        m_appearing = false;
}

void RecordingView::setUserStopped(bool stopped)
{
    if (stopped)
        m_captureFailed = false;
    m_userStopped = stopped;
    updateOverlay();
}

void RecordingView::updateOverlay()
{
    if (m_userStopped) {
        QString note;
        switch (m_configuration->outcome()) {
        case ConfigurationView::Outcome::Uploading:
            note = QStringLiteral("Uploading…");
            break;
        case ConfigurationView::Outcome::Uploaded:
            note = QStringLiteral("Uploaded");
            break;
        case ConfigurationView::Outcome::NotUploaded:
            note = QStringLiteral("Not uploaded yet");
            break;
        case ConfigurationView::Outcome::Discarded:
            note = QStringLiteral("Discarded");
            break;
        case ConfigurationView::Outcome::None:
            break;
        }
        // The next film waits with its first picture, not under a sign that nothing runs.
        m_preview->setStopped(!note.isEmpty() || !m_sources->isFile(), {}, note);
        return;
    }
    if (m_sources->isFile()) {
        m_preview->setStopped(false);
        return;
    }
    if (m_configuration->isWindowLost()) {
        m_preview->setStopped(true, {}, QStringLiteral("The recorded window was closed"));
        return;
    }
    if (m_captureFailed) {
        // Why it stopped, where the author looks: no sound server, say, needs more than a Restart.
        QString why;
        if (const std::optional<screencapture::CaptureError>& error = m_screenRecorder->lastError()) {
            why = QStringLiteral(": ") + QString::fromStdString(error->localizedDescription).trimmed();
            if (!why.endsWith(QLatin1Char('.')))
                why += QLatin1Char('.');
        } else {
            why = QStringLiteral(".");
        }
        m_preview->setStopped(true,
            QStringLiteral("Screen capture stopped%1 Press “Restart screen capture” to start it again.").arg(why));
        return;
    }
    m_preview->setStopped(false);
}

void RecordingView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutBanner();
}

bool RecordingView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_previewPane && event->type() == QEvent::Resize)
        layoutPreview();
    return QWidget::eventFilter(watched, event);
}

void RecordingView::layoutPreview()
{
    const QRectF area
        = QRectF(m_previewPane->rect()).adjusted(kPreviewInset, kPreviewInset, -kPreviewInset, -kPreviewInset);
    if (area.width() <= 0 || area.height() <= 0)
        return;
    m_preview->setGeometry(aspectFitRect(m_sources->current().contentSize(), area).toRect());
}

void RecordingView::layoutBanner()
{
    if (!m_banner->isVisible())
        return;
    const int forWidth
        = m_banner->layout()->hasHeightForWidth() ? m_banner->layout()->totalHeightForWidth(width()) : -1;
    const int height = forWidth > 0 ? forWidth : m_banner->sizeHint().height();
    m_banner->setGeometry(0, (this->height() - height) / 2, width(), height);
}

} // namespace corvex::app
