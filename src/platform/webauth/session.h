#pragma once

#include "platform/handover/local_handover.h"
#include "platform/result.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace corvex::webauth {

/// A browser sign-in: opens the sign-in page in the user's browser and
/// completes when a URL of the callback scheme reaches this process. The
/// desktop delivers such a URL by starting a Corvex program with the URL as
/// its argument; that second launch calls `handOver`, which passes the URL
/// over a user-only local socket to the waiting session and exits.
///
/// One session waits at a time, in this process and across the user's
/// Corvex programs (the socket is the lock).
class Session final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Session)

public:
    /// Shows the sign-in URL to the user; false when it could not.
    using Opener = std::function<bool(const QUrl&)>;

    enum class Failure { None, Cancelled, Busy, CannotListen, CannotOpen };

    struct Outcome {
        std::optional<QUrl> callback;
        Failure failure = Failure::None;
        QString message; // for the user, when it failed
    };

    /// Opens URLs with the desktop's default browser.
    static bool openInBrowser(const QUrl& url);

    explicit Session(Opener opener = openInBrowser, QObject* parent = nullptr);
    ~Session() override;

    /// Why a URL of the callback scheme is not the answer this sign-in waits
    /// for; empty when it is.
    using AnswerCheck = std::function<QString(const QUrl&)>;

    /// Runs the sign-in. Fails at once with Busy while another session waits.
    /// An answer that `check` refuses is refused to whoever handed it over,
    /// and the sign-in goes on waiting for its own.
    QCoro::Task<Outcome> authenticate(QUrl signInUrl, QString callbackScheme, AnswerCheck check = {});
    /// When set, a browser that could not be opened does not end the sign-in:
    /// `browserNotOpened` is signalled and the session goes on waiting for an
    /// answer from a browser the user opens by hand (who then needs a way to
    /// cancel). Off by default: the session then fails with CannotOpen.
    void setWaitsWhenNotOpened(bool waits) { m_waitsWhenNotOpened = waits; }
    /// Ends a waiting `authenticate` with Cancelled; nothing when none waits.
    void cancel();
    bool isActive() const { return m_active; }

    /// The local socket sessions listen on: $XDG_RUNTIME_DIR/corvex-webauth
    /// (or, when that path is too long for a socket, under /tmp/corvex-<uid>).
    static QString socketPath();

    /// For the second launch: gives `url` to the waiting session. Blocks for
    /// at most `timeoutMs`; use it only in a process that does nothing else.
    static Result<void> handOver(const QUrl& url, int timeoutMs = 3000);

Q_SIGNALS:
    void completed();
    /// The sign-in page could not be shown; the session still waits.
    void browserNotOpened();

private:
    void finish(Outcome outcome);

    Opener m_opener;
    std::unique_ptr<handover::Listener> m_listener;
    QString m_scheme;
    AnswerCheck m_check;
    bool m_active = false;
    bool m_waitsWhenNotOpened = false;
    Outcome m_outcome;
};

} // namespace corvex::webauth
