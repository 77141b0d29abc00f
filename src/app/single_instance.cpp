#include "app/single_instance.h"

#include <algorithm>

namespace corvex::app {

namespace {

constexpr QByteArrayView kActivate = "activate";
constexpr QByteArrayView kSignInFailed = "signin-failed";
constexpr QByteArrayView kActivationTokenKey = "xdg-activation-token";
constexpr QByteArrayView kStartupIdKey = "desktop-startup-id";
// Compositors hand out tokens of a few dozen characters; anything far longer is not one.
constexpr qsizetype kMaxToken = 512;

// A token goes into our environment and on to the compositor as a C string:
// printable ASCII without spaces, or nothing.
QByteArray plainToken(const QByteArray& token)
{
    if (token.size() > kMaxToken)
        return {};
    if (!std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return {};
    return token;
}

} // namespace

LaunchRequest LaunchRequest::fromEnvironment()
{
    return { std::nullopt, plainToken(qgetenv("XDG_ACTIVATION_TOKEN")), plainToken(qgetenv("DESKTOP_STARTUP_ID")) };
}

QByteArray LaunchRequest::encode() const
{
    if (activationToken.isEmpty() && startupId.isEmpty()) {
        if (signInProblem)
            return kSignInFailed.toByteArray() + ' ' + signInProblem->simplified().toUtf8();
        return kActivate.toByteArray();
    }
    QByteArray line = kActivate.toByteArray();
    const auto add = [&line](QByteArrayView key, const QByteArray& value) {
        line += ' ' + key.toByteArray() + '=' + value.toPercentEncoding();
    };
    if (signInProblem)
        add(kSignInFailed, signInProblem->simplified().toUtf8());
    if (!activationToken.isEmpty())
        add(kActivationTokenKey, activationToken);
    if (!startupId.isEmpty())
        add(kStartupIdKey, startupId);
    return line;
}

std::optional<LaunchRequest> LaunchRequest::decode(const QByteArray& message)
{
    LaunchRequest request;
    if (message == kActivate)
        return request;
    if (message.startsWith(kSignInFailed.toByteArray() + ' ')) {
        request.signInProblem = QString::fromUtf8(message.mid(kSignInFailed.size() + 1));
        return request;
    }
    if (!message.startsWith(kActivate.toByteArray() + ' '))
        return std::nullopt;
    const QList<QByteArray> fields = message.mid(kActivate.size() + 1).split(' ');
    for (const QByteArray& field : fields) {
        const qsizetype equals = field.indexOf('=');
        if (equals <= 0)
            return std::nullopt;
        const QByteArrayView key = QByteArrayView(field).first(equals);
        const QByteArray value = QByteArray::fromPercentEncoding(field.mid(equals + 1));
        if (key == kSignInFailed)
            request.signInProblem = QString::fromUtf8(value).simplified();
        else if (key == kActivationTokenKey)
            request.activationToken = plainToken(value);
        else if (key == kStartupIdKey)
            request.startupId = plainToken(value);
        // Other keys come from a newer studio: what we know of the request still holds.
    }
    return request;
}

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_name(name)
    , m_listener(name)
{
    connect(&m_listener, &handover::Listener::messageReceived, this, &SingleInstance::messageReceived);
    // A launch we cannot understand hears so, rather than "ok" and nothing happening.
    m_listener.setJudge([](const QByteArray& message) {
        return LaunchRequest::decode(message) ? QString()
                                              : QStringLiteral("this Corvex Studio does not understand the request");
    });
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
