#include "preview_link/udp_manager.h"

#include <QCoreApplication>

namespace corvex::preview_link {

UDPManager& UDPManager::shared()
{
    // Owned by the application object, so that it goes (with its sockets and
    // its DNS-SD session) while the event loop's machinery still exists.
    static UDPManager* const instance = [] {
        Q_ASSERT_X(QCoreApplication::instance(), "UDPManager::shared", "needs a QCoreApplication");
        return new UDPManager(QCoreApplication::instance());
    }();
    return *instance;
}

UDPManager::UDPManager(QObject* parent)
    : QObject(parent)
    , m_udpClient(new UDPClient(QString::fromLatin1(kLightReceiverServiceType), this))
{
    m_udpClient->startDiscovery();
}

std::optional<DiscoveredService> UDPManager::selectedService() const
{
    std::lock_guard lock(m_mutex);
    return m_selectedService;
}

void UDPManager::sendToSelectedService(const QByteArray& message)
{
    if (const std::optional<DiscoveredService> receiver = selectedService())
        m_udpClient->send(message, *receiver);
}

void UDPManager::setSelectedService(const std::optional<DiscoveredService>& service)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_selectedService == service)
            return;
        m_selectedService = service;
    }
    Q_EMIT selectedServiceChanged();
}

} // namespace corvex::preview_link
