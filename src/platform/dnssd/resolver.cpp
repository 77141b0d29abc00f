#include "platform/dnssd/resolver.h"

#include "platform/dnssd/avahi_session.h"

#include <QMetaObject>

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>

#include <algorithm>

namespace corvex::dnssd {

namespace {

constexpr AvahiProtocol kProtocols[] = { AVAHI_PROTO_INET, AVAHI_PROTO_INET6 };

std::optional<Address> toAddress(const AvahiAddress* address, std::uint16_t port)
{
    if (address && address->proto == AVAHI_PROTO_INET)
        return Address { Address::Family::IPv4,
            QByteArray(reinterpret_cast<const char*>(&address->data.ipv4.address), 4), port };
    if (address && address->proto == AVAHI_PROTO_INET6)
        return Address { Address::Family::IPv6,
            QByteArray(reinterpret_cast<const char*>(address->data.ipv6.address), 16), port };
    return std::nullopt;
}

} // namespace

Resolver::Resolver(QObject* parent)
    : QObject(parent)
{
    for (int family = 0; family < kFamilies; ++family)
        m_lookups[family] = { this, family, nullptr, true };
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Resolver::timedOut);
}

Resolver::~Resolver()
{
    cancel();
}

void Resolver::resolve(const ServiceRecord& service, std::chrono::milliseconds timeout)
{
    cancel();
    // A search that reconnected to the daemon made a newer session; use it.
    if (!m_session || !m_session->isUsable())
        m_session = AvahiSession::acquire();
    m_service = service;
    m_addresses.clear();
    m_failure.clear();
    m_active = true;
    m_timer.start(timeout);

    AvahiSession::Lock lock(*m_session);
    const quint64 generation = ++m_generation; // avahi callbacks read it under this lock
    AvahiClient* client = m_session->client();
    const QByteArray name = service.name.toUtf8();
    const QByteArray type = withoutFinalDot(service.type).toUtf8();
    const QByteArray domain = withoutFinalDot(service.domain).toUtf8();
    for (Lookup& lookup : m_lookups) {
        lookup.done = false;
        QString failure;
        if (!client) {
            failure = QStringLiteral("DNS-SD is unavailable: %1").arg(m_session->unavailableReason());
        } else {
            lookup.resolver = avahi_service_resolver_new(
                client, service.interfaceIndex, service.protocol, name.constData(), type.constData(),
                domain.isEmpty() ? nullptr : domain.constData(), kProtocols[lookup.family], AvahiLookupFlags(0),
                [](AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                    const char*, const char*, const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                    AvahiLookupResultFlags, void* userdata) {
                    // Poll thread, poll lock held: the owner is alive, as it
                    // frees its avahi resolvers under this lock before it goes.
                    auto* lookup = static_cast<Lookup*>(userdata);
                    Resolver* self = lookup->owner;
                    const int family = lookup->family;
                    const quint64 generation = self->m_generation;
                    std::optional<Address> found;
                    QString failure;
                    if (event == AVAHI_RESOLVER_FOUND)
                        found = toAddress(address, port);
                    if (!found)
                        failure = QString::fromUtf8(
                            avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))));
                    QMetaObject::invokeMethod(
                        self,
                        [self, generation, family, found, failure] {
                            self->answered(generation, family, found, failure);
                        },
                        Qt::QueuedConnection);
                },
                &lookup);
            if (!lookup.resolver)
                failure = QString::fromUtf8(avahi_strerror(avahi_client_errno(client)));
        }
        if (!failure.isEmpty()) {
            // Reported like every other answer: later, on our thread.
            QMetaObject::invokeMethod(
                this,
                [this, generation, family = lookup.family, failure] {
                    answered(generation, family, std::nullopt, failure);
                },
                Qt::QueuedConnection);
        }
    }
}

void Resolver::cancel()
{
    m_timer.stop();
    m_active = false;
    stopLookups();
}

void Resolver::stopLookups()
{
    if (!m_session)
        return;
    AvahiSession::Lock lock(*m_session);
    ++m_generation;
    for (Lookup& lookup : m_lookups) {
        if (lookup.resolver)
            avahi_service_resolver_free(lookup.resolver);
        lookup.resolver = nullptr;
        lookup.done = true;
    }
}

void Resolver::answered(quint64 generation, int family, const std::optional<Address>& address, const QString& failure)
{
    if (!m_active || generation != m_generation)
        return;
    Lookup& lookup = m_lookups[family];
    if (lookup.done)
        return;
    lookup.done = true;
    {
        // One answer per family is enough; avahi would otherwise keep watching for changes.
        AvahiSession::Lock lock(*m_session);
        if (lookup.resolver)
            avahi_service_resolver_free(lookup.resolver);
        lookup.resolver = nullptr;
    }
    if (!failure.isEmpty())
        m_failure = failure;
    if (address && !m_addresses.contains(*address))
        m_addresses.append(*address);

    const bool allDone = std::all_of(m_lookups.begin(), m_lookups.end(), [](const Lookup& l) { return l.done; });
    if (allDone) {
        m_timer.stop();
        m_active = false;
    }
    const ServiceRecord service = m_service;
    if (address) {
        Q_EMIT resolved(service, m_addresses);
    } else if (allDone && m_addresses.isEmpty()) {
        Q_EMIT failed(service, m_failure.isEmpty() ? QStringLiteral("no address found") : m_failure);
    }
}

void Resolver::timedOut()
{
    if (!m_active)
        return;
    m_active = false;
    stopLookups();
    if (m_addresses.isEmpty()) {
        Q_EMIT failed(
            m_service, QStringLiteral("no answer within %1 s").arg(static_cast<double>(m_timer.interval()) / 1000.0));
    }
}

} // namespace corvex::dnssd
