#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/xcb_renderutil.h>

#include <cstring>

namespace corvex::screencapture::x11 {

Result<std::unique_ptr<Connection>, std::string> Connection::open(const char* displayName)
{
    using Opened = Result<std::unique_ptr<Connection>, std::string>;
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(displayName, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        const char* name = displayName ? displayName : std::getenv("DISPLAY");
        return Opened::failure(std::string("Screen capture is unavailable: no X display could be opened")
            + (name && *name ? std::string(" (DISPLAY=") + name + ")" : std::string(" (DISPLAY is not set)"))
            + ". Log in to an X11 session, or to a desktop that offers X11 to its programs, and try again.");
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0 || screens.data == nullptr) {
        xcb_disconnect(connection);
        return Opened::failure("Screen capture is unavailable: the X display has no screen.");
    }
    return Opened::success(std::unique_ptr<Connection>(new Connection(connection, screens.data)));
}

Connection::Connection(xcb_connection_t* connection, xcb_screen_t* screen)
    : m_connection(connection)
    , m_screen(screen)
{
}

Connection::~Connection()
{
    xcb_disconnect(m_connection);
}

xcb_atom_t Connection::atom(const char* name) const
{
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::optional<std::vector<std::uint8_t>> Connection::property(
    xcb_window_t window, xcb_atom_t property, xcb_atom_t type) const
{
    if (property == XCB_ATOM_NONE)
        return std::nullopt;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, property, type, 0, 1 << 20), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE || (type != XCB_ATOM_ANY && reply->type != type))
        return std::nullopt;
    const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    return std::vector<std::uint8_t>(data, data + (length > 0 ? length : 0));
}

std::optional<std::uint32_t> Connection::cardinal(xcb_window_t window, xcb_atom_t property) const
{
    const auto bytes = this->property(window, property, XCB_ATOM_CARDINAL);
    if (!bytes || bytes->size() < sizeof(std::uint32_t))
        return std::nullopt;
    std::uint32_t value = 0;
    std::memcpy(&value, bytes->data(), sizeof value);
    return value;
}

} // namespace corvex::screencapture::x11
