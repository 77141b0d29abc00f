#pragma once

#include "platform/screencapture/x11/area.h"
#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/xfixes.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace corvex::screencapture::x11 {

/// Where on a display the windows of some applications (the studio itself,
/// above all) are visible, so that capture can leave them out. A window counts
/// as the application's when its _NET_WM_PID (or that of the client window a
/// window manager framed in it) is the application's process, unless it is
/// one of the excepted windows. Looks again only after top-level windows
/// appeared, went, moved or changed their stacking.
class WindowExclusion final {
public:
    /// `display` is the captured rectangle of the root window.
    WindowExclusion(Connection& connection, std::vector<std::int64_t> processes, std::vector<std::uint32_t> excepted,
        const Area& display);
    ~WindowExclusion();
    WindowExclusion(const WindowExclusion&) = delete;
    WindowExclusion& operator=(const WindowExclusion&) = delete;

    /// Takes an event off the connection's queue (the root's structure changes).
    void handle(const xcb_generic_event_t& event);
    /// Looks again if windows changed. Returns the part of the display to draw
    /// anew (where excluded areas came or went); empty when nothing moved.
    Area update();
    /// Where excluded windows are visible, in display pixels.
    const std::vector<Area>& areas() const { return m_areas; }
    /// The same as an XFixes region in root coordinates; 0 while there are none.
    xcb_xfixes_region_t region() const { return m_areas.empty() ? 0 : m_region; }

private:
    struct Owner {
        std::int64_t processID = 0;
        bool excepted = false;
    };
    Owner ownerOf(xcb_window_t window, int depth);
    std::vector<Area> visibleAreas();

    Connection& m_connection;
    std::vector<std::int64_t> m_processes;
    std::vector<std::uint32_t> m_excepted;
    Area m_display;
    xcb_atom_t m_netWmPid = 0;
    xcb_xfixes_region_t m_region = 0;
    bool m_windowsChanged = true;
    std::vector<Area> m_areas;
    std::unordered_map<xcb_window_t, Owner> m_owners;
};

} // namespace corvex::screencapture::x11
