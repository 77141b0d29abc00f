#include "platform/screencapture/null/null_backend.h"

namespace corvex::screencapture {

NullBackend::NullBackend(CaptureError reason)
    : m_reason(std::move(reason))
{
}

ShareableContentResult NullBackend::shareableContent(bool, bool)
{
    return { std::nullopt, m_reason };
}

std::unique_ptr<StreamSource> NullBackend::createVideoSource(
    const ContentFilter&, const StreamConfiguration&, CaptureError& error)
{
    error = m_reason;
    return nullptr;
}

std::unique_ptr<StreamSource> NullBackend::createAudioSource(const StreamConfiguration&, CaptureError& error)
{
    error = m_reason;
    return nullptr;
}

} // namespace corvex::screencapture
