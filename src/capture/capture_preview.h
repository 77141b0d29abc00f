#pragma once

#include "analysis/frame_sampler.h"
#include "platform/screencapture/sample_buffer.h"

#include <QObject>

#include <memory>
#include <optional>

namespace corvex::capture {

/// What the recording window's preview shows: the latest captured surface,
/// drawn scaled to fit with its aspect ratio kept, the nine colours the
/// lights get from it (none where they are not known), and which of its
/// pixels show nothing of their own (windows left out of the capture hid
/// them). GUI thread only.
class CapturePreview final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturePreview)

public:
    explicit CapturePreview(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    const std::shared_ptr<const screencapture::Surface>& contents() const { return m_contents; }
    const std::optional<analysis::GridColours>& colours() const { return m_colours; }
    const screencapture::CoveredPixels& coveredPixels() const { return m_coveredPixels; }
    void setContents(std::shared_ptr<const screencapture::Surface> contents,
        const std::optional<analysis::GridColours>& colours = std::nullopt,
        screencapture::CoveredPixels coveredPixels = {})
    {
        m_contents = std::move(contents);
        m_colours = colours;
        m_coveredPixels = std::move(coveredPixels);
        Q_EMIT contentsChanged();
    }

Q_SIGNALS:
    void contentsChanged();

private:
    std::shared_ptr<const screencapture::Surface> m_contents;
    std::optional<analysis::GridColours> m_colours;
    screencapture::CoveredPixels m_coveredPixels;
};

} // namespace corvex::capture
