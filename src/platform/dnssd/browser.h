#pragma once

#include "platform/dnssd/service_record.h"

#include "platform/result.h"

#include <QObject>

#include <memory>

struct AvahiServiceBrowser;

namespace corvex::dnssd {

class AvahiSession;

/// Browses for one service type in one domain. Each instance that appears is
/// reported once per interface and protocol it is seen on, on the browser's
/// thread; instances that go away are not reported.
class Browser final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Browser)

public:
    explicit Browser(QObject* parent = nullptr);
    ~Browser() override;

    /// Stops any search in progress and starts a new one, connecting to the
    /// daemon again if it was missing or went away. Fails when DNS-SD is
    /// unavailable (already logged).
    Result<void> start(const QString& type, const QString& domain);
    /// Ends the search; nothing from it is reported afterwards.
    void stop();

Q_SIGNALS:
    void serviceFound(const corvex::dnssd::ServiceRecord& service);

private:
    static void found(AvahiServiceBrowser* browser, int interface, int protocol, int event, const char* name,
        const char* type, const char* domain, void* userdata);
    void freeBrowser();

    std::shared_ptr<AvahiSession> m_session; // from the first start on
    AvahiServiceBrowser* m_browser = nullptr;
    // Bumped by every start and stop; results of an older search are dropped.
    quint64 m_generation = 0;
};

} // namespace corvex::dnssd
