#include "platform/screencapture/x11/window_exclusion.h"

#include <algorithm>
#include <utility>

namespace corvex::screencapture::x11 {

WindowExclusion::WindowExclusion(Connection& connection, std::vector<std::int64_t> processes,
    std::vector<std::uint32_t> excepted, const Area& display)
    : m_connection(connection)
    , m_processes(std::move(processes))
    , m_excepted(std::move(excepted))
    , m_display(display)
{
    xcb_connection_t* c = m_connection.get();
    m_netWmPid = m_connection.atom("_NET_WM_PID");
    m_region = xcb_generate_id(c);
    xcb_xfixes_create_region(c, m_region, 0, nullptr);
    // Told when top-level windows appear, go, move or change their stacking.
    const std::uint32_t events[] = { XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY };
    xcb_change_window_attributes(c, m_connection.root(), XCB_CW_EVENT_MASK, events);
}

WindowExclusion::~WindowExclusion()
{
    xcb_xfixes_destroy_region(m_connection.get(), m_region);
}

void WindowExclusion::handle(const xcb_generic_event_t& event)
{
    switch (event.response_type & 0x7f) {
    case XCB_REPARENT_NOTIFY:
        m_owners.clear(); // a frame may now hold another client window
        [[fallthrough]];
    case XCB_CREATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_CONFIGURE_NOTIFY:
    case XCB_GRAVITY_NOTIFY:
    case XCB_CIRCULATE_NOTIFY:
        m_windowsChanged = true;
        break;
    default:
        break;
    }
}

WindowExclusion::Owner WindowExclusion::ownerOf(xcb_window_t window, int depth)
{
    xcb_connection_t* c = m_connection.get();
    Owner owner;
    owner.excepted = std::find(m_excepted.begin(), m_excepted.end(), window) != m_excepted.end();
    if (const std::optional<std::uint32_t> pid = m_connection.cardinal(window, m_netWmPid)) {
        owner.processID = *pid;
        return owner;
    }
    // A window manager's frame: the client window is inside it.
    if (depth > 0) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                const Owner inner = ownerOf(children[i], depth - 1);
                if (inner.processID != 0)
                    return { inner.processID, owner.excepted || inner.excepted };
            }
        }
    }
    return owner;
}

std::vector<Area> WindowExclusion::visibleAreas()
{
    xcb_connection_t* c = m_connection.get();
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, m_connection.root()), nullptr));
    if (!tree)
        return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies(count);
    std::vector<xcb_get_geometry_cookie_t> geometryCookies(count);
    for (std::size_t i = 0; i < count; ++i) {
        attributeCookies[i] = xcb_get_window_attributes(c, children[i]);
        geometryCookies[i] = xcb_get_geometry(c, children[i]);
    }
    // Bottom to top: an excluded window adds its rectangle, any other window hides what lies under it.
    std::vector<Area> visible;
    std::unordered_map<xcb_window_t, Owner> owners;
    for (std::size_t i = 0; i < count; ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE
            || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
            continue;
        const int border = 2 * geometry->border_width;
        const Area rectangle { geometry->x, geometry->y, geometry->x + geometry->width + border,
            geometry->y + geometry->height + border };
        const auto known = m_owners.find(children[i]);
        const Owner owner = known != m_owners.end() ? known->second : ownerOf(children[i], 2);
        owners.emplace(children[i], owner);
        const bool excluded = !owner.excepted
            && std::find(m_processes.begin(), m_processes.end(), owner.processID) != m_processes.end();
        if (excluded)
            visible.push_back(rectangle);
        else
            subtract(visible, rectangle);
    }
    m_owners = std::move(owners);

    std::vector<Area> onDisplay;
    const Area size { 0, 0, m_display.x1 - m_display.x0, m_display.y1 - m_display.y0 };
    for (const Area& area : visible) {
        const Area clipped = intersect(
            { area.x0 - m_display.x0, area.y0 - m_display.y0, area.x1 - m_display.x0, area.y1 - m_display.y0 }, size);
        if (!clipped.isEmpty())
            onDisplay.push_back(clipped);
    }
    return onDisplay;
}

Area WindowExclusion::update()
{
    if (!std::exchange(m_windowsChanged, false))
        return {};
    std::vector<Area> now = visibleAreas();
    if (now == m_areas)
        return {};
    // Where excluded areas went, the display shows again; where they came, it goes.
    Area changed;
    for (const Area& area : m_areas)
        changed = unite(changed, area);
    for (const Area& area : now)
        changed = unite(changed, area);
    m_areas = std::move(now);
    std::vector<xcb_rectangle_t> rectangles;
    rectangles.reserve(m_areas.size());
    for (const Area& area : m_areas)
        rectangles.push_back(
            { static_cast<std::int16_t>(area.x0 + m_display.x0), static_cast<std::int16_t>(area.y0 + m_display.y0),
                static_cast<std::uint16_t>(area.x1 - area.x0), static_cast<std::uint16_t>(area.y1 - area.y0) });
    xcb_xfixes_set_region(
        m_connection.get(), m_region, static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
    return changed;
}

} // namespace corvex::screencapture::x11
