#include "app/realtime_preview_section.h"

#include "app/text_styles.h"
#include "preview_link/udp_manager.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

namespace corvex::app {

RealtimePreviewSection::RealtimePreviewSection(preview_link::UDPManager& udpManager, QWidget* parent)
    : PanelSection(QStringLiteral("Realtime preview"), parent)
    , m_udpManager(udpManager)
    , m_receivers(picker(QStringLiteral("Corvex app"), this))
    , m_emptyHint(hintLabel(noReceiversText(), this))
    , m_problem(hintLabel({}, this))
{
    text_styles::setColour(m_problem, QColor(214, 40, 40));
    m_problem->hide();
    rows()->addWidget(m_receivers);
    rows()->addWidget(m_emptyHint);
    rows()->addWidget(m_problem);
    connect(m_receivers, &QComboBox::activated, this, [this](int index) {
        const QList<preview_link::DiscoveredService> services = m_udpManager.udpClient().discoveredServices();
        m_failedName.clear();
        if (index <= 0 || index > services.size())
            m_udpManager.setSelectedService(std::nullopt);
        else
            m_udpManager.setSelectedService(services.at(index - 1));
        updateReceivers();
    });
    connect(&udpManager.udpClient(), &preview_link::UDPClient::discoveredServicesChanged, this,
        &RealtimePreviewSection::updateReceivers);
    connect(&udpManager, &preview_link::UDPManager::selectedServiceChanged, this, [this] {
        // Another choice is a fresh start.
        m_failedName.clear();
        updateReceivers();
    });
    connect(&udpManager.udpClient(), &preview_link::UDPClient::receiverFailed, this,
        &RealtimePreviewSection::receiverFailed);
    connect(&udpManager.udpClient(), &preview_link::UDPClient::receiverBack, this, [this](const QString& name) {
        if (name != m_failedName)
            return;
        m_failedName.clear();
        updateReceivers();
    });
    connect(&udpManager.udpClient(), &preview_link::UDPClient::sendProblemChanged, this,
        &RealtimePreviewSection::sendProblemChanged);
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
    const bool failing = selected && selected->name == m_failedName;
    // A receiver that went from the network may fail after it left the list.
    if (failing && current > 0) {
        m_receivers->setItemText(current, services.at(current - 1).name + QStringLiteral(" (not answering)"));
        m_receivers->setItemData(current, QColor(214, 40, 40), Qt::ForegroundRole);
    }
    const bool sendFailing = selected && selected->name == m_sendProblemName && !m_sendProblem.isEmpty();
    if (failing) {
        m_problem->setText(QStringLiteral("“%1” stopped answering (%2): no colours reach it. %3")
                               .arg(m_failedName, m_failedReason,
                                   current > 0 ? QStringLiteral("Choose it again to retry, or choose another receiver.")
                                               : QStringLiteral("It has left the network: choose it again when it is "
                                                                "back, or choose another receiver.")));
    } else if (sendFailing) {
        m_problem->setText(QStringLiteral("Colours for “%1” cannot be sent: %2. The lights miss them until "
                                          "sending works again; the recording itself goes on.")
                               .arg(m_sendProblemName, m_sendProblem));
    } else {
        m_problem->clear();
    }
    m_problem->setVisible(failing || sendFailing);
}

void RealtimePreviewSection::sendProblemChanged(const QString& name, const QString& reason)
{
    if (reason.isEmpty()) {
        if (name != m_sendProblemName)
            return;
        m_sendProblemName.clear();
        m_sendProblem.clear();
    } else {
        m_sendProblemName = name;
        m_sendProblem = reason;
    }
    updateReceivers();
}

void RealtimePreviewSection::receiverFailed(const QString& name, const QString& reason)
{
    const std::optional<preview_link::DiscoveredService> selected = m_udpManager.selectedService();
    if (!selected || selected->name != name)
        return;
    m_failedName = name;
    m_failedReason = reason;
    updateReceivers();
}

} // namespace corvex::app
