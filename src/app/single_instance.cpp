#include "app/single_instance.h"

namespace corvex::app {

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_name(name)
    , m_listener(name)
{
    connect(&m_listener, &handover::Listener::messageReceived, this, &SingleInstance::messageReceived);
}

SingleInstance::Role SingleInstance::claim()
{
    switch (m_listener.listen()) {
    case handover::Listener::Result::Listening:
        return Role::Primary;
    case handover::Listener::Result::Busy:
        return Role::Secondary;
    case handover::Listener::Result::CannotListen:
        break;
    }
    m_listenError = m_listener.error();
    return Role::Primary;
}

Result<void> SingleInstance::send(const QByteArray& message, int timeoutMs) const
{
    // The first instance may still be starting: it gets until the deadline.
    const handover::Delivery delivery
        = handover::send(m_name, message, std::chrono::milliseconds(timeoutMs), handover::Wait::ForListener);
    if (delivery.ok())
        return Result<void>::success();
    switch (delivery.failure) {
    case handover::Failure::NobodyListening:
    case handover::Failure::NoAnswer:
        return Result<void>::failure(
            QStringLiteral("Corvex Studio is already running but does not answer (%1)").arg(delivery.reason));
    case handover::Failure::InvalidMessage:
    case handover::Failure::Refused:
    case handover::Failure::None:
        break;
    }
    return Result<void>::failure(QStringLiteral("Corvex Studio did not take the request: %1").arg(delivery.reason));
}

} // namespace corvex::app
