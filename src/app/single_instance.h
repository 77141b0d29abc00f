#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

namespace corvex::app {

/// Keeps the studio to one process per user: the first launch holds a lock
/// and listens on a user-only local socket; a later launch finds the lock
/// taken and passes its request to the first ("activate": bring your window
/// to the front) instead of opening windows of its own.
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    enum class Role { Primary, Secondary };

    /// The lock and socket named `name` in the user's runtime folder.
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    /// Takes the lock and starts listening, or finds another instance.
    /// A primary that cannot listen still runs (it only cannot be raised).
    Role claim();
    QString socketPath() const { return m_socketPath; }
    QString listenError() const { return m_listenError; }

    /// For the second launch: sends one message line to the running instance.
    /// Blocks for at most `timeoutMs`; use it only in a process that does nothing else.
    bool send(const QByteArray& message, QString& error, int timeoutMs = 3000) const;

Q_SIGNALS:
    void messageReceived(const QByteArray& message);

private:
    void accept();

    QString m_socketPath;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
    QString m_listenError;
};

} // namespace corvex::app
