#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace corvex::handover {

/// The longest message a listener takes, in bytes (a sign-in answer with its
/// token fits many times over).
constexpr qsizetype kMaxMessage = 16 * 1024;

/// Where the listener called `name` has its socket: in the user's runtime
/// folder, or, when that path would not fit a socket address, in an
/// owner-only folder of our own under /tmp. Fails when `name` is not a plain
/// file name or no owner-only folder can be had.
Result<QString> socketPath(const QString& name);

/// Why a message did not arrive.
enum class Failure {
    None,
    InvalidMessage, // empty, too long, or with a line break or control byte: not sent
    NobodyListening, // no socket, or a socket left behind by a program that ended
    Refused, // the listener read it and said no; `reason` says why
    NoAnswer, // connected, but no answer before the deadline
};

struct Delivery {
    Failure failure = Failure::None;
    QString reason; // for a person: what went wrong, never the message itself
    bool ok() const { return failure == Failure::None; }
};

enum class Wait {
    No, // nobody listening fails at once
    ForListener, // a listener that is still starting may appear before the deadline
};

/// Sends one message line to the listener `name` and waits for its answer.
/// Blocks for at most `timeout`: use it only in a process that does nothing
/// else meanwhile (a second launch), or off the GUI thread.
Delivery send(const QString& name, const QByteArray& message, std::chrono::milliseconds timeout, Wait wait = Wait::No);

/// Listens on the owner-only socket `name` for one-line messages from other
/// processes of the same user. At most one listener per name and user: a lock
/// file beside the socket says who listens, so a socket file left behind by a
/// program that crashed is recognised and replaced.
class Listener final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Listener)

public:
    enum class Result { Listening, Busy, CannotListen };
    /// Says whether a message is taken: an empty text takes it, any other text
    /// is the reason given back to the sender.
    using Judge = std::function<QString(const QByteArray&)>;

    explicit Listener(QString name, QObject* parent = nullptr);
    ~Listener() override;

    /// Starts listening. Busy when another process (or listener) holds the
    /// name; CannotListen with `error()` when the socket cannot be made.
    Result listen();
    void close();
    bool isListening() const;
    QString path() const { return m_path; }
    QString error() const { return m_error; }
    void setJudge(Judge judge) { m_judge = std::move(judge); }
    /// A connection that sends no complete line within this time is dropped.
    void setReadTimeout(std::chrono::milliseconds timeout) { m_readTimeout = timeout; }

Q_SIGNALS:
    /// A message that the judge took (or every well-formed one without a judge).
    void messageReceived(const QByteArray& message);

private:
    void accept();
    void readFrom(QLocalSocket* socket);

    QString m_name;
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
    QString m_error;
    Judge m_judge;
    std::chrono::milliseconds m_readTimeout { 5000 };
};

} // namespace corvex::handover
