#pragma once

#include "app/backoff.h"

#include <QObject>

#include <QCoroTask>

namespace corvex::service {
class Session;
}

namespace corvex::app {

/// Keeps asking the service for the signed-in account while a token is stored
/// and no account came: a service that was down at launch, or that dropped
/// the connection, is asked again with growing waits until it answers. A
/// refusal of the token (the author must sign in again) ends the asking.
class AccountRetry final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AccountRetry)

public:
    explicit AccountRetry(service::Session& manager, QObject* parent = nullptr);

    Backoff& backoff() { return m_backoff; }
    /// Why the last attempt failed, for the windows; empty once an account came.
    QString lastError() const { return m_lastError; }

Q_SIGNALS:
    void lastErrorChanged();

private:
    void follow();
    QCoro::Task<> attempt();
    void setLastError(const QString& error);

    service::Session& m_manager;
    Backoff m_backoff;
    bool m_attempting = false;
    QString m_lastError;
};

} // namespace corvex::app
