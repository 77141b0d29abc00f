#pragma once

#include "platform/result.h"
#include "platform/screencapture/portal/portal_address.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QObject;

namespace corvex::screencapture::portal {

/// What a portal request answered (org.freedesktop.portal.Request.Response) with code 0.
using PortalResults = QVariantMap;

/// Why a portal request, or the session it belongs to, came to nothing.
struct RequestError {
    enum Kind {
        Refused, // the method call itself failed; `detail` is the D-Bus error
        CancelledByUser, // the user dismissed the desktop's dialog (response 1)
        Failed, // the portal answered that it failed (response 2, or an unknown `code`); `detail` its reason
        Cancelled, // `PortalConnection::cancel` was called
        SessionClosed, // the desktop ended the session
        PortalGone, // the portal left the bus
    };
    Kind kind = Failed;
    std::string detail;
    std::uint32_t code = 0;
};

/// The plumbing that every portal interface shares, on a bus connection of
/// its own (so that its sessions end with it): requests answered later by a
/// Response signal on a handle of our choosing, one session at a time and the
/// signal of its end, and the portal leaving the bus. Every call blocks the
/// calling thread (never the GUI thread) until the portal answers, the user
/// answers the desktop's dialog, or `cancel` is called from another thread.
class PortalConnection final {
public:
    /// Connects to the bus; the bus's reason when there is none.
    static Result<std::unique_ptr<PortalConnection>, std::string> connect(const PortalAddress& address);
    ~PortalConnection();
    PortalConnection(const PortalConnection&) = delete;
    PortalConnection& operator=(const PortalConnection&) = delete;

    const PortalAddress& address() const;
    /// Whether anything answers as the portal's bus name.
    bool isRegistered();
    /// A property of `interface` on the portal's object; none when it cannot be read as a number.
    std::optional<std::uint32_t> unsignedProperty(const QString& interface, const char* name);

    /// Calls `method` of `interface` with `arguments` and `options` (given a
    /// handle token of ours) and waits for the request's Response.
    Result<PortalResults, RequestError> request(
        const QString& interface, const QString& method, QList<QVariant> arguments, QVariantMap options);
    /// A method that answers at once, on the portal's object.
    QDBusMessage call(const QString& interface, const QString& method, const QList<QVariant>& arguments);
    /// Delivers the portal object's signal `name` of `interface` to `slot` of `receiver`, on the
    /// receiver's thread (which needs an event loop), for as long as this connection lives.
    bool connectSignal(const QString& interface, const QString& name, QObject* receiver, const char* slot);

    /// CreateSession of `interface`, then watches the new session for its end.
    Result<QString, RequestError> createSession(const QString& interface, QVariantMap options = {});
    /// The open session's path; empty when there is none.
    QString session() const;
    /// Closes the open session, if there is one; the next one's end will be told again.
    void closeSession();

    /// Told once, on the connection's thread, when the open session ends on the
    /// portal's side or the portal leaves the bus (`SessionClosed` or `PortalGone`).
    void setClosedHandler(std::function<void(RequestError::Kind)> handler);
    /// Makes a waiting request return `Cancelled`, and every later one at once.
    void cancel();

private:
    struct Impl;
    PortalConnection();
    std::unique_ptr<Impl> m_impl;
};

/// A D-Bus value as an unsigned number (unwrapping a variant); none when it is not one.
std::optional<std::uint32_t> unsignedValue(const QVariant& value);
/// An object path or a string as text.
QString textValue(const QVariant& value);

} // namespace corvex::screencapture::portal
