#pragma once

#include "platform/handover/local_handover.h"
#include "platform/result.h"

#include <QObject>
#include <QString>

#include <optional>

namespace corvex::app {

/// What a later launch asks of the running studio, as one hand-over line.
///
/// The line is "activate", or "signin-failed <why>" (what launches have always
/// sent), or, when the launch brings more than that, "activate" followed by
/// space-separated `key=value` fields whose values are percent-encoded:
/// `xdg-activation-token`, `desktop-startup-id` and `signin-failed`. The plain
/// forms stay what is sent when there is nothing more to say, so studios of
/// either age understand each other for everything they both know.
struct LaunchRequest {
    /// Set when the browser's sign-in answer could not be handed over: why.
    std::optional<QString> signInProblem;
    /// The Wayland launcher's permission to take the focus (XDG_ACTIVATION_TOKEN).
    QByteArray activationToken;
    /// The X11 launcher's startup notification (DESKTOP_STARTUP_ID).
    QByteArray startupId;

    /// The launch tokens this process was started with.
    static LaunchRequest fromEnvironment();

    QByteArray encode() const;
    /// Empty when `message` is not a request of this kind. Tokens that are not
    /// plain printable text are dropped: the compositor would refuse them, and
    /// they have no business in our environment.
    static std::optional<LaunchRequest> decode(const QByteArray& message);

    friend bool operator==(const LaunchRequest&, const LaunchRequest&) = default;
};

/// Keeps the studio to one process per user: the first launch listens on a
/// user-only local socket; a later launch finds it taken and passes its
/// request to the first ("activate": bring your window to the front) instead
/// of opening windows of its own.
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    enum class Role { Primary, Secondary };

    /// The socket named `name` in the user's runtime folder.
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);

    /// Starts listening, or finds another instance.
    /// A primary that cannot listen still runs (it only cannot be raised).
    Role claim();
    QString socketPath() const { return m_listener.path(); }
    QString listenError() const { return m_listenError; }

    /// For the second launch: sends one message line to the running instance.
    /// The running one refuses what it does not understand as a `LaunchRequest`.
    /// Blocks for at most `timeoutMs`; use it only in a process that does nothing else.
    Result<void> send(const QByteArray& message, int timeoutMs = 3000) const;

Q_SIGNALS:
    void messageReceived(const QByteArray& message);

private:
    QString m_name;
    handover::Listener m_listener;
    QString m_listenError;
};

} // namespace corvex::app
