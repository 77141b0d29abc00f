#pragma once

#include "platform/result.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvex::screencapture::x11 {

/// Frees an XCB reply (or error) when it goes out of scope.
struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

/// One connection to the X server of $DISPLAY (or the given name).
class Connection final {
public:
    /// Fails with a message for the user when the display cannot be opened.
    static Result<std::unique_ptr<Connection>, std::string> open(const char* displayName);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return m_connection; }
    xcb_screen_t* screen() const { return m_screen; }
    xcb_window_t root() const { return m_screen->root; }
    bool hasError() const { return xcb_connection_has_error(m_connection) != 0; }

    xcb_atom_t atom(const char* name) const;
    /// A window property's raw bytes; none when absent or of another type
    /// (XCB_ATOM_ANY accepts every type).
    std::optional<std::vector<std::uint8_t>> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) const;
    /// The first 32-bit CARDINAL of a window property (such as _NET_WM_PID), if it has one.
    std::optional<std::uint32_t> cardinal(xcb_window_t window, xcb_atom_t property) const;

private:
    Connection(xcb_connection_t* connection, xcb_screen_t* screen);

    xcb_connection_t* m_connection;
    xcb_screen_t* m_screen;
};

} // namespace corvex::screencapture::x11
