#include "platform/handover/local_handover.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvex::handover {

namespace {

constexpr qsizetype kMaxReason = 400;
constexpr const char* kAnswered = "corvexAnswered";

bool fitsSocketAddress(const QString& path)
{
    return QFile::encodeName(path).size() < qsizetype(sizeof(sockaddr_un::sun_path));
}

// An owner-only folder of our own, for when the runtime folder is missing or
// its path too long for a socket address. A folder of that name that someone
// else made, or that others may enter, is not used.
Result<QString> privateFallbackFolder()
{
    const QString folder = QStringLiteral("/tmp/corvex-%1").arg(::getuid());
    const QByteArray encoded = QFile::encodeName(folder);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
        return Result<QString>::failure(
            QStringLiteral("cannot make %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
    struct stat info { };
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()
        || (info.st_mode & 077) != 0)
        return Result<QString>::failure(QStringLiteral("%1 is not a folder that only you can use").arg(folder));
    return Result<QString>::success(folder);
}

// A message is one line of text: no control bytes, valid UTF-8.
QString problemWith(const QByteArray& message)
{
    if (message.isEmpty())
        return QStringLiteral("the message is empty");
    if (message.size() > kMaxMessage)
        return QStringLiteral("the message is longer than %1 bytes").arg(kMaxMessage);
    if (std::any_of(message.begin(), message.end(), [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; }))
        return QStringLiteral("the message holds control characters");
    if (QString::fromUtf8(message).toUtf8() != message)
        return QStringLiteral("the message is not UTF-8 text");
    return {};
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 1, std::numeric_limits<int>::max()));
}

} // namespace

Result<QString> socketPath(const QString& name)
{
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$"));
    if (!plainName.match(name).hasMatch())
        return Result<QString>::failure(QStringLiteral("'%1' is not a plain socket name").arg(name));
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty()) {
        const QString path = runtime + QLatin1Char('/') + name;
        if (fitsSocketAddress(path))
            return Result<QString>::success(path);
    }
    Result<QString> folder = privateFallbackFolder();
    if (!folder)
        return folder;
    return Result<QString>::success(*folder.value + QLatin1Char('/') + name);
}

Delivery send(const QString& name, const QByteArray& message, std::chrono::milliseconds timeout, Wait wait)
{
    if (const QString problem = problemWith(message); !problem.isEmpty())
        return { Failure::InvalidMessage, problem };
    const Result<QString> found = socketPath(name);
    if (!found)
        return { Failure::NobodyListening, found.error };
    const QString& path = *found.value;

    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(remainingMs(deadline)))
            break;
        const QLocalSocket::LocalSocketError error = socket.error();
        socket.abort();
        const bool nobody = error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError;
        if (wait == Wait::ForListener && nobody && !deadline.hasExpired()) {
            // The listener may still be starting: look again shortly.
            QThread::msleep(std::min<qint64>(50, deadline.remainingTime()));
            continue;
        }
        if (nobody)
            return { Failure::NobodyListening, QStringLiteral("nobody is listening") };
        if (error == QLocalSocket::SocketAccessError)
            return { Failure::NobodyListening, QStringLiteral("%1 belongs to another user").arg(path) };
        return { Failure::NoAnswer, QStringLiteral("cannot connect to %1").arg(path) };
    }
    socket.write(message + '\n');
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline)))
            return { Failure::NoAnswer, QStringLiteral("the listener did not take the message") };
    }
    while (!socket.canReadLine()) {
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return { Failure::NoAnswer, QStringLiteral("the listener hung up without an answer") };
        if (deadline.hasExpired() || !socket.waitForReadyRead(remainingMs(deadline))) {
            if (socket.canReadLine())
                break;
            return { Failure::NoAnswer,
                deadline.hasExpired() ? QStringLiteral("no answer in time")
                                      : QStringLiteral("the listener hung up without an answer") };
        }
    }
    const QByteArray answer = socket.readLine(kMaxReason).trimmed();
    if (answer == "ok")
        return {};
    if (answer.startsWith("refused")) {
        QString reason = QString::fromUtf8(answer.mid(7)).trimmed();
        return { Failure::Refused, reason.isEmpty() ? QStringLiteral("refused") : reason };
    }
    return { Failure::NoAnswer, QStringLiteral("the listener gave an answer we do not understand") };
}

Listener::Listener(QString name, QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
{
}

Listener::~Listener()
{
    close();
}

bool Listener::isListening() const
{
    return m_server && m_server->isListening();
}

Listener::Result Listener::listen()
{
    if (isListening())
        return Result::Listening;
    m_error.clear();
    corvex::Result<QString> found = socketPath(m_name);
    m_path = found.value.value_or(QString());
    if (!found) {
        m_error = std::move(found.error);
        return Result::CannotListen;
    }

    m_lock = std::make_unique<QLockFile>(m_path + QStringLiteral(".lock"));
    // A lock whose process is gone is taken over however young it is.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        const QLockFile::LockError lockError = m_lock->error();
        m_lock.reset();
        if (lockError == QLockFile::LockFailedError)
            return Result::Busy;
        m_error = QStringLiteral("cannot lock %1.lock (%2)")
                      .arg(m_path,
                          lockError == QLockFile::PermissionError ? QStringLiteral("permission denied")
                                                                  : QStringLiteral("unknown error"));
        return Result::CannotListen;
    }
    // We hold the lock, so a socket here is either left behind by a program
    // that ended abruptly or served by one that does not lock: ask it.
    if (QFileInfo::exists(m_path)) {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (probe.waitForConnected(500)) {
            probe.abort();
            m_lock.reset();
            return Result::Busy;
        }
        QLocalServer::removeServer(m_path);
    }
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(m_path, m_server->errorString());
        m_server.reset();
        m_lock.reset();
        return Result::CannotListen;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &Listener::accept);
    return Result::Listening;
}

void Listener::close()
{
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        // Deleted later: we may be inside one of its signals.
        m_server.release()->deleteLater();
    }
    m_lock.reset();
}

void Listener::accept()
{
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        // A sender that connects and says nothing does not hold on to us.
        QTimer::singleShot(m_readTimeout, socket, [socket] {
            if (!socket->property(kAnswered).toBool())
                socket->abort();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void Listener::readFrom(QLocalSocket* socket)
{
    if (socket->property(kAnswered).toBool())
        return;
    const auto answer = [socket](const QByteArray& text) {
        socket->setProperty(kAnswered, true);
        socket->write(text + '\n');
        socket->flush();
        socket->disconnectFromServer();
    };
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessage)
            answer("refused the message is too long");
        return;
    }
    QByteArray line = socket->readLine(kMaxMessage + 2);
    if (!line.endsWith('\n')) {
        answer("refused the message is too long");
        return;
    }
    line.chop(1);
    if (const QString problem = problemWith(line); !problem.isEmpty()) {
        answer("refused " + problem.toUtf8());
        return;
    }
    if (m_judge) {
        if (const QString reason = m_judge(line); !reason.isEmpty()) {
            answer("refused " + reason.simplified().toUtf8());
            return;
        }
    }
    answer("ok");
    Q_EMIT messageReceived(line);
}

} // namespace corvex::handover
