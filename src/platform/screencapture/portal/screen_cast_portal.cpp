#include "platform/screencapture/portal/screen_cast_portal.h"

#include "platform/screencapture/portal/portal_connection.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>

namespace corvex::screencapture::portal {

namespace {

const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");

CaptureError noPortal(const std::string& detail)
{
    return { CaptureError::NoDisplay,
        "This Wayland desktop offers no screen-cast portal (org.freedesktop.portal.ScreenCast), so the screen "
        "cannot be recorded"
            + (detail.empty() ? std::string() : " (" + detail + ")")
            + ". Install your desktop's xdg-desktop-portal backend (xdg-desktop-portal-gnome, -kde or -wlr) and "
              "log in again, or log in to an X11 session." };
}

/// What the author reads when a step of sharing the screen came to nothing.
CaptureError explain(const RequestError& error, const char* step)
{
    switch (error.kind) {
    case RequestError::Refused:
        return { CaptureError::NoDisplay,
            "The desktop's screen-cast portal refused to " + std::string(step) + " (" + error.detail
                + "). Restart screen capture; if it fails again, log out and in again to restart the desktop's "
                  "portal." };
    case RequestError::CancelledByUser:
        return { CaptureError::ContentUnavailable,
            "Screen sharing was cancelled in the desktop's dialog, so nothing is captured. Restart screen capture "
            "and choose a screen to share." };
    case RequestError::Failed:
        return { CaptureError::NoDisplay,
            "The desktop's screen-cast portal could not " + std::string(step)
                + (error.detail.empty() ? std::string() : " (" + error.detail + ")")
                + (error.code <= 2 ? std::string()
                                   : " (it answered with the unknown code " + std::to_string(error.code) + ")")
                + ". Check that screen sharing is allowed, then restart screen capture." };
    case RequestError::Cancelled:
        return { CaptureError::Internal, "cancelled" };
    case RequestError::SessionClosed:
        return { CaptureError::ContentUnavailable,
            "The desktop ended screen sharing (the shared window was closed, or sharing was stopped), so screen "
            "capture stopped. Restart screen capture to share again." };
    case RequestError::PortalGone:
        break;
    }
    return { CaptureError::ConnectionLost,
        "The desktop's screen-cast portal stopped running, so screen capture stopped. Restart screen capture; if "
        "it happens again, log out and in again to restart the desktop's portal." };
}

/// The streams of Start's answer: (node, {size, source_type, ...}) each.
std::vector<PortalStream> streamsOf(const QVariant& streams, std::uint32_t offered)
{
    std::vector<PortalStream> found;
    if (streams.userType() != qMetaTypeId<QDBusArgument>())
        return found;
    const QDBusArgument array = streams.value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        PortalStream stream;
        QVariantMap properties;
        array.beginStructure();
        array >> stream.nodeId >> properties;
        array.endStructure();
        const QVariant size = properties.value(QStringLiteral("size"));
        if (size.userType() == qMetaTypeId<QDBusArgument>()) {
            const QDBusArgument pair = size.value<QDBusArgument>();
            pair.beginStructure();
            pair >> stream.width >> stream.height;
            pair.endStructure();
        }
        stream.sourceType = unsignedValue(properties.value(QStringLiteral("source_type"))).value_or(0);
        // Some backends name a type they do not offer (a monitor called a window):
        // with one type on offer, that is what was chosen.
        if ((stream.sourceType & offered) == 0 && (offered == kSourceMonitor || offered == kSourceWindow))
            stream.sourceType = offered;
        found.push_back(stream);
    }
    array.endArray();
    return found;
}

} // namespace

ScreenCastPortal::ScreenCastPortal(std::unique_ptr<PortalConnection> connection)
    : m_connection(std::move(connection))
{
}

ScreenCastPortal::~ScreenCastPortal() = default;

Result<std::unique_ptr<ScreenCastPortal>, CaptureError> ScreenCastPortal::connect(const PortalAddress& address)
{
    using Connected = Result<std::unique_ptr<ScreenCastPortal>, CaptureError>;
    auto connected = PortalConnection::connect(address);
    if (!connected)
        return Connected::failure(noPortal("there is no session bus: " + connected.error));
    return Connected::success(std::unique_ptr<ScreenCastPortal>(new ScreenCastPortal(std::move(*connected.value))));
}

