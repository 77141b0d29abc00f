#include "platform/dnssd/resolver.h"

#include "platform/dnssd/avahi_session.h"

#include <QMetaObject>

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>

namespace corvex::dnssd {

Resolver::Resolver(QObject* parent)
    : QObject(parent)
    , m_session(AvahiSession::acquire())
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        finish(m_generation, {},
            QStringLiteral("no answer within %1 s").arg(static_cast<double>(m_timer.interval()) / 1000.0));
    });
}

Resolver::~Resolver()
{
    cancel();
}

void Resolver::resolve(const ServiceRecord& service, std::chrono::milliseconds timeout)
{
    cancel();
    m_service = service;
    m_active = true;
    m_timer.start(timeout);

    // The generation is written under the poll's lock because avahi callbacks read it.
    AvahiSession::Lock lock(*m_session);
    const quint64 generation = ++m_generation;
    AvahiClient* client = m_session->client();
    QString reason;
    if (client) {
        const QByteArray name = service.name.toUtf8();
        const QByteArray type = withoutFinalDot(service.type).toUtf8();
        const QByteArray domain = withoutFinalDot(service.domain).toUtf8();
        m_resolver = avahi_service_resolver_new(
            client, service.interfaceIndex, service.protocol, name.constData(), type.constData(),
            domain.isEmpty() ? nullptr : domain.constData(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0),
            [](AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                const char*, const char*, const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                AvahiLookupResultFlags, void* userdata) {
                // Poll thread, poll lock held: the resolver is alive (it frees
                // the avahi object under this lock before it goes).
                auto* self = static_cast<Resolver*>(userdata);
                QList<Address> addresses;
                QString failure;
                if (event == AVAHI_RESOLVER_FOUND && address && address->proto == AVAHI_PROTO_INET) {
                    addresses.append({ Address::Family::IPv4,
                        QByteArray(reinterpret_cast<const char*>(&address->data.ipv4.address), 4), port });
                } else if (event == AVAHI_RESOLVER_FOUND && address && address->proto == AVAHI_PROTO_INET6) {
                    addresses.append({ Address::Family::IPv6,
                        QByteArray(reinterpret_cast<const char*>(address->data.ipv6.address), 16), port });
                } else {
                    failure = QString::fromUtf8(
                        avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))));
                }
                const quint64 generation = self->m_generation;
                QMetaObject::invokeMethod(
                    self, [self, generation, addresses, failure] { self->finish(generation, addresses, failure); },
                    Qt::QueuedConnection);
            },
            this);
        if (!m_resolver)
            reason = QString::fromUtf8(avahi_strerror(avahi_client_errno(client)));
    } else {
        reason = QStringLiteral("DNS-SD is unavailable: %1").arg(m_session->unavailableReason());
    }
    if (!reason.isEmpty()) {
        // Reported like every other result: later, on our thread.
        QMetaObject::invokeMethod(
            this, [this, generation, reason] { finish(generation, {}, reason); }, Qt::QueuedConnection);
    }
}

void Resolver::cancel()
{
    m_timer.stop();
    m_active = false;
    AvahiSession::Lock lock(*m_session);
    ++m_generation;
    freeResolver();
}

void Resolver::freeResolver()
{
    if (m_resolver)
        avahi_service_resolver_free(m_resolver);
    m_resolver = nullptr;
}

void Resolver::finish(quint64 generation, const QList<Address>& addresses, const QString& reason)
{
    if (!m_active || generation != m_generation)
        return;
    m_timer.stop();
    m_active = false;
    {
        AvahiSession::Lock lock(*m_session);
        ++m_generation;
        freeResolver();
    }
    const ServiceRecord service = m_service;
    if (addresses.isEmpty())
        Q_EMIT failed(service, reason.isEmpty() ? QStringLiteral("no address found") : reason);
    else
        Q_EMIT resolved(service, addresses);
}

} // namespace corvex::dnssd
