#pragma once

#include "platform/screencapture/shareable_content.h"

#include <optional>
#include <vector>

namespace corvex::screencapture {

/// What a stream captures: a display without some applications' windows, or one window alone.
struct ContentFilter {
    enum class Kind { Display, Window };

    Kind kind = Kind::Display;
    std::optional<Display> display;
    std::vector<RunningApplication> excludedApplications;
    std::vector<Window> exceptedWindows;
    std::optional<Window> window;

    static ContentFilter forDisplay(const Display& display, std::vector<RunningApplication> excludingApplications,
        std::vector<Window> exceptingWindows)
    {
        return { Kind::Display, display, std::move(excludingApplications), std::move(exceptingWindows), {} };
    }
    /// One window wherever it is, also when other windows cover it.
    static ContentFilter forDesktopIndependentWindow(const Window& window)
    {
        return { Kind::Window, {}, {}, {}, window };
    }

    friend bool operator==(const ContentFilter&, const ContentFilter&) = default;
};

} // namespace corvex::screencapture
