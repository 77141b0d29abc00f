#include "platform/dnssd/browser.h"

#include "platform/dnssd/avahi_session.h"

#include <QMetaObject>

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>

namespace corvex::dnssd {

Browser::Browser(QObject* parent)
    : QObject(parent)
{
}

Browser::~Browser()
{
    stop();
}

Result<void> Browser::start(const QString& type, const QString& domain)
{
    stop();
    if (!m_session || !m_session->isUsable())
        m_session = AvahiSession::reconnect();
    AvahiSession::Lock lock(*m_session);
    ++m_generation;
    AvahiClient* client = m_session->client();
    if (!client)
        return Result<void>::failure(QStringLiteral("DNS-SD is unavailable: %1").arg(m_session->unavailableReason()));
    const QByteArray typeBytes = withoutFinalDot(type).toUtf8();
    const QByteArray domainBytes = withoutFinalDot(domain).toUtf8();
    m_browser = avahi_service_browser_new(
        client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, typeBytes.constData(),
        domainBytes.isEmpty() ? nullptr : domainBytes.constData(), AvahiLookupFlags(0),
        [](AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
            const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
            void* userdata) { found(browser, interface, protocol, event, name, type, domain, userdata); },
        this);
    if (!m_browser) {
        const QString reason = QString::fromUtf8(avahi_strerror(avahi_client_errno(client)));
        qCWarning(lcDnssd, "Could not browse for %s: %s", typeBytes.constData(), qPrintable(reason));
        return Result<void>::failure(QStringLiteral("could not browse for %1: %2").arg(type, reason));
    }
    return Result<void>::success();
}

void Browser::stop()
{
    if (!m_session)
        return;
    AvahiSession::Lock lock(*m_session);
    freeBrowser();
    ++m_generation;
}

void Browser::freeBrowser()
{
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
}

void Browser::found(AvahiServiceBrowser* browser, int interface, int protocol, int event, const char* name,
    const char* type, const char* domain, void* userdata)
{
    // On the poll thread with the poll's lock held: `self` is alive, because its
    // destructor frees the avahi browser under the same lock.
    auto* self = static_cast<Browser*>(userdata);
    if (event == AVAHI_BROWSER_FAILURE) {
        qCWarning(lcDnssd, "Browsing for services stopped: %s",
            avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
        return;
    }
    if (event != AVAHI_BROWSER_NEW)
        return;
    ServiceRecord record { QString::fromUtf8(name), QString::fromUtf8(type), QString::fromUtf8(domain), interface,
        protocol };
    const quint64 generation = self->m_generation;
    QMetaObject::invokeMethod(
        self,
        [self, generation, record = std::move(record)] {
            if (generation == self->m_generation)
                Q_EMIT self->serviceFound(record);
        },
        Qt::QueuedConnection);
}

} // namespace corvex::dnssd
