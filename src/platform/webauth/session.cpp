#include "platform/webauth/session.h"

#include <QDesktopServices>
#include <QPointer>

#include <QCoroSignal>

namespace corvex::webauth {

namespace {

// At most one waiting session in the process; the socket guards the others.
bool g_sessionWaiting = false;

constexpr const char* kSocketName = "corvex-webauth";

} // namespace

bool Session::openInBrowser(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

Session::Session(Opener opener, QObject* parent)
    : QObject(parent)
    , m_opener(std::move(opener))
{
}

Session::~Session()
{
    // Ends a waiting authenticate() so that its coroutine does not wait forever.
    cancel();
}

QString Session::socketPath()
{
    return handover::socketPath(QString::fromLatin1(kSocketName)).value.value_or(QString());
}

QCoro::Task<Session::Outcome> Session::authenticate(QUrl signInUrl, QString callbackScheme, AnswerCheck check)
{
    if (m_active || g_sessionWaiting)
        co_return Outcome { std::nullopt, Failure::Busy,
            QStringLiteral("a sign-in is already waiting for the browser; finish or cancel it first") };
    m_active = true;
    g_sessionWaiting = true;
    m_scheme = callbackScheme;
    m_check = std::move(check);
    m_outcome = {};
    QPointer<Session> self(this);

    m_listener = std::make_unique<handover::Listener>(QString::fromLatin1(kSocketName));
    m_listener->setJudge([this](const QByteArray& message) {
        const QUrl url = QUrl::fromEncoded(message, QUrl::StrictMode);
        if (!m_active || !url.isValid() || url.scheme().compare(m_scheme, Qt::CaseInsensitive) != 0)
            return QStringLiteral("it is not a sign-in answer");
        return m_check ? m_check(url) : QString();
    });
    connect(m_listener.get(), &handover::Listener::messageReceived, this, [this](const QByteArray& message) {
        finish({ QUrl::fromEncoded(message, QUrl::StrictMode), Failure::None, {} });
    });
    switch (m_listener->listen()) {
    case handover::Listener::Result::Listening:
        break;
    case handover::Listener::Result::Busy:
        finish({ std::nullopt, Failure::Busy,
            QStringLiteral("another Corvex program is already waiting for a sign-in; finish or cancel it there "
                           "first") });
        co_return m_outcome;
    case handover::Listener::Result::CannotListen:
        finish({ std::nullopt, Failure::CannotListen,
            QStringLiteral("cannot wait for the browser's answer: %1").arg(m_listener->error()) });
        co_return m_outcome;
    }

    const bool opened = m_opener(signInUrl);
    if (!opened && !m_waitsWhenNotOpened) {
        finish({ std::nullopt, Failure::CannotOpen,
            QStringLiteral("no web browser could be opened; open %1 in a browser yourself")
                .arg(signInUrl.toString()) });
        co_return m_outcome;
    }
    if (!opened)
        Q_EMIT browserNotOpened();
    // Whoever heard that may have cancelled already.
    if (self && m_active)
        co_await qCoro(this, &Session::completed);
    if (!self)
        co_return Outcome { std::nullopt, Failure::Cancelled, QStringLiteral("the sign-in was closed") };
    co_return m_outcome;
}

void Session::cancel()
{
    if (m_active)
        finish({ std::nullopt, Failure::Cancelled, QStringLiteral("the sign-in was cancelled") });
}

void Session::finish(Outcome outcome)
{
    m_outcome = std::move(outcome);
    if (m_listener) {
        m_listener->disconnect(this);
        m_listener->close();
        // Deleted later: we may be inside one of its signals.
        m_listener.release()->deleteLater();
    }
    m_active = false;
    g_sessionWaiting = false;
    Q_EMIT completed();
}

Result<void> Session::handOver(const QUrl& url, int timeoutMs)
{
    const handover::Delivery delivery = handover::send(
        QString::fromLatin1(kSocketName), url.toEncoded(), std::chrono::milliseconds(timeoutMs), handover::Wait::No);
    switch (delivery.failure) {
    case handover::Failure::None:
        return Result<void>::success();
    case handover::Failure::NobodyListening:
        return Result<void>::failure(
            QStringLiteral("no Corvex program is waiting for a sign-in (%1); start the sign-in again")
                .arg(delivery.reason));
    case handover::Failure::Refused:
        return Result<void>::failure(
            QStringLiteral("the waiting sign-in refused the %1: address (%2)").arg(url.scheme(), delivery.reason));
    case handover::Failure::InvalidMessage:
        return Result<void>::failure(
            QStringLiteral("the browser's answer cannot be passed on: %1").arg(delivery.reason));
    case handover::Failure::NoAnswer:
        break;
    }
    return Result<void>::failure(QStringLiteral("the waiting sign-in did not answer (%1)").arg(delivery.reason));
}

} // namespace corvex::webauth
