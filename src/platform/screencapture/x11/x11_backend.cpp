#include "platform/screencapture/x11/x11_backend.h"

#include "platform/screencapture/pulse/pulse_audio_source.h"
#include "platform/screencapture/x11/x11_connection.h"
#include "platform/screencapture/x11/x11_video_source.h"

#include <xcb/randr.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace corvex::screencapture {

namespace {

using x11::Connection;
using x11::Reply;

std::string processName(std::int64_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::string text(const std::vector<std::uint8_t>& bytes)
{
    std::string value(bytes.begin(), bytes.end());
    // Titles are one line; some clients end them with a NUL.
    while (!value.empty() && value.back() == '\0')
        value.pop_back();
    return value;
}

std::vector<Display> listDisplays(const Connection& connection)
{
    std::vector<Display> displays;
    xcb_connection_t* c = connection.get();
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr != nullptr && randr->present) {
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            Reply<xcb_randr_get_monitors_reply_t> monitors(
                xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
            if (monitors) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
                     xcb_randr_monitor_info_next(&it)) {
                    const xcb_randr_monitor_info_t* m = it.data;
                    std::string name;
                    Reply<xcb_get_atom_name_reply_t> atomName(
                        xcb_get_atom_name_reply(c, xcb_get_atom_name(c, m->name), nullptr));
                    if (atomName)
                        name.assign(xcb_get_atom_name_name(atomName.get()),
                            static_cast<std::size_t>(xcb_get_atom_name_name_length(atomName.get())));
                    displays.push_back({ m->name, m->width, m->height,
                        { double(m->x), double(m->y), double(m->width), double(m->height) }, name });
                }
            }
        }
    }
    if (displays.empty()) {
        const xcb_screen_t* screen = connection.screen();
        displays.push_back({ 1, screen->width_in_pixels, screen->height_in_pixels,
            { 0, 0, double(screen->width_in_pixels), double(screen->height_in_pixels) }, "screen" });
    }
    return displays;
}

std::vector<Window> listWindows(const Connection& connection, bool onScreenWindowsOnly)
{
    std::vector<Window> windows;
    xcb_connection_t* c = connection.get();
    const auto clientList
        = connection.property(connection.root(), connection.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    if (!clientList)
        return windows; // no EWMH window manager: no window list
    const xcb_atom_t netWmName = connection.atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = connection.atom("UTF8_STRING");
    const xcb_atom_t netWmPid = connection.atom("_NET_WM_PID");
    const std::int64_t ownPid = getpid();

    const std::size_t count = clientList->size() / sizeof(xcb_window_t);
    for (std::size_t i = 0; i < count; ++i) {
        xcb_window_t id = 0;
        std::memcpy(&id, clientList->data() + i * sizeof(xcb_window_t), sizeof id);
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, id), nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr));
        if (!attributes || !geometry) // gone meanwhile
            continue;
        const bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        if (onScreenWindowsOnly && !viewable)
            continue;
        Reply<xcb_translate_coordinates_reply_t> position(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, id, connection.root(), 0, 0), nullptr));
        Window window;
        window.windowID = id;
        window.isOnScreen = viewable;
        window.frame = { position ? double(position->dst_x) : double(geometry->x),
            position ? double(position->dst_y) : double(geometry->y), double(geometry->width),
            double(geometry->height) };
        if (auto title = connection.property(id, netWmName, utf8))
            window.title = text(*title);
        else if (auto legacy = connection.property(id, XCB_ATOM_WM_NAME, XCB_ATOM_ANY))
            window.title = text(*legacy);
        if (const std::optional<std::uint32_t> pid = connection.cardinal(id, netWmPid)) {
            RunningApplication application;
            application.processID = *pid;
            application.applicationName = processName(*pid);
            // WM_CLASS is "instance\0class\0": the class names the application.
            if (auto wmClass = connection.property(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
                const std::string both(wmClass->begin(), wmClass->end());
                const std::size_t split = both.find('\0');
                application.bundleIdentifier
                    = split == std::string::npos ? both : text({ wmClass->begin() + long(split) + 1, wmClass->end() });
            }
            if (application.processID == ownPid)
                application.bundleIdentifier = kOwnApplicationIdentifier;
            window.owningApplication = application;
        }
        windows.push_back(std::move(window));
    }
    return windows;
}

} // namespace

Result<std::shared_ptr<X11Backend>, CaptureError> X11Backend::create()
{
    using Created = Result<std::shared_ptr<X11Backend>, CaptureError>;
    if (Result<std::unique_ptr<Connection>, std::string> opened = Connection::open(nullptr); !opened)
        return Created::failure({ CaptureError::NoDisplay, std::move(opened.error) });
    return Created::success(std::make_shared<X11Backend>());
}

ShareableContentResult X11Backend::shareableContent(bool, bool onScreenWindowsOnly)
{
    Result<std::unique_ptr<Connection>, std::string> opened = Connection::open(nullptr);
    if (!opened)
        return ShareableContentResult::failure({ CaptureError::NoDisplay, std::move(opened.error) });
    const std::unique_ptr<Connection> connection = std::move(*opened.value);
    ShareableContent content;
    content.displays = listDisplays(*connection);
    content.windows = listWindows(*connection, onScreenWindowsOnly);
    for (const Window& window : content.windows)
        if (window.owningApplication
            && std::find(content.applications.begin(), content.applications.end(), *window.owningApplication)
                == content.applications.end())
            content.applications.push_back(*window.owningApplication);
    if (connection->hasError())
        return ShareableContentResult::failure(
            { CaptureError::ConnectionLost, "The connection to the X server was lost while listing its windows." });
    return ShareableContentResult::success(std::move(content));
}

SourceResult X11Backend::createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    return x11::VideoSource::create(filter, configuration);
}

SourceResult X11Backend::createAudioSource(const StreamConfiguration& configuration)
{
    return pulse::PulseAudioSource::create(configuration);
}

} // namespace corvex::screencapture
