#pragma once

#include "platform/dnssd/service_record.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

struct AvahiServiceResolver;

namespace corvex::dnssd {

class AvahiSession;

/// Resolves one found service to its addresses, with a time-out. Results come
/// on the resolver's thread: `resolved` with the addresses in the order Avahi
/// gave them, or `failed`, exactly once per `resolve`.
class Resolver final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Resolver)

public:
    static constexpr std::chrono::milliseconds kDefaultTimeout { 5000 };

    explicit Resolver(QObject* parent = nullptr);
    ~Resolver() override;

    /// Starts resolving `service`, abandoning any resolution in progress.
    void resolve(const ServiceRecord& service, std::chrono::milliseconds timeout = kDefaultTimeout);
    /// Abandons the resolution in progress; nothing is reported for it.
    void cancel();
    bool isResolving() const { return m_active; }

Q_SIGNALS:
    void resolved(const corvex::dnssd::ServiceRecord& service, const QList<corvex::dnssd::Address>& addresses);
    void failed(const corvex::dnssd::ServiceRecord& service, const QString& reason);

private:
    void finish(quint64 generation, const QList<Address>& addresses, const QString& reason);
    void freeResolver();

    std::shared_ptr<AvahiSession> m_session;
    AvahiServiceResolver* m_resolver = nullptr;
    ServiceRecord m_service;
    QTimer m_timer;
    bool m_active = false;
    quint64 m_generation = 0;
};

} // namespace corvex::dnssd
