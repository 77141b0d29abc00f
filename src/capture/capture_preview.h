#pragma once

#include "platform/screencapture/sample_buffer.h"

#include <QObject>

#include <memory>

namespace corvex::capture {

/// What the recording window's preview shows: the latest captured surface,
/// drawn scaled to fit with its aspect ratio kept. GUI thread only.
class CapturePreview final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CapturePreview)

public:
    explicit CapturePreview(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    const std::shared_ptr<const screencapture::Surface>& contents() const { return m_contents; }
    void setContents(std::shared_ptr<const screencapture::Surface> contents)
    {
        m_contents = std::move(contents);
        Q_EMIT contentsChanged();
    }

Q_SIGNALS:
    void contentsChanged();

private:
    std::shared_ptr<const screencapture::Surface> m_contents;
};

} // namespace corvex::capture
