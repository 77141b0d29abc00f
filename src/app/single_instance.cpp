#include "app/single_instance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace corvex::app {

namespace {

constexpr qint64 kMaxMessage = 4096;

QString runtimeFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return folder;
}

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_socketPath(runtimeFolder() + QLatin1Char('/') + name)
    , m_lock(runtimeFolder() + QLatin1Char('/') + name + QStringLiteral(".lock"))
{
    m_lock.setStaleLockTime(0); // a lock of a process that is gone is taken over
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

SingleInstance::Role SingleInstance::claim()
{
    if (!m_lock.tryLock(0))
        return Role::Secondary;
    // We hold the lock, so a socket file left here belongs to an instance that ended abruptly.
    QLocalServer::removeServer(m_socketPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        m_listenError = m_server->errorString();
        m_server.reset();
        return Role::Primary;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
    return Role::Primary;
}

void SingleInstance::accept()
{
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto read = [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxMessage)
                    socket->abort();
                return;
            }
            const QByteArray message = socket->readLine(kMaxMessage).trimmed();
            socket->write("ok\n");
            socket->flush();
            socket->disconnectFromServer();
            Q_EMIT messageReceived(message);
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        if (socket->bytesAvailable() > 0)
            read();
    }
}

bool SingleInstance::send(const QByteArray& message, QString& error, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The first instance may still be starting: try until the deadline.
    for (;;) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired()) {
            error
                = QStringLiteral("Corvex Studio is already running but does not answer (%1)").arg(socket.errorString());
            return false;
        }
        QThread::msleep(100);
    }
    socket.write(message + '\n');
    if (!socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
        error = QStringLiteral("Corvex Studio did not take the request: %1").arg(socket.errorString());
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            error = QStringLiteral("Corvex Studio did not answer");
            return false;
        }
    }
    return socket.readLine().trimmed() == "ok";
}

} // namespace corvex::app
