#include "platform/screencapture/null/null_backend.h"

namespace corvex::screencapture {

NullBackend::NullBackend(CaptureError reason)
    : m_reason(std::move(reason))
{
}

ShareableContentResult NullBackend::shareableContent(bool, bool)
{
    return ShareableContentResult::failure(m_reason);
}

SourceResult NullBackend::createVideoSource(const ContentFilter&, const StreamConfiguration&)
{
    return SourceResult::failure(m_reason);
}

SourceResult NullBackend::createAudioSource(const StreamConfiguration&)
{
    return SourceResult::failure(m_reason);
}

} // namespace corvex::screencapture
