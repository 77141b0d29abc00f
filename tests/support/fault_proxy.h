#pragma once

// An HTTP/1.1 relay on loopback in front of a real server, for the fault a
// real network makes: the server did the work, but its answer never reaches
// the client because the connection drops after the request went out.
// Header-only so every test program can include it.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <memory>
#include <optional>

namespace corvex::testing {

class FaultProxy final : public QObject {
public:
    struct Forwarded {
        QByteArray requestLine;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        bool answerDropped = false;
    };

    /// Relays to the server at `upstream` (http://127.0.0.1:port).
    explicit FaultProxy(const QString& upstream)
        : m_upstream(QUrl(upstream))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
            }
        });
    }

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

    /// The next `count` requests of `method` reach the server, but their
    /// connections are dropped instead of answered.
    void dropAnswers(int count, const QByteArray& method = QByteArrayLiteral("POST"))
    {
        m_dropsLeft = count;
        m_dropMethod = method + ' ';
    }

    const QList<Forwarded>& forwarded() const { return m_forwarded; }

private:
    struct Message {
        QByteArray head; // through the blank line
        QHash<QByteArray, QByteArray> headers;
        qsizetype length = 0; // head and body
    };

    // A whole message at the start of `buffer`, or none yet.
    static std::optional<Message> parse(const QByteArray& buffer)
    {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return std::nullopt;
        Message message;
        message.head = buffer.left(headerEnd + 4);
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                message.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        message.length = headerEnd + 4 + message.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < message.length)
            return std::nullopt;
        return message;
    }

    void readRequest(QTcpSocket* client)
    {
        QByteArray& buffer = m_requests[client];
        buffer += client->readAll();
        if (m_busy.contains(client))
            return; // one request at a time per connection, as HTTP/1.1 has it
        const std::optional<Message> request = parse(buffer);
        if (!request)
            return;
        const QByteArray bytes = buffer.left(request->length);
        buffer.remove(0, request->length);
        Forwarded seen;
        seen.requestLine = request->head.left(request->head.indexOf("\r\n"));
        seen.headers = request->headers;
        seen.body = bytes.mid(request->head.size());
        seen.answerDropped = m_dropsLeft > 0 && seen.requestLine.startsWith(m_dropMethod);
        if (seen.answerDropped)
            --m_dropsLeft;
        m_forwarded.append(seen);
        m_busy.insert(client);

        auto* upstream = new QTcpSocket(this);
        auto answer = std::make_shared<QByteArray>();
        QPointer<QTcpSocket> target(client);
        const bool drop = seen.answerDropped;
        QObject::connect(upstream, &QTcpSocket::connected, upstream, [upstream, bytes] { upstream->write(bytes); });
        QObject::connect(upstream, &QTcpSocket::readyRead, this, [this, upstream, answer, target, drop] {
            *answer += upstream->readAll();
            const std::optional<Message> response = parse(*answer);
            if (!response)
                return;
            upstream->disconnect(this);
            upstream->abort();
            upstream->deleteLater();
            if (!target)
                return;
            m_busy.remove(target.data());
            if (drop) {
                // The server stored it; the client only sees the connection go.
                m_requests.remove(target.data());
                target->abort();
                target->deleteLater();
                return;
            }
            target->write(answer->left(response->length));
            if (m_requests.value(target.data()).size() > 0)
                readRequest(target.data());
        });
        upstream->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_upstream.port()));
    }

    QUrl m_upstream;
    QTcpServer m_server;
    int m_dropsLeft = 0;
    QByteArray m_dropMethod;
    QHash<QTcpSocket*, QByteArray> m_requests;
    QSet<QTcpSocket*> m_busy;
    QList<Forwarded> m_forwarded;
};

} // namespace corvex::testing
