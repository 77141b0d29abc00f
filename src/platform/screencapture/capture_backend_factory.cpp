#include "platform/screencapture/capture_backend.h"

#include "platform/screencapture/null/null_backend.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/screencapture/x11/x11_backend.h"

#include <QLoggingCategory>

#include <cstdlib>

namespace corvex::screencapture {

namespace {
Q_LOGGING_CATEGORY(lcScreenCapture, "corvex.platform.screencapture")
} // namespace

std::shared_ptr<CaptureBackend> createCaptureBackend(const std::string& name)
{
    if (name == "synthetic")
        return std::make_shared<SyntheticBackend>();
    if (name == "null")
        return std::make_shared<NullBackend>(
            CaptureError { CaptureError::NoDisplay, "Screen capture is switched off on this system." });
    if (name == "portal")
        return portal::PortalBackend::create({});
    if (name == "x11") {
        auto created = X11Backend::create();
        if (created)
            return std::move(*created.value);
        return std::make_shared<NullBackend>(std::move(created.error));
    }
    return nullptr;
}

std::shared_ptr<CaptureBackend> createCaptureBackend()
{
    if (const char* forced = std::getenv(kBackendEnvironmentVariable); forced != nullptr && *forced != '\0') {
        if (std::shared_ptr<CaptureBackend> backend = createCaptureBackend(forced))
            return backend;
        qCWarning(lcScreenCapture, "%s=%s names no screen capture backend (portal, x11, synthetic, null); choosing one",
            kBackendEnvironmentVariable, forced);
    }
    // In a Wayland session X11 sees only the few XWayland windows (a native
    // player would record as black): the desktop's screen-cast portal is the
    // road there. Whether it is present is asked when content is wanted, off
    // the GUI thread.
    const char* sessionType = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((sessionType != nullptr && std::string(sessionType) == "wayland") || (wayland != nullptr && *wayland != '\0'))
        return portal::PortalBackend::create({});
    auto created = X11Backend::create();
    if (created)
        return std::move(*created.value);
    qCWarning(lcScreenCapture, "%s", created.error.localizedDescription.c_str());
    return std::make_shared<NullBackend>(std::move(created.error));
}

} // namespace corvex::screencapture
