#include "platform/screencapture/capture_backend.h"

#include "platform/screencapture/null/null_backend.h"
#include "platform/screencapture/synthetic/synthetic_backend.h"
#include "platform/screencapture/x11/x11_backend.h"

#include <cstdio>
#include <cstdlib>

namespace corvex::screencapture {

std::shared_ptr<CaptureBackend> createCaptureBackend(const std::string& name)
{
    if (name == "synthetic")
        return std::make_shared<SyntheticBackend>();
    if (name == "null")
        return std::make_shared<NullBackend>(
            CaptureError { CaptureError::NoDisplay, "Screen capture is switched off on this system." });
    if (name == "x11") {
        CaptureError error;
        if (std::shared_ptr<CaptureBackend> backend = X11Backend::create(error))
            return backend;
        return std::make_shared<NullBackend>(error);
    }
    return nullptr;
}

std::shared_ptr<CaptureBackend> createCaptureBackend()
{
    if (const char* forced = std::getenv(kBackendEnvironmentVariable); forced != nullptr && *forced != '\0') {
        if (std::shared_ptr<CaptureBackend> backend = createCaptureBackend(forced))
            return backend;
        std::fprintf(stderr, "%s=%s names no screen capture backend (x11, synthetic, null); using x11\n",
            kBackendEnvironmentVariable, forced);
    }
    CaptureError error;
    if (std::shared_ptr<CaptureBackend> backend = X11Backend::create(error))
        return backend;
    std::fprintf(stderr, "%s\n", error.localizedDescription.c_str());
    return std::make_shared<NullBackend>(error);
}

} // namespace corvex::screencapture
