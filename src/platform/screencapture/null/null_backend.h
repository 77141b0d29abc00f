#pragma once

#include "platform/screencapture/capture_backend.h"

namespace corvex::screencapture {

/// For systems where nothing can be captured: every request fails with the reason given.
class NullBackend final : public CaptureBackend {
public:
    explicit NullBackend(CaptureError reason);

    std::string name() const override { return "null"; }
    ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) override;
    SourceResult createAudioSource(const StreamConfiguration& configuration) override;

private:
    const CaptureError m_reason;
};

} // namespace corvex::screencapture
