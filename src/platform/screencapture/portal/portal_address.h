#pragma once

#include <string>

namespace corvex::screencapture::portal {

/// Where the desktop's portal is and how to talk to it.
struct PortalAddress {
    /// The bus name of the desktop's portal.
    std::string service = "org.freedesktop.portal.Desktop";
    /// The session bus's address; empty means $DBUS_SESSION_BUS_ADDRESS.
    std::string busAddress;
};

} // namespace corvex::screencapture::portal
