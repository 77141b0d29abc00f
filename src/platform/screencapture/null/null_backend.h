#pragma once

#include "platform/screencapture/capture_backend.h"

namespace corvex::screencapture {

/// For systems where nothing can be captured: every request fails with the reason given.
class NullBackend final : public CaptureBackend {
public:
    explicit NullBackend(CaptureError reason);

    std::string name() const override { return "null"; }
    ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    std::unique_ptr<StreamSource> createVideoSource(
        const ContentFilter& filter, const StreamConfiguration& configuration, CaptureError& error) override;
    std::unique_ptr<StreamSource> createAudioSource(
        const StreamConfiguration& configuration, CaptureError& error) override;

private:
    const CaptureError m_reason;
};

} // namespace corvex::screencapture
