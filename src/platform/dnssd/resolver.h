#pragma once

#include "platform/dnssd/service_record.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

struct AvahiServiceResolver;

namespace corvex::dnssd {

class AvahiSession;

/// Resolves one found service to its addresses, with a time-out. IPv4 and IPv6
/// addresses are asked for at the same time; `resolved` comes on the
/// resolver's thread each time an address arrives, with every address known so
/// far in the order they arrived. When none arrives before the time-out, or
/// every family fails, `failed` comes instead, once.
class Resolver final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Resolver)

public:
    static constexpr std::chrono::milliseconds kDefaultTimeout { 5000 };

    explicit Resolver(QObject* parent = nullptr);
    ~Resolver() override;

    /// Starts resolving `service`, abandoning any resolution in progress.
    void resolve(const ServiceRecord& service, std::chrono::milliseconds timeout = kDefaultTimeout);
    /// Abandons the resolution in progress; nothing more is reported for it.
    void cancel();
    /// True until every family has answered or failed, or the time-out.
    bool isResolving() const { return m_active; }

Q_SIGNALS:
    void resolved(const corvex::dnssd::ServiceRecord& service, const QList<corvex::dnssd::Address>& addresses);
    void failed(const corvex::dnssd::ServiceRecord& service, const QString& reason);

private:
    // One avahi resolver per address family; `owner` and `family` find their way back.
    struct Lookup {
        Resolver* owner = nullptr;
        int family = 0;
        AvahiServiceResolver* resolver = nullptr;
        bool done = true;
    };
    static constexpr int kFamilies = 2; // IPv4, IPv6

    void answered(quint64 generation, int family, const std::optional<Address>& address, const QString& failure);
    void timedOut();
    void stopLookups(); // under no lock; takes it

    std::shared_ptr<AvahiSession> m_session; // from the first resolve on
    std::array<Lookup, kFamilies> m_lookups;
    ServiceRecord m_service;
    QList<Address> m_addresses;
    QString m_failure;
    QTimer m_timer;
    bool m_active = false;
    quint64 m_generation = 0; // written under the poll's lock
};

} // namespace corvex::dnssd
