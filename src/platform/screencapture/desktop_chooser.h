#pragma once

namespace corvex::screencapture {

/// What the author shares, as far as the desktop told us: on Wayland an
/// application cannot list displays or windows, the desktop's own sharing
/// dialog picks one.
struct DesktopChoice {
    enum class Kind { none, display, window };
    Kind kind = Kind::none; // none: not chosen yet (or chosen again and not answered)
    int width = 0; // 0 when the desktop did not say
    int height = 0;

    friend bool operator==(const DesktopChoice&, const DesktopChoice&) = default;
};

/// A backend whose content is picked in the desktop's dialog. Every operation
/// returns at once, so the windows can call them on the GUI thread.
class DesktopChooser {
public:
    /// What the running capture shows, else what was remembered from an earlier one.
    virtual DesktopChoice desktopChoice() = 0;
    /// Whether the desktop's dialog offers single windows besides whole displays
    /// (false until the desktop was first asked).
    virtual bool offersWindows() = 0;
    /// Forgets the remembered choice; a running capture asks the author again
    /// at once, any other capture when it starts.
    virtual void chooseAgain() = 0;

protected:
    ~DesktopChooser() = default;
};

} // namespace corvex::screencapture
