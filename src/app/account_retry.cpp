#include "app/account_retry.h"

#include "service/session.h"

#include <QPointer>

namespace corvex::app {

AccountRetry::AccountRetry(service::Session& manager, QObject* parent)
    : QObject(parent)
    , m_manager(manager)
    , m_backoff([this] { attempt(); })
{
    connect(&manager, &service::Session::accessTokenChanged, this, [this] {
        m_backoff.reset();
        setLastError({});
        follow();
    });
    connect(&manager, &service::Session::accountChanged, this, &AccountRetry::follow);
    // The manager's own first fetch may still be under way; the first retry
    // comes after the shortest wait, when that fetch has usually ended.
    follow();
}

void AccountRetry::follow()
{
    if (m_manager.account()) {
        m_backoff.reset();
        setLastError({});
        return;
    }
    if (m_manager.accessToken() && !m_attempting)
        m_backoff.schedule();
}

QCoro::Task<> AccountRetry::attempt()
{
    if (m_attempting || m_manager.account() || !m_manager.accessToken())
        co_return;
    m_attempting = true;
    QPointer<AccountRetry> self(this);
    const std::optional<QString> token = m_manager.accessToken();
    const service::Session::AccountOutcome outcome = co_await m_manager.requestAccount();
    if (!self)
        co_return;
    m_attempting = false;
    if (m_manager.accessToken() != token) {
        // Signed out, or signed in again, meanwhile: the answer is about a
        // token that is gone. The new one is followed from here.
        follow();
        co_return;
    }
    if (outcome.account) {
        m_manager.setAccount(outcome.account);
        co_return;
    }
    const service::ServiceError& error = *outcome.error;
    setLastError(error.message());
    // Only what may pass by itself is asked again: no connection, or a
    // service that failed on its side. A refused token will stay refused.
    if (error.isTransient())
        m_backoff.schedule(error.retryAfter);
}

void AccountRetry::setLastError(const QString& error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    Q_EMIT lastErrorChanged();
}

} // namespace corvex::app
