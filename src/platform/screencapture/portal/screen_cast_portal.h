#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/portal/portal_address.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvex::screencapture::portal {

/// What the portal says about itself.
struct PortalInfo {
    std::uint32_t version = 0;
    std::uint32_t sourceTypes = 0; // bit 1 monitor, 2 window, 4 virtual
    std::uint32_t cursorModes = 0; // bit 1 hidden, 2 embedded, 4 metadata
};

inline constexpr std::uint32_t kSourceMonitor = 1;
inline constexpr std::uint32_t kSourceWindow = 2;
inline constexpr std::uint32_t kCursorHidden = 1;
/// Cursor modes came with version 2; restore tokens with version 4.
inline constexpr std::uint32_t kMinimumPortalVersion = 2;
inline constexpr std::uint32_t kRestoreTokenPortalVersion = 4;

/// One stream the portal started: a PipeWire node showing what the user chose.
struct PortalStream {
    std::uint32_t nodeId = 0;
    int width = 0; // 0 when the portal did not say
    int height = 0;
    std::uint32_t sourceType = 0;
};

/// A started screen cast: its streams, the token that restores the same choice
/// next time (empty when the portal gave none), and the PipeWire connection.
struct PortalCast {
    std::vector<PortalStream> streams;
    std::string restoreToken;
    int pipeWireFd = -1; // owned by the caller
};

class PortalConnection;

/// The calls of org.freedesktop.portal.ScreenCast, on a portal connection of
/// its own (see PortalConnection, whose calls block as these do), and what
/// the author reads when one fails.
class ScreenCastPortal final {
public:
    /// Connects to the bus; null with the reason when there is no session bus.
    static Result<std::unique_ptr<ScreenCastPortal>, CaptureError> connect(const PortalAddress& address);
    ~ScreenCastPortal();
    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

    /// The portal's version and what it offers; none with a message for the user
    /// when there is no screen-cast portal or it is too old.
    Result<PortalInfo, CaptureError> probe();

    /// CreateSession, SelectSources (monitors, and windows where offered; no
    /// cursor; remembered with persist_mode 2 and restored from `restoreToken`
    /// where the portal can), Start and OpenPipeWireRemote.
    Result<PortalCast, CaptureError> start(const PortalInfo& info, const std::string& restoreToken);

    /// Told once, on the portal's thread, when the session ends on the portal's
    /// side or the portal leaves the bus.
    void setClosedHandler(std::function<void(CaptureError)> handler);

    /// Makes a waiting call return (with the error "cancelled") and every later one fail at once.
    void cancel();
    /// Closes the session, if there is one.
    void close();

private:
    explicit ScreenCastPortal(std::unique_ptr<PortalConnection> connection);

    std::unique_ptr<PortalConnection> m_connection;
};

} // namespace corvex::screencapture::portal
