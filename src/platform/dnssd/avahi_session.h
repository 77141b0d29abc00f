#pragma once

#include <QLoggingCategory>
#include <QString>

#include <memory>
#include <mutex>

struct AvahiClient;
struct AvahiThreadedPoll;

namespace corvex::dnssd {

Q_DECLARE_LOGGING_CATEGORY(lcDnssd)

/// The process's connection to avahi-daemon: one client on one threaded poll,
/// shared by every browser, resolver and publisher alive at the same time.
///
/// Avahi calls back on its poll thread with the poll's lock held; objects that
/// use the client take the same lock (`Lock`) around every avahi call, and free
/// their avahi objects under it, so no callback can run for an object that is
/// being destroyed.
class AvahiSession final {
public:
    /// The newest session while anything still uses it, or a new one. A new
    /// session connects to the daemon; when that fails it logs why, once, and
    /// stays unavailable for its life.
    static std::shared_ptr<AvahiSession> acquire();
    /// The newest session if it is connected; otherwise a new connection
    /// attempt (after the daemon was missing or went away). For requests that
    /// a person makes, such as a new search, never for every message.
    static std::shared_ptr<AvahiSession> reconnect();

    class Key {
        friend class AvahiSession;
        Key() = default;
    };
    /// Made by acquire() and reconnect() only.
    explicit AvahiSession(Key);
    ~AvahiSession();
    AvahiSession(const AvahiSession&) = delete;
    AvahiSession& operator=(const AvahiSession&) = delete;

    class Lock {
    public:
        explicit Lock(AvahiSession& session);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiSession& m_session;
    };

    /// Whether the client is connected. Takes the lock.
    bool isUsable();
    /// The client, or null when DNS-SD is unavailable. Use under a Lock.
    AvahiClient* client() const { return m_usable ? m_client : nullptr; }
    /// Why the client is null. Use under a Lock.
    QString unavailableReason() const { return m_reason; }

private:
    static void clientChanged(AvahiClient* client, int state, void* userdata);

    AvahiThreadedPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
    bool m_usable = false;
    QString m_reason;
};

} // namespace corvex::dnssd
