#pragma once

// Windows painted in known pixels on the test X server, for capture tests.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace corvex::test {

class XTestDisplay {
public:
    XTestDisplay()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection) == 0)
            m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    }
    ~XTestDisplay() { xcb_disconnect(m_connection); }
    XTestDisplay(const XTestDisplay&) = delete;
    XTestDisplay& operator=(const XTestDisplay&) = delete;

    bool isOpen() const { return m_screen != nullptr; }
    xcb_connection_t* connection() const { return m_connection; }
    xcb_window_t root() const { return m_screen->root; }

    /// A window at (x, y); override-redirect ones are placed exactly and never
    /// managed. Others carry a title and the owner `pid`, for the window list.
    xcb_window_t createWindow(
        int x, int y, int width, int height, bool overrideRedirect, const std::string& title, std::uint32_t pid)
    {
        const xcb_window_t window = xcb_generate_id(m_connection);
        const std::uint32_t values[] = { 0x000000, overrideRedirect ? 1u : 0u };
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, root(), static_cast<std::int16_t>(x),
            static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
            XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        setProperty(window, "_NET_WM_NAME", "UTF8_STRING", 8, title.size(), title.data());
        setProperty(window, "_NET_WM_PID", "CARDINAL", 32, 1, &pid);
        static const char kClass[] = "corvex-test\0CorvexTest";
        setProperty(window, "WM_CLASS", "STRING", 8, sizeof kClass, kClass);
        return window;
    }

    /// Paints the window's whole background from colourAt(x, y) (0xRRGGBB),
    /// evaluated on rectangles of blockWidth × blockHeight pixels.
    void paint(xcb_window_t window, int width, int height, int blockWidth, int blockHeight,
        const std::function<std::uint32_t(int, int)>& colourAt)
    {
        const xcb_pixmap_t pixmap = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, m_screen->root_depth, pixmap, window, static_cast<std::uint16_t>(width),
            static_cast<std::uint16_t>(height));
        const xcb_gcontext_t gc = xcb_generate_id(m_connection);
        xcb_create_gc(m_connection, gc, pixmap, 0, nullptr);
        for (int y = 0; y < height; y += blockHeight)
            for (int x = 0; x < width; x += blockWidth) {
                const std::uint32_t colour = colourAt(x, y);
                xcb_change_gc(m_connection, gc, XCB_GC_FOREGROUND, &colour);
                const xcb_rectangle_t rect { static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                    static_cast<std::uint16_t>(blockWidth), static_cast<std::uint16_t>(blockHeight) };
                xcb_poly_fill_rectangle(m_connection, pixmap, gc, 1, &rect);
            }
        useBackground(window, pixmap);
        xcb_free_gc(m_connection, gc);
    }

    /// A one-pixel black-and-white checkerboard over the whole window.
    void paintCheckerboard(xcb_window_t window)
    {
        const xcb_pixmap_t tile = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, m_screen->root_depth, tile, window, 2, 2);
        const xcb_gcontext_t gc = xcb_generate_id(m_connection);
        xcb_create_gc(m_connection, gc, tile, 0, nullptr);
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t colour = (i % 2) == (i / 2) ? 0xffffff : 0x000000;
            xcb_change_gc(m_connection, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_point_t point { static_cast<std::int16_t>(i % 2), static_cast<std::int16_t>(i / 2) };
            xcb_poly_point(m_connection, XCB_COORD_MODE_ORIGIN, tile, gc, 1, &point);
        }
        useBackground(window, tile);
        xcb_free_gc(m_connection, gc);
    }

    /// Draws a filled rectangle straight onto the window (until it is next exposed).
    void fill(xcb_window_t window, int x, int y, int width, int height, std::uint32_t colour)
    {
        const xcb_gcontext_t gc = xcb_generate_id(m_connection);
        xcb_create_gc(m_connection, gc, window, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t rect { static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
            static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height) };
        xcb_poly_fill_rectangle(m_connection, window, gc, 1, &rect);
        xcb_free_gc(m_connection, gc);
        xcb_flush(m_connection);
    }

    /// Maps the window and waits until it is viewable (and the window manager placed it).
    bool show(xcb_window_t window)
    {
        xcb_map_window(m_connection, window);
        xcb_flush(m_connection);
        for (int i = 0; i < 200; ++i) {
            auto* attributes = xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, window), nullptr);
            const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(attributes);
            if (viewable) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void raise(xcb_window_t window)
    {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(m_connection, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_flush(m_connection);
    }

    void move(xcb_window_t window, int x, int y)
    {
        const std::uint32_t position[] = { static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y) };
        xcb_configure_window(m_connection, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
        xcb_flush(m_connection);
    }

    void destroy(xcb_window_t window)
    {
        xcb_destroy_window(m_connection, window);
        xcb_flush(m_connection);
    }

    /// Leaves the window only the older title property, as programs set that know no newer one.
    void useOldTitle(xcb_window_t window, const std::string& title)
    {
        xcb_delete_property(m_connection, window, atom("_NET_WM_NAME"));
        setProperty(window, "WM_NAME", "STRING", 8, title.size(), title.data());
        xcb_flush(m_connection);
    }

    /// Window position on the screen.
    std::pair<int, int> position(xcb_window_t window)
    {
        auto* reply = xcb_translate_coordinates_reply(
            m_connection, xcb_translate_coordinates(m_connection, window, root(), 0, 0), nullptr);
        const std::pair<int, int> result { reply ? reply->dst_x : 0, reply ? reply->dst_y : 0 };
        std::free(reply);
        return result;
    }

private:
    void useBackground(xcb_window_t window, xcb_pixmap_t pixmap)
    {
        xcb_change_window_attributes(m_connection, window, XCB_CW_BACK_PIXMAP, &pixmap);
        xcb_free_pixmap(m_connection, pixmap);
        xcb_clear_area(m_connection, 1, window, 0, 0, 0, 0);
        xcb_flush(m_connection);
    }

    void setProperty(xcb_window_t window, const char* name, const char* type, std::uint8_t format, std::size_t count,
        const void* data)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, atom(name), atom(type), format,
            static_cast<std::uint32_t>(count), data);
    }

    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(m_connection,
            xcb_intern_atom(m_connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
};

} // namespace corvex::test
