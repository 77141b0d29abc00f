#pragma once

#include "analysis/frame_sampler.h"
#include "platform/screencapture/sample_buffer.h"

#include <QObject>

#include <memory>
#include <optional>

namespace corvex::capture {

/// What the recording window's preview shows: the latest captured surface,
/// drawn scaled to fit with its aspect ratio kept, and the nine colours the
/// lights get from it (none where they are not known). GUI thread only.
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
    void setContents(std::shared_ptr<const screencapture::Surface> contents,
        const std::optional<analysis::GridColours>& colours = std::nullopt)
    {
        m_contents = std::move(contents);
        m_colours = colours;
        Q_EMIT contentsChanged();
    }

Q_SIGNALS:
    void contentsChanged();

private:
    std::shared_ptr<const screencapture::Surface> m_contents;
    std::optional<analysis::GridColours> m_colours;
};

} // namespace corvex::capture
