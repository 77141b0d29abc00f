#include "platform/dnssd/avahi_session.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

namespace corvex::dnssd {

Q_LOGGING_CATEGORY(lcDnssd, "corvex.platform.dnssd")

namespace {

constexpr auto kAdvice = "Light receivers cannot be found or announced until avahi-daemon and the system D-Bus run "
                         "(for example: systemctl start avahi-daemon).";

// Sessions are only made under g_newestMutex, which also guards the last reason logged.
std::mutex g_newestMutex;
std::weak_ptr<AvahiSession> g_newest;
QString g_lastUnavailableReason;

// Says once why discovery is unavailable, not again for every new attempt that fails the same way.
void logUnavailable(const QString& reason)
{
    if (reason == g_lastUnavailableReason)
        return;
    g_lastUnavailableReason = reason;
    qCWarning(lcDnssd, "DNS-SD discovery is unavailable: %s. %s", qPrintable(reason), kAdvice);
}

} // namespace

std::shared_ptr<AvahiSession> AvahiSession::acquire()
{
    std::lock_guard lock(g_newestMutex);
    std::shared_ptr<AvahiSession> session = g_newest.lock();
    if (!session) {
        session = std::make_shared<AvahiSession>(Key {});
        g_newest = session;
    }
    return session;
}

std::shared_ptr<AvahiSession> AvahiSession::reconnect()
{
    std::lock_guard lock(g_newestMutex);
    std::shared_ptr<AvahiSession> session = g_newest.lock();
    if (!session || !session->isUsable()) {
        session = std::make_shared<AvahiSession>(Key {});
        g_newest = session;
    }
    return session;
}

bool AvahiSession::isUsable()
{
    Lock lock(*this);
    return m_usable;
}

AvahiSession::AvahiSession(Key)
{
    m_poll = avahi_threaded_poll_new();
    if (!m_poll) {
        m_reason = QStringLiteral("could not create the Avahi event loop");
        logUnavailable(m_reason);
        return;
    }
    // Connecting is a few round trips over the local D-Bus socket; when the bus
    // or the daemon is missing it fails at once rather than waiting.
    int error = 0;
    m_client = avahi_client_new(
        avahi_threaded_poll_get(m_poll), AvahiClientFlags(0),
        [](AvahiClient* client, AvahiClientState state, void* userdata) { clientChanged(client, state, userdata); },
        this, &error);
    if (!m_client) {
        m_reason = QString::fromUtf8(avahi_strerror(error));
        logUnavailable(m_reason);
        return;
    }
    m_usable = true;
    if (avahi_threaded_poll_start(m_poll) < 0) {
        m_usable = false;
        m_reason = QStringLiteral("could not start the Avahi event thread");
        logUnavailable(m_reason);
        return;
    }
    g_lastUnavailableReason.clear();
}

AvahiSession::~AvahiSession()
{
    if (!m_poll)
        return;
    avahi_threaded_poll_stop(m_poll); // joins the thread; harmless when it never started
    if (m_client)
        avahi_client_free(m_client);
    avahi_threaded_poll_free(m_poll);
}

void AvahiSession::clientChanged(AvahiClient* client, int state, void* userdata)
{
    auto* self = static_cast<AvahiSession*>(userdata);
    // Called with the poll's lock held (or from avahi_client_new, before the
    // thread runs), so the members are ours to change.
    if (state == AVAHI_CLIENT_FAILURE && self->m_usable) {
        self->m_usable = false;
        self->m_reason = QString::fromUtf8(avahi_strerror(avahi_client_errno(client)));
        qCWarning(lcDnssd, "DNS-SD discovery stopped: lost the connection to avahi-daemon (%s). %s",
            qPrintable(self->m_reason), kAdvice);
    }
}

AvahiSession::Lock::Lock(AvahiSession& session)
    : m_session(session)
{
    if (m_session.m_poll)
        avahi_threaded_poll_lock(m_session.m_poll);
}

AvahiSession::Lock::~Lock()
{
    if (m_session.m_poll)
        avahi_threaded_poll_unlock(m_session.m_poll);
}

} // namespace corvex::dnssd
