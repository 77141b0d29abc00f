#pragma once

// Plain HTTP/1.1 over a socket on 127.0.0.1, byte for byte as written, so
// tests can send what no well-behaved client would; and on it the requests
// both service programs make of the reference service: accounts, uploads.

#include "../support/sign_in_form.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

namespace corvex::testing {

struct RawResponse {
    int status = 0; // 0: no answer before the connection ended
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

class RawConnection final {
public:
    /// Connects from `from` (any loopback address: 127.0.0.2 is a second client).
    explicit RawConnection(const QString& origin, const QHostAddress& from = {})
    {
        const QUrl url(origin);
        if (!from.isNull())
            m_socket.bind(from);
        m_socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(url.port()));
        m_socket.waitForConnected(10000);
    }

    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(10000);
    }

    /// The next answer, or status 0 when the connection ends (or nothing
    /// comes within `waitMs`) before a whole one arrived.
    RawResponse read(int waitMs = 20000)
    {
        RawResponse response;
        qsizetype headerEnd = -1;
        while ((headerEnd = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (!fill(waitMs))
                return response;
        }
        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        const int status = lines.value(0).split(' ').value(1).toInt();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                response.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = response.headers.value("content-length", "0").toLongLong();
        while (m_buffer.size() < headerEnd + 4 + length) {
            if (!fill(waitMs))
                return response;
        }
        response.body = m_buffer.mid(headerEnd + 4, length);
        m_buffer.remove(0, headerEnd + 4 + length);
        response.status = status;
        return response;
    }

    /// True when the peer closed the connection (within `waitMs`).
    bool closedByPeer(int waitMs = 20000)
    {
        while (m_socket.state() == QAbstractSocket::ConnectedState) {
            if (!m_socket.waitForReadyRead(waitMs))
                return m_socket.state() != QAbstractSocket::ConnectedState;
            m_buffer += m_socket.readAll();
        }
        return true;
    }

    QTcpSocket& socket() { return m_socket; }

private:
    bool fill(int waitMs)
    {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(waitMs))
            return false;
        m_buffer += m_socket.readAll();
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

/// One request on its own connection.
inline RawResponse exchange(const QString& origin, const QByteArray& request)
{
    RawConnection connection(origin);
    connection.send(request);
    return connection.read();
}

inline QByteArray post(const QByteArray& target, const QByteArray& body,
    const QByteArray& contentType = QByteArrayLiteral("application/x-www-form-urlencoded"),
    const QByteArray& extraHeaders = {})
{
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

inline QByteArray get(const QByteArray& target, const QByteArray& extraHeaders = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

/// A sign-in form as the service gave it out: its hidden fields and the
/// cookie that goes with them.
struct SignInPage {
    QByteArray fields;
    QByteArray cookie;
};

inline SignInPage fetchSignInPage(const QString& origin, const QHostAddress& from = {},
    const QByteArray& query = QByteArrayLiteral("redirectUri=corvexapp://callback"))
{
    RawConnection connection(origin, from);
    connection.send(get("/auth/signin?" + query));
    const RawResponse page = connection.read();
    return { service::hiddenFormFields(page.body), page.headers.value("set-cookie").split(';').first() };
}

/// The form of `page` submitted from it.
inline QByteArray signInRequest(const SignInPage& page, const QString& email, const QString& password,
    const QByteArray& action = QByteArrayLiteral("signin"), const QByteArray& extraHeaders = {})
{
    return post("/auth/signin",
        page.fields + "email=" + QUrl::toPercentEncoding(email) + "&password=" + QUrl::toPercentEncoding(password)
            + "&action=" + action,
        QByteArrayLiteral("application/x-www-form-urlencoded"), "Cookie: " + page.cookie + "\r\n" + extraHeaders);
}

/// The sign-in form as a browser at `from` submits it, from the page it got there.
inline RawResponse submitForm(const QString& origin, const QString& email, const QString& password,
    const QByteArray& action = QByteArrayLiteral("signin"), const QHostAddress& from = {},
    const QByteArray& extraHeaders = {})
{
    const SignInPage page = fetchSignInPage(origin, from);
    RawConnection connection(origin, from);
    connection.send(signInRequest(page, email, password, action, extraHeaders));
    return connection.read();
}

/// The token in the callback of a signed-in page, or empty.
inline QString tokenOf(const RawResponse& answer)
{
    return QUrlQuery(callbackOf(answer.headers.value("refresh")))
        .queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
}

/// A new account's token (empty when the address is taken).
inline QString createAccount(
    const QString& origin, const QString& email, const QString& password = QStringLiteral("long enough"))
{
    return tokenOf(submitForm(origin, email, password, QByteArrayLiteral("create")));
}

inline QByteArray bearer(const QString& token)
{
    return "Authorization: Bearer " + token.toLatin1() + "\r\n";
}

/// A request without a body, sent with `token`.
inline RawResponse withToken(
    const QString& origin, const QByteArray& method, const QByteArray& target, const QString& token)
{
    return exchange(origin,
        method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + bearer(token) + "Content-Length: 0\r\n\r\n");
}

/// An upload of `body` for `movie`, with an Idempotency-Key when one is given.
inline QByteArray upload(const QString& token, const QByteArray& body, qint64 movie = 550, const QByteArray& key = {})
{
    return post("/tvapi/lightshow/movie/" + QByteArray::number(movie), body,
        QByteArrayLiteral("application/octet-stream"),
        bearer(token) + (key.isEmpty() ? QByteArray() : "Idempotency-Key: " + key + "\r\n"));
}

/// The id of the show an upload's answer names.
inline QString showId(const RawResponse& answer)
{
    return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("id")).toString();
}

} // namespace corvex::testing
