#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/content_filter.h"
#include "platform/screencapture/desktop_chooser.h"
#include "platform/screencapture/shareable_content.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/stream_configuration.h"

#include <memory>
#include <optional>
#include <string>

namespace corvex::screencapture {

/// What can be captured, or why nothing can be listed.
using ShareableContentResult = Result<ShareableContent, CaptureError>;

/// One way of capturing the screen and the system's sound. Every operation
/// may block for a while (round trips to the servers) and may run on any thread.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    virtual std::string name() const = 0;
    virtual ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
    /// A producer of the filter's frames at the configured size and rate, or why it is impossible.
    virtual SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) = 0;
    /// A producer of the system's sound, or why it is impossible.
    virtual SourceResult createAudioSource(const StreamConfiguration& configuration) = 0;
    /// What the author can fix when this backend cannot capture the screen, in one or two sentences
    /// that end without a full stop: the caller adds the step that follows in its own terms.
    virtual std::string unavailableAdvice() const
    {
        return "Corvex Studio captures the screen through X11. Log in to an X11 (Xorg) session, or start "
               "Corvex Studio with DISPLAY set to a running X server";
    }
    /// Where the author picks the content in the desktop's own dialog instead of from our lists; null elsewhere.
    virtual DesktopChooser* desktopChooser() { return nullptr; }
};

/// The environment variable that forces a backend: "portal", "x11", "synthetic" or "null".
inline constexpr char kBackendEnvironmentVariable[] = "CORVEX_CAPTURE_BACKEND";

/// The backend forced by the environment; else in a Wayland session the
/// screen-cast portal one (which tells whether the portal is there when asked
/// for content); else the X11 one when an X display can be opened; else the
/// null backend (after one line on standard error saying why screen capture
/// is unavailable). Never blocks on a server that does not answer.
std::shared_ptr<CaptureBackend> createCaptureBackend();
/// The backend of that name ("portal", "x11", "synthetic", "null"); null for an unknown name.
std::shared_ptr<CaptureBackend> createCaptureBackend(const std::string& name);

} // namespace corvex::screencapture
