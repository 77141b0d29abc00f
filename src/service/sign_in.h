#pragma once

#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <optional>

namespace corvex::webauth {
class Session;
}

namespace corvex::service {

class Session;

/// What a sign-in callback carries: the value of its one query item named
/// exactly "token", or none with the reason for the author.
struct CallbackToken {
    std::optional<QString> token;
    QString problem; // empty when a token was found
    bool foreign = false; // the answer to another sign-in: nothing is to change
};

/// One sign-in: the page to open, with a fresh `state` that the service
/// hands back in its answer. An answer without this very state was not asked
/// for here (a web page that signs the author in to an account of its own
/// choosing sends one) and is refused.
struct SignInRequest {
    QUrl url;
    QString state;

    /// A new request on `origin`, its state 32 URL-safe characters from the
    /// system's cryptographic random source.
    static SignInRequest make(const QString& origin);
    /// Refuses, for webauth::Session::authenticate, an answer without this
    /// request's state: a page that sends one must not end the author's sign-in.
    std::function<QString(const QUrl&)> answerCheck() const;
};

/// Reads the callback. None when its one "state" item is not `expectedState`
/// (nothing is to change then: the answer belongs to another sign-in), when
/// there is no "token" item, when it is empty or holds characters that
/// cannot travel in a header, and when there is more than one: a forged
/// sign-in link puts its own token first, so a callback with two is refused
/// rather than trusted.
CallbackToken readCallback(const QUrl& callback, const QString& expectedState);
/// The callback's token, unchecked against any sign-in (for reading a
/// service's answer in tests and tools).
std::optional<QString> tokenFromCallback(const QUrl& callback);
/// The callback's "state" item, empty when it has none.
QString stateOfCallback(const QUrl& callback);

/// The callback's text with every "token" value hidden, fit for printing.
QString redactedCallback(const QUrl& callback);

/// "Access Token: stored" or "Access Token: Not Found"; nothing of the token
/// itself is ever printed.
QString accessTokenLine(const std::optional<QString>& token);

/// Writes one line where the sign-in reports its progress.
using LinePrinter = std::function<void(const QString&)>;
/// Prints on standard output.
void printToStandardOutput(const QString& line);

/// Signs in through the browser: waits for the callback, stores its token in
/// `manager` (none clears an earlier one) and prints the two progress lines.
/// A failed or cancelled session changes nothing and prints nothing.
QCoro::Task<> signIn(webauth::Session& session, Session& manager, LinePrinter print = printToStandardOutput);

/// The part after a successful session: stores the callback's token (none
/// when it carries no usable one) and prints the two lines. Gives the reason
/// when no token was stored, also set as the session's signed-out message.
/// An answer to another sign-in (its state is not `expectedState`) changes
/// nothing stored.
QString completeSignIn(const QUrl& callback, const QString& expectedState, Session& manager,
    const LinePrinter& print = printToStandardOutput);

/// The hidden fields of a sign-in page's form (the reference service's plain
/// form), form-encoded, to be sent back with the credentials.
QByteArray hiddenFormFields(const QByteArray& page);

} // namespace corvex::service
