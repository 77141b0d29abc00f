#pragma once

#include "preview_link/udp_client.h"

#include <QObject>

#include <mutex>
#include <optional>

namespace corvex::preview_link {

/// The DNS-SD service type of light receivers.
inline constexpr char kLightReceiverServiceType[] = "_corvexfeed._udp.";

/// The process's preview link: one client browsing for light receivers, and
/// the receiver the author chose.
class UDPManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UDPManager)

public:
    /// Created on first use, which must be on the GUI thread with a
    /// QCoreApplication alive; discovery starts at once. Lives as long as the
    /// application object.
    static UDPManager& shared();
    /// A link of its own, for a studio or a tool that does not share the
    /// process's. Created on the GUI thread; discovery starts at once.
    explicit UDPManager(QObject* parent = nullptr);

    UDPClient& udpClient() { return *m_udpClient; }

    /// The chosen receiver, if any. May be read from any thread (the recorder
    /// reads it for every frame).
    std::optional<DiscoveredService> selectedService() const;
    /// Sends one live colour message to the chosen receiver; nothing when none
    /// is chosen. Any thread (a recorder's live message observer calls it).
    void sendToSelectedService(const QByteArray& message);
    /// GUI thread.
    void setSelectedService(const std::optional<DiscoveredService>& service);

Q_SIGNALS:
    void selectedServiceChanged();

private:
    UDPClient* m_udpClient;
    mutable std::mutex m_mutex;
    std::optional<DiscoveredService> m_selectedService;
};

} // namespace corvex::preview_link
