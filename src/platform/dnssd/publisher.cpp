#include "platform/dnssd/publisher.h"

#include "platform/dnssd/avahi_session.h"
#include "platform/dnssd/service_record.h"

#include <QMetaObject>

#include <avahi-client/publish.h>
#include <avahi-common/error.h>

namespace corvex::dnssd {

Publisher::Publisher(QObject* parent)
    : QObject(parent)
{
}

Publisher::~Publisher()
{
    unpublish();
}

void Publisher::publish(const QString& name, const QString& type, std::uint16_t port, const QString& domain)
{
    unpublish();
    if (!m_session || !m_session->isUsable())
        m_session = AvahiSession::acquire();
    AvahiSession::Lock lock(*m_session);
    const quint64 generation = ++m_generation;
    m_name = name;
    m_type = type;

    AvahiClient* client = m_session->client();
    if (!client) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, reason = m_session->unavailableReason()] {
                report(generation, AVAHI_ERR_NO_DAEMON, QStringLiteral("DNS-SD is unavailable: %1").arg(reason));
            },
            Qt::QueuedConnection);
        return;
    }
    m_group = avahi_entry_group_new(
        client,
        [](AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
            // Poll thread (or inside our own calls), poll lock held.
            auto* self = static_cast<Publisher*>(userdata);
            int code = 0;
            if (state == AVAHI_ENTRY_GROUP_COLLISION)
                code = AVAHI_ERR_COLLISION;
            else if (state == AVAHI_ENTRY_GROUP_FAILURE)
                code = avahi_client_errno(avahi_entry_group_get_client(group));
            else if (state != AVAHI_ENTRY_GROUP_ESTABLISHED)
                return;
            const quint64 generation = self->m_generation;
            const QString message = QString::fromUtf8(avahi_strerror(code));
            QMetaObject::invokeMethod(
                self, [self, generation, code, message] { self->report(generation, code, message); },
                Qt::QueuedConnection);
        },
        this);
    int error = m_group ? 0 : avahi_client_errno(client);
    if (m_group) {
        const QByteArray nameBytes = name.toUtf8();
        const QByteArray typeBytes = withoutFinalDot(type).toUtf8();
        const QByteArray domainBytes = withoutFinalDot(domain).toUtf8();
        error = avahi_entry_group_add_service(m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            nameBytes.constData(), typeBytes.constData(), domainBytes.isEmpty() ? nullptr : domainBytes.constData(),
            nullptr, port, static_cast<const char*>(nullptr));
        if (error == 0)
            error = avahi_entry_group_commit(m_group);
    }
    if (error != 0) {
        freeGroup();
        const QString message = QString::fromUtf8(avahi_strerror(error));
        QMetaObject::invokeMethod(
            this, [this, generation, error, message] { report(generation, error, message); }, Qt::QueuedConnection);
    }
}

void Publisher::unpublish()
{
    if (!m_session)
        return;
    AvahiSession::Lock lock(*m_session);
    ++m_generation;
    freeGroup();
}

void Publisher::freeGroup()
{
    if (m_group)
        avahi_entry_group_free(m_group); // also withdraws the announcement
    m_group = nullptr;
}

void Publisher::report(quint64 generation, int code, const QString& message)
{
    if (generation != m_generation)
        return;
    if (code == 0) {
        Q_EMIT published(m_name, m_type);
        return;
    }
    {
        AvahiSession::Lock lock(*m_session);
        ++m_generation;
        freeGroup();
    }
    Q_EMIT failed({ { QStringLiteral("code"), QString::number(code) }, { QStringLiteral("message"), message } });
}

} // namespace corvex::dnssd
