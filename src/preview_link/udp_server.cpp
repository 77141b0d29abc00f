#include "preview_link/udp_server.h"

#include "platform/dnssd/publisher.h"
#include "platform/net/udp_listener.h"
#include "preview_link/preview_link_log.h"

#include <QStringList>

namespace corvex::preview_link {

UDPServer::UDPServer(const QString& serviceType, const QString& serviceName, QObject* parent)
    : QObject(parent)
    , m_serviceType(serviceType)
    , m_serviceName(serviceName)
{
}

UDPServer::~UDPServer() = default;

std::optional<net::SocketError> UDPServer::start(std::uint16_t port)
{
    stop();
    m_listener = new net::UdpListener(this);
    if (const std::optional<net::SocketError> error = m_listener->listen(port)) {
        delete m_listener;
        m_listener = nullptr;
        return error;
    }
    connect(m_listener, &net::UdpListener::datagramReceived, this, [this](const QByteArray& datagram) {
        if (dataHandler)
            dataHandler(datagram);
    });
    m_port = m_listener->port();
    Q_EMIT portChanged();

    m_service = new dnssd::Publisher(this);
    connect(m_service, &dnssd::Publisher::published, this, &UDPServer::serviceDidPublish);
    connect(m_service, &dnssd::Publisher::failed, this, &UDPServer::serviceDidNotPublish);
    m_service->publish(m_serviceName, m_serviceType, *m_port, QStringLiteral("local."));
    return std::nullopt;
}

void UDPServer::stop()
{
    delete m_service;
    m_service = nullptr;
    delete m_listener;
    m_listener = nullptr;
    if (m_port) {
        m_port.reset();
        Q_EMIT portChanged();
    }
}

void UDPServer::serviceDidPublish(const QString& name, const QString& type)
{
    qCInfo(lcPreviewLink, "✅ Bonjour service published: %s (%s)", qPrintable(name), qPrintable(type));
    Q_EMIT published();
}

void UDPServer::serviceDidNotPublish(const QMap<QString, QString>& errorDict)
{
    QStringList entries;
    for (auto it = errorDict.constBegin(); it != errorDict.constEnd(); ++it)
        entries.append(QStringLiteral("%1: %2").arg(it.key(), it.value()));
    const QString text = QStringLiteral("{%1}").arg(entries.join(QStringLiteral(", ")));
    qCCritical(lcPreviewLink, "❌ Failed to publish Bonjour service: %s", qPrintable(text));
    Q_EMIT publishFailed(errorDict.value(QStringLiteral("message"), text));
}

} // namespace corvex::preview_link
