#include "app/realtime_preview_section.h"

#include "preview_link/udp_manager.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

namespace corvex::app {

RealtimePreviewSection::RealtimePreviewSection(preview_link::UDPManager& udpManager, QWidget* parent)
    : PanelSection(QStringLiteral("Realtime preview"), parent)
    , m_udpManager(udpManager)
    , m_receivers(new QComboBox(this))
    , m_emptyHint(hintLabel(noReceiversText(), this))
{
    m_receivers->setAccessibleName(QStringLiteral("Corvex app"));
    rows()->addWidget(m_receivers);
    rows()->addWidget(m_emptyHint);
    connect(m_receivers, &QComboBox::activated, this, [this](int index) {
        const QList<preview_link::DiscoveredService> services = m_udpManager.udpClient().discoveredServices();
        if (index <= 0 || index > services.size())
            m_udpManager.setSelectedService(std::nullopt);
        else
            m_udpManager.setSelectedService(services.at(index - 1));
    });
    connect(&udpManager.udpClient(), &preview_link::UDPClient::discoveredServicesChanged, this,
        &RealtimePreviewSection::updateReceivers);
    connect(
        &udpManager, &preview_link::UDPManager::selectedServiceChanged, this, &RealtimePreviewSection::updateReceivers);
    updateReceivers();
}

void RealtimePreviewSection::showEvent(QShowEvent* event)
{
    PanelSection::showEvent(event);
    m_udpManager.udpClient().startDiscovery();
}

void RealtimePreviewSection::updateReceivers()
{
    const QList<preview_link::DiscoveredService> services = m_udpManager.udpClient().discoveredServices();
    const std::optional<preview_link::DiscoveredService> selected = m_udpManager.selectedService();
    const QSignalBlocker blocker(m_receivers);
    m_receivers->clear();
    m_receivers->addItem(QStringLiteral("None"));
    int current = 0;
    for (qsizetype i = 0; i < services.size(); ++i) {
        m_receivers->addItem(services.at(i).name);
        if (selected && services.at(i).name == selected->name)
            current = static_cast<int>(i + 1);
    }
    m_receivers->setCurrentIndex(current);
    m_emptyHint->setVisible(services.isEmpty());
}

} // namespace corvex::app
