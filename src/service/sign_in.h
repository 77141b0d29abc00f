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

class AppManager;

/// The token a sign-in callback carries: the value of its first query item
/// named exactly "token". None when there is no such item, when it is empty,
/// or when it holds characters that cannot travel in a header.
std::optional<QString> tokenFromCallback(const QUrl& callback);

/// The callback's text with every "token" value hidden, fit for printing.
QString redactedCallback(const QUrl& callback);

/// "Access Token: stored (ends in …abcd)" or "Access Token: Not Found". The
/// token itself is never printed.
QString accessTokenLine(const std::optional<QString>& token);

/// Writes one line where the sign-in reports its progress.
using LinePrinter = std::function<void(const QString&)>;
/// Prints on standard output.
void printToStandardOutput(const QString& line);

/// Signs in through the browser: waits for the callback, stores its token in
/// `manager` (none clears an earlier one) and prints the two progress lines.
/// A failed or cancelled session changes nothing and prints nothing.
QCoro::Task<> signIn(webauth::Session& session, AppManager& manager, LinePrinter print = printToStandardOutput);

/// The part after a successful session: stores the callback's token and
/// prints the two lines.
void completeSignIn(const QUrl& callback, AppManager& manager, const LinePrinter& print = printToStandardOutput);

} // namespace corvex::service
