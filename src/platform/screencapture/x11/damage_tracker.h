#pragma once

#include "platform/screencapture/x11/area.h"
#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace corvex::screencapture::x11 {

/// What changed in a drawable (the root window or a captured window) since the
/// last look, through XDamage. The server reports the growing bounding box of
/// the changes in events, so that asking costs no round trip; only when parts
/// of the drawable do not count (windows left out of the capture) does the
/// tracker fetch the changed region itself, to take those parts out first.
class DamageTracker final {
public:
    /// Watches `drawable`, of which the captured area starts at (originX, originY).
    DamageTracker(Connection& connection, xcb_drawable_t drawable, int originX, int originY);
    ~DamageTracker();
    DamageTracker(const DamageTracker&) = delete;
    DamageTracker& operator=(const DamageTracker&) = delete;

    /// Takes an event off the connection's queue; true when it was this tracker's.
    bool handle(const xcb_generic_event_t& event);
    /// Something changed since the last take() (or a change was forced).
    bool hasChanges() const { return m_changed; }
    /// Makes the next take() report the whole area, whatever happened.
    void changeAll();
    /// Makes the next take() report `area` (captured pixels) as changed too.
    void force(const Area& area);
    /// What changed since the last take, in pixels of the captured width × height
    /// area (clipped to it); starts afresh. What changed inside `ignored` (an
    /// XFixes region in the drawable's coordinates; 0 for none) does not count.
    Area take(int width, int height, xcb_xfixes_region_t ignored);

private:
    Connection& m_connection;
    int m_originX;
    int m_originY;
    std::uint8_t m_eventBase = 0;
    xcb_damage_damage_t m_damage = 0;
    xcb_xfixes_region_t m_region = 0; // collects what changed when a region has to be taken out
    Area m_box; // the bounding box the server last reported, in the drawable's coordinates
    Area m_forced; // in captured pixels
    bool m_changed = true;
    bool m_all = true;
};

} // namespace corvex::screencapture::x11
