#pragma once

// What every stand-in for an interface of the desktop's portal shares: the
// object paths the portal gives a caller's requests and sessions, and a
// request's answer, sent after the method's reply as a portal's dialog answers.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMetaObject>
#include <QObject>
#include <QVariantMap>

namespace corvex::testing {

inline const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

/// The path the portal gives the `kind` ("request", "session") of `call`'s sender named `token`.
inline QString portalPath(const QString& kind, const QDBusMessage& call, const QVariant& token)
{
    const QString sender = call.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPortalPath + QStringLiteral("/%1/%2/%3").arg(kind, sender, token.toString());
}

/// Answers the request `call` made (named by its options' handle token) with
/// `code` and `results` on the bus connection `busName`, once the method has
/// replied; gives the request's path, the method's reply.
inline QDBusObjectPath respondLater(QObject* context, const QString& busName, const QDBusMessage& call,
    const QVariantMap& options, uint code, const QVariantMap& results)
{
    const QString request = portalPath(QStringLiteral("request"), call, options.value(QStringLiteral("handle_token")));
    QDBusMessage response = QDBusMessage::createSignal(
        request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
    response << code << results;
    QMetaObject::invokeMethod(
        context, [busName, response] { QDBusConnection(busName).send(response); }, Qt::QueuedConnection);
    return QDBusObjectPath(request);
}

} // namespace corvex::testing
