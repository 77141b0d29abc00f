#include "platform/webauth/session.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>

#include <QCoroLocalSocket>
#include <QCoroSignal>

namespace corvex::webauth {

namespace {

// At most one waiting session in the process; the socket guards the others.
bool g_sessionWaiting = false;

constexpr qsizetype kMaxLine = 64 * 1024;

} // namespace

bool Session::openInBrowser(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

Session::Session(Opener opener, QObject* parent)
    : QObject(parent)
    , m_opener(std::move(opener))
{
}

Session::~Session()
{
    // Ends a waiting authenticate() so that its coroutine does not wait forever.
    cancel();
}

QString Session::socketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return folder + QStringLiteral("/corvex-webauth");
}

QCoro::Task<Session::Outcome> Session::authenticate(QUrl signInUrl, QString callbackScheme)
{
    if (m_active || g_sessionWaiting)
        co_return Outcome { std::nullopt, Failure::Busy,
            QStringLiteral("a sign-in is already waiting for the browser; finish or cancel it first") };
    m_active = true;
    g_sessionWaiting = true;
    m_scheme = callbackScheme;
    m_outcome = {};
    QPointer<Session> self(this);

    const QString path = socketPath();
    // Qt replaces an existing socket file when it listens with access
    // options, so look first: either another Corvex program is waiting for a
    // sign-in, or an old socket was left behind by one that ended abruptly.
    if (QFileInfo::exists(path)) {
        QLocalSocket probe;
        probe.connectToServer(path);
        const bool live = co_await qCoro(probe).waitForConnected(std::chrono::milliseconds(1000));
        if (!self)
            co_return Outcome { std::nullopt, Failure::Cancelled, QStringLiteral("the sign-in was closed") };
        if (live) {
            probe.disconnectFromServer();
            finish({ std::nullopt, Failure::Busy,
                QStringLiteral("another Corvex program is already waiting for a sign-in; finish or cancel it there "
                               "first") });
            co_return m_outcome;
        }
        QLocalServer::removeServer(path);
    }
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        finish({ std::nullopt, Failure::CannotListen,
            QStringLiteral("cannot wait for the browser's answer on %1: %2").arg(path, m_server->errorString()) });
        co_return m_outcome;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &Session::accept);

    const bool opened = m_opener(signInUrl);
    if (!opened && !m_waitsWhenNotOpened) {
        finish({ std::nullopt, Failure::CannotOpen,
            QStringLiteral("no web browser could be opened; open %1 in a browser yourself")
                .arg(signInUrl.toString()) });
        co_return m_outcome;
    }
    if (!opened)
        Q_EMIT browserNotOpened();
    // Whoever heard that may have cancelled already.
    if (self && m_active)
        co_await qCoro(this, &Session::completed);
    if (!self)
        co_return Outcome { std::nullopt, Failure::Cancelled, QStringLiteral("the sign-in was closed") };
    co_return m_outcome;
}

void Session::cancel()
{
    if (m_active)
        finish({ std::nullopt, Failure::Cancelled, QStringLiteral("the sign-in was cancelled") });
}

void Session::accept()
{
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void Session::readFrom(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxLine)
            socket->abort();
        return;
    }
    const QUrl url = QUrl::fromEncoded(socket->readLine(kMaxLine).trimmed(), QUrl::StrictMode);
    if (!m_active || !url.isValid() || url.scheme().compare(m_scheme, Qt::CaseInsensitive) != 0) {
        socket->write("refused\n");
        socket->disconnectFromServer();
        return;
    }
    socket->write("ok\n");
    socket->flush();
    socket->disconnectFromServer();
    finish({ url, Failure::None, {} });
}

void Session::finish(Outcome outcome)
{
    m_outcome = std::move(outcome);
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        // Deleted later: we may be inside one of its signals.
        m_server.release()->deleteLater();
    }
    m_active = false;
    g_sessionWaiting = false;
    Q_EMIT completed();
}

bool Session::handOver(const QUrl& url, QString& error, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(timeoutMs)) {
        error = QStringLiteral("no Corvex program is waiting for a sign-in (%1); start the sign-in again")
                    .arg(socket.errorString());
        return false;
    }
    socket.write(url.toEncoded() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        error = QStringLiteral("the waiting sign-in did not take the address: %1").arg(socket.errorString());
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            error = QStringLiteral("the waiting sign-in did not answer");
            return false;
        }
    }
    if (socket.readLine().trimmed() != "ok") {
        error = QStringLiteral("the waiting sign-in refused %1: it is not a sign-in answer").arg(url.scheme());
        return false;
    }
    return true;
}

} // namespace corvex::webauth