Result<PortalInfo, CaptureError> ScreenCastPortal::probe()
{
    using Probed = Result<PortalInfo, CaptureError>;
    PortalConnection& portal = *m_connection;
    const std::string& service = portal.address().service;
    if (!portal.isRegistered())
        return Probed::failure(noPortal("nothing answers as " + service));
    PortalInfo info;
    const std::optional<std::uint32_t> version = portal.unsignedProperty(kScreenCast, "version");
    if (!version)
        return Probed::failure(noPortal(service + " has no ScreenCast interface"));
    info.version = *version;
    if (info.version < kMinimumPortalVersion) {
        return Probed::failure({ CaptureError::NoDisplay,
            "The desktop's screen-cast portal is too old (version " + std::to_string(info.version)
                + "; Corvex Studio needs version " + std::to_string(kMinimumPortalVersion)
                + " or later), so the screen cannot be recorded. Update xdg-desktop-portal and your desktop's "
                  "portal backend, or log in to an X11 session." });
    }
    info.sourceTypes = portal.unsignedProperty(kScreenCast, "AvailableSourceTypes").value_or(kSourceMonitor);
    info.cursorModes = portal.unsignedProperty(kScreenCast, "AvailableCursorModes").value_or(0);
    if ((info.sourceTypes & (kSourceMonitor | kSourceWindow)) == 0) {
        return Probed::failure({ CaptureError::NoDisplay,
            "The desktop's screen-cast portal offers neither monitors nor windows to share, so the screen cannot "
            "be recorded. Install your desktop's xdg-desktop-portal backend, or log in to an X11 session." });
    }
    return Probed::success(std::move(info));
}

Result<PortalCast, CaptureError> ScreenCastPortal::start(const PortalInfo& info, const std::string& restoreToken)
{
    using Started = Result<PortalCast, CaptureError>;
    PortalConnection& portal = *m_connection;
    Result<QString, RequestError> session = portal.createSession(kScreenCast);
    if (!session)
        return Started::failure(explain(session.error, "open a screen-cast session"));
    const QVariant sessionPath = QVariant::fromValue(QDBusObjectPath(*session.value));

    const std::uint32_t offered = info.sourceTypes & (kSourceMonitor | kSourceWindow);
    QVariantMap selection;
    selection.insert(QStringLiteral("types"), uint(offered));
    selection.insert(QStringLiteral("multiple"), false);
    if (info.cursorModes & kCursorHidden)
        selection.insert(QStringLiteral("cursor_mode"), uint(kCursorHidden));
    if (info.version >= kRestoreTokenPortalVersion) {
        // Remembered until the author revokes it, so the dialog comes once and not at every recording.
        selection.insert(QStringLiteral("persist_mode"), uint(2));
        if (!restoreToken.empty())
            selection.insert(QStringLiteral("restore_token"), QString::fromStdString(restoreToken));
    }
    if (auto selected = portal.request(kScreenCast, QStringLiteral("SelectSources"), { sessionPath }, selection);
        !selected)
        return Started::failure(explain(selected.error, "offer the screen's sources"));
    Result<PortalResults, RequestError> started
        = portal.request(kScreenCast, QStringLiteral("Start"), { sessionPath, QString() }, {});
    if (!started)
        return Started::failure(explain(started.error, "start screen sharing"));

    PortalCast cast;
    cast.restoreToken = started.value->value(QStringLiteral("restore_token")).toString().toStdString();
    cast.streams = streamsOf(started.value->value(QStringLiteral("streams")), offered);
    if (cast.streams.empty()) {
        return Started::failure({ CaptureError::ContentUnavailable,
            "The desktop's screen-cast portal started sharing but handed over no screen, so nothing is captured. "
            "Restart screen capture and choose a screen to share." });
    }

    const QDBusMessage reply
        = portal.call(kScreenCast, QStringLiteral("OpenPipeWireRemote"), { sessionPath, QVariantMap() });
    QDBusUnixFileDescriptor fd;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        fd = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
    if (!fd.isValid()) {
        return Started::failure({ CaptureError::ConnectionLost,
            "The desktop's screen-cast portal did not hand over the screen's video stream ("
                + reply.errorMessage().toStdString()
                + "). Check that PipeWire is running, then restart screen capture." });
    }
    cast.pipeWireFd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
    if (cast.pipeWireFd < 0)
        return Started::failure({ CaptureError::Internal, "No file descriptor was left for the screen's video stream." });
    return Started::success(std::move(cast));
}

void ScreenCastPortal::setClosedHandler(std::function<void(CaptureError)> handler)
{
    m_connection->setClosedHandler(
        [handler = std::move(handler)](RequestError::Kind kind) { handler(explain({ kind, {}, 0 }, "")); });
}

void ScreenCastPortal::cancel()
{
    m_connection->cancel();
}

void ScreenCastPortal::close()
{
    m_connection->closeSession();
}

} // namespace corvex::screencapture::portal
