#pragma once

#include "platform/screencapture/capture_backend.h"

namespace corvex::screencapture {

/// Captures the displays and windows of an X server, and the system's sound
/// through PulseAudio (or PipeWire's Pulse server).
class X11Backend final : public CaptureBackend {
public:
    /// The backend for $DISPLAY; null with the reason when no X display can be opened.
    static Result<std::shared_ptr<X11Backend>, CaptureError> create();

    std::string name() const override { return "x11"; }
    ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) override;
    SourceResult createAudioSource(const StreamConfiguration& configuration) override;
};

} // namespace corvex::screencapture
