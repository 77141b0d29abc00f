#pragma once

#include <string>

namespace corvex::screencapture {

/// Why a capture operation failed, in words for the user.
struct CaptureError {
    enum Code : int {
        NoDisplay = 1, // no screen capture on this system (no X display)
        ConnectionLost = 2, // the display or sound server went away
        ContentUnavailable = 3, // the display or window to capture is gone
        InvalidParameter = 4, // a filter or configuration that cannot be captured
        AudioUnavailable = 5, // system audio cannot be captured
        OutputAlreadyAdded = 6,
        Internal = 7,
    };

    Code code = Internal;
    std::string localizedDescription;
};

} // namespace corvex::screencapture
