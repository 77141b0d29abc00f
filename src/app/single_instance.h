#pragma once

#include "platform/handover/local_handover.h"
#include "platform/result.h"

#include <QObject>
#include <QString>

namespace corvex::app {

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
