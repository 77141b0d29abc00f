#include "app/recording_sources.h"

#include "capture/screen_recorder.h"
#include "capture/video_file_source.h"
#include "platform/screencapture/desktop_chooser.h"
#include "platform/settings/store.h"

#include <cmath>

namespace corvex::app {

namespace {

// Proposals this close to the crop in use (a hundredth of the picture) are the same.
bool same(const std::optional<media::Rect>& a, const std::optional<media::Rect>& b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    constexpr double kSlack = 0.01;
    return std::abs(a->x - b->x) < kSlack && std::abs(a->y - b->y) < kSlack && std::abs(a->width - b->width) < kSlack
        && std::abs(a->height - b->height) < kSlack;
}

} // namespace

RecordingSources::RecordingSources(capture::ScreenRecorder& screen, bool remember, QObject* parent)
    : QObject(parent)
    , m_screen(screen)
    , m_file(new capture::VideoFileSource(this))
{
    using capture::ScreenRecorder;
    connect(&screen, &ScreenRecorder::cropChanged, this, &RecordingSources::cropChanged);
    for (capture::RecordingSource* source : { static_cast<capture::RecordingSource*>(&screen),
             static_cast<capture::RecordingSource*>(m_file) })
        connect(source, &capture::RecordingSource::proposedCropChanged, this, [this, source] {
            if (source == &current())
                Q_EMIT cropChanged();
        });
    const QString type = remember ? settings::Store().value(captureTypeKey()).value_or(QString()) : QString();
    if (screencapture::DesktopChooser* chooser = screen.backend()->desktopChooser()) {
        // Where the desktop's dialog also offers single windows (known once it
        // was first asked), the window road comes first: a shared display
        // would show the studio itself. A display the author chose stays.
        if (type != QLatin1String("display")) {
            auto* first = new QObject(this);
            connect(&screen, &ScreenRecorder::availableContentRefreshed, first, [this, chooser, first] {
                if (!chooser->offersWindows())
                    return;
                delete first;
                m_screen.setCaptureType(ScreenRecorder::CaptureType::window);
            });
        }
    } else if (type == QLatin1String("window")) {
        screen.setCaptureType(ScreenRecorder::CaptureType::window);
    }
    if (!remember)
        return;
    m_isFile = type == QLatin1String("file");
    m_remember = true;
    connect(&screen, &ScreenRecorder::captureTypeChanged, this, &RecordingSources::remember);
}

RecordingSources::~RecordingSources() = default;

capture::RecordingSource& RecordingSources::current() const
{
    return m_isFile ? static_cast<capture::RecordingSource&>(*m_file) : m_screen;
}

void RecordingSources::setFile(bool file)
{
    if (m_isFile == file)
        return;
    m_isFile = file;
    remember();
    Q_EMIT currentChanged();
    Q_EMIT cropChanged();
}

void RecordingSources::remember() const
{
    if (!m_remember)
        return;
    const bool window = m_screen.captureType() == capture::ScreenRecorder::CaptureType::window;
    settings::Store().setValue(captureTypeKey(),
        m_isFile ? QStringLiteral("file") : window ? QStringLiteral("window") : QStringLiteral("display"));
}

std::optional<media::Rect> RecordingSources::crop() const
{
    return m_screen.crop();
}

void RecordingSources::setCrop(const std::optional<media::Rect>& crop)
{
    m_screen.setCrop(crop);
}

std::optional<media::Rect> RecordingSources::newCropProposal() const
{
    const std::optional<media::Rect> proposed = current().proposedCrop();
    if (!proposed || same(proposed, m_screen.crop()))
        return std::nullopt;
    return proposed;
}

void RecordingSources::useProposedCrop()
{
    if (const std::optional<media::Rect> proposed = current().proposedCrop())
        m_screen.setCrop(proposed);
}

} // namespace corvex::app
