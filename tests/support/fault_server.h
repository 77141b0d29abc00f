#pragma once

// A tiny HTTP/1.1 server on loopback for what a real service never does:
// odd statuses, bodies that do not decode, dropped connections, silence.
// Header-only so every test program can include it.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <utility>

namespace corvex::testing {

class FaultServer final : public QObject {
public:
    enum class Action { Respond, Drop, Silent, Hold }; // Hold: answered on releaseHeld()

    struct Answer {
        int status = 200;
        QByteArray body;
        Action action = Action::Respond;
        QByteArray contentType = QByteArrayLiteral("application/json");
        QList<QPair<QByteArray, QByteArray>> headers = {}; // more header lines, e.g. Location
    };

    struct Received {
        QByteArray method;
        QByteArray target; // path and query as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    FaultServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

    /// The answer for "METHOD /path" (the path without its query).
    void setAnswer(const QByteArray& method, const QByteArray& path, Answer answer)
    {
        m_answers.insert(method + ' ' + path, std::move(answer));
    }

    const QList<Received>& received() const { return m_received; }
    /// How many requests with `method` were received, to `target` (path and query) when one is given.
    int count(const QByteArray& method, const QByteArray& target = {}) const
    {
        return static_cast<int>(std::count_if(m_received.begin(), m_received.end(), [&](const Received& request) {
            return request.method == method && (target.isEmpty() || request.target == target);
        }));
    }
    void clearReceived() { m_received.clear(); }

    /// The next `count` requests for "METHOD /path" are held whatever their answer says.
    void holdNext(const QByteArray& method, const QByteArray& path, int count) { m_holds[method + ' ' + path] = count; }
    int held() const { return static_cast<int>(m_held.size()); }
    /// Answers the held requests as their paths are answered now (a late answer).
    void releaseHeld()
    {
        for (const auto& [socket, key] : std::exchange(m_held, {}))
            if (socket)
                respond(socket, m_answers.value(key, Answer { 404, "{}" }));
    }

private:
    void read(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        Received request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        m_buffers.remove(socket);
        m_received.append(request);

        const QByteArray path = request.target.left(
            request.target.indexOf('?') >= 0 ? request.target.indexOf('?') : request.target.size());
        const QByteArray key = request.method + ' ' + path;
        Answer answer = m_answers.value(key, Answer { 404, "{}" });
        if (m_holds.value(key) > 0) {
            --m_holds[key];
            answer.action = Action::Hold;
        }
        switch (answer.action) {
        case Action::Drop:
            socket->abort();
            socket->deleteLater();
            return;
        case Action::Silent:
            return;
        case Action::Hold:
            m_held.append({ socket, key });
            return;
        case Action::Respond:
            break;
        }
        respond(socket, answer);
    }

    static void respond(QTcpSocket* socket, const Answer& answer)
    {
        const bool bodyless = answer.status == 204 || answer.status == 304;
        const QByteArray body = bodyless ? QByteArray() : answer.body;
        QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) + " Status\r\n";
        response += "Content-Type: " + answer.contentType + "\r\n";
        response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        for (const auto& [name, value] : answer.headers)
            response += name + ": " + value + "\r\n";
        response += "Connection: close\r\n\r\n" + body;
        socket->write(response);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QByteArray, Answer> m_answers;
    QHash<QByteArray, int> m_holds;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<Received> m_received;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> m_held;
};

} // namespace corvex::testing
