#include "platform/screencapture/x11/damage_tracker.h"

#include <utility>

namespace corvex::screencapture::x11 {

DamageTracker::DamageTracker(Connection& connection, xcb_drawable_t drawable, int originX, int originY)
    : m_connection(connection)
    , m_originX(originX)
    , m_originY(originY)
{
    xcb_connection_t* c = m_connection.get();
    if (const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_damage_id))
        m_eventBase = extension->first_event;
    m_damage = xcb_generate_id(c);
    // One event whenever the box around everything changed grows: its latest is all there is to know.
    xcb_damage_create(c, m_damage, drawable, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    m_region = xcb_generate_id(c);
    xcb_xfixes_create_region(c, m_region, 0, nullptr);
}

DamageTracker::~DamageTracker()
{
    xcb_connection_t* c = m_connection.get();
    xcb_damage_destroy(c, m_damage);
    xcb_xfixes_destroy_region(c, m_region);
}

bool DamageTracker::handle(const xcb_generic_event_t& event)
{
    if ((event.response_type & 0x7f) != m_eventBase + XCB_DAMAGE_NOTIFY)
        return false;
    const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
    if (notify.damage != m_damage)
        return false;
    const xcb_rectangle_t& a = notify.area;
    m_box = unite(m_box, Area { a.x, a.y, a.x + a.width, a.y + a.height });
    m_changed = true;
    return true;
}

void DamageTracker::changeAll()
{
    m_all = true;
    m_changed = true;
}

void DamageTracker::force(const Area& area)
{
    m_forced = unite(m_forced, area);
    m_changed = true;
}

Area DamageTracker::take(int width, int height, xcb_xfixes_region_t ignored)
{
    xcb_connection_t* c = m_connection.get();
    const Area whole { 0, 0, width, height };
    const Area forced = std::exchange(m_forced, Area {});
    Area box = std::exchange(m_box, Area {});
    m_changed = false;
    // A change the server reports after this point (even one made before it) arrives
    // as an event and counts for the next take: nothing is lost, at worst drawn twice.
    if (ignored == 0 || m_all) {
        xcb_damage_subtract(c, m_damage, XCB_NONE, XCB_NONE);
    } else {
        xcb_damage_subtract(c, m_damage, XCB_NONE, m_region);
        xcb_xfixes_subtract_region(c, m_region, ignored, m_region);
        Reply<xcb_xfixes_fetch_region_reply_t> region(
            xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, m_region), nullptr));
        if (!region)
            return whole;
        const xcb_rectangle_t& e = region->extents;
        box = Area { e.x, e.y, e.x + e.width, e.y + e.height };
    }
    if (std::exchange(m_all, false))
        return whole;
    box = intersect({ box.x0 - m_originX, box.y0 - m_originY, box.x1 - m_originX, box.y1 - m_originY }, whole);
    return unite(box, intersect(forced, whole));
}

} // namespace corvex::screencapture::x11
