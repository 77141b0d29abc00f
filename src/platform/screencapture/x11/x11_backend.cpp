#include "platform/screencapture/x11/x11_backend.h"

namespace corvex::screencapture {

std::shared_ptr<X11Backend> X11Backend::create(CaptureError& error)
{
    error = { CaptureError::NoDisplay, "Screen capture is unavailable: no X display could be opened." };
    return nullptr;
}

ShareableContentResult X11Backend::shareableContent(bool, bool)
{
    return { std::nullopt, { CaptureError::NoDisplay, "not yet" } };
}

std::unique_ptr<StreamSource> X11Backend::createVideoSource(
    const ContentFilter&, const StreamConfiguration&, CaptureError& error)
{
    error = { CaptureError::NoDisplay, "not yet" };
    return nullptr;
}

std::unique_ptr<StreamSource> X11Backend::createAudioSource(const StreamConfiguration&, CaptureError& error)
{
    error = { CaptureError::AudioUnavailable, "not yet" };
    return nullptr;
}

} // namespace corvex::screencapture
