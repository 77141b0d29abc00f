#pragma once

#include "platform/media/rect.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvex::screencapture {

/// The identifier that the windows of this very process carry as their
/// application's bundle identifier, so that the studio can leave itself out.
inline constexpr char kOwnApplicationIdentifier[] = "app.corvex.Studio";

/// A program that owns at least one window.
struct RunningApplication {
    std::string applicationName; // the process's name
    std::string bundleIdentifier; // its class name (WM_CLASS), the closest thing to an application id
    std::int64_t processID = 0;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

/// A monitor of the screen. The frame is in root-window pixels.
struct Display {
    std::uint32_t displayID = 0;
    int width = 0;
    int height = 0;
    media::Rect frame;
    std::string name;

    friend bool operator==(const Display&, const Display&) = default;
};

/// A top-level window. The frame is its position and size on the screen in pixels.
struct Window {
    std::uint32_t windowID = 0;
    media::Rect frame;
    std::optional<std::string> title;
    std::optional<RunningApplication> owningApplication;
    bool isOnScreen = true;

    friend bool operator==(const Window&, const Window&) = default;
};

/// What can be captured right now.
struct ShareableContent {
    std::vector<Display> displays;
    std::vector<Window> windows;
    std::vector<RunningApplication> applications;
};

} // namespace corvex::screencapture
