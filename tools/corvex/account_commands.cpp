// corvex login, whoami and logout, and the hand-over of a corvexapp: address
// to a waiting sign-in. They share the studio's settings store, so signing in
// here signs the studio in.

#include "cli_support.h"
#include "commands.h"

#include "platform/webauth/session.h"
#include "service/service_urls.h"
#include "service/session.h"
#include "service/sign_in.h"

#include <QCommandLineParser>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QUrlQuery>

#include <QCoroNetworkReply>
#include <QCoroTask>

#include <csignal>
#include <cstdio>
#include <memory>

#include <termios.h>
#include <unistd.h>

namespace corvex::cli {

using service::Session;

namespace {

int reportAccount(Session& manager)
{
    // Asked as the token's owner, so that a refused token is forgotten before
    // this returns, not whenever the session's own account request answers.
    const Session::AccountOutcome outcome = QCoro::waitFor(manager.ownerOf(manager.accessToken().value_or(QString())));
    if (outcome.error) {
        printError(outcome.error->message());
        return Failure;
    }
    printOut(QStringLiteral("Signed in as %1 (account %2)").arg(outcome.account->email, outcome.account->id));
    return Success;
}

/// Fills in the sign-in page's form the way a browser would, for services
/// whose page is the plain form of the reference service. The callback the
/// page redirects to, or none with the reason.
QCoro::Task<std::optional<QUrl>> submitSignInForm(
    QUrl page, QString email, QString password, bool create, QString* error)
{
    // The page first: its form carries fields of its own (and its cookie,
    // kept by the network manager), which go back with the credentials.
    QNetworkAccessManager network;
    QNetworkRequest get(page);
    get.setTransferTimeout(30000);
    const std::unique_ptr<QNetworkReply> form(co_await network.get(get));
    const QByteArray fields = service::hiddenFormFields(form->readAll());
    QNetworkRequest post(page);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    post.setTransferTimeout(30000);
    const std::unique_ptr<QNetworkReply> answer(co_await network.post(post,
        fields + "email=" + QUrl::toPercentEncoding(email) + "&password=" + QUrl::toPercentEncoding(password)
            + (create ? "&action=create" : "&action=signin")));
    const int status = answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answer->error() != QNetworkReply::NoError && status == 0) {
        *error = QStringLiteral("the service could not be reached (%1)").arg(answer->errorString());
        co_return std::nullopt;
    }
    // Signed in, the page sends the browser on to the callback ("0; url=...").
    const QByteArray refresh = answer->rawHeader("Refresh");
    const QUrl callback = QUrl::fromEncoded(refresh.mid(refresh.indexOf("url=") + 4));
    if (status == 200 && refresh.contains("url=") && callback.scheme() == QLatin1StringView("corvexapp"))
        co_return callback;
    // The page came back with its message: the form is answered in a paragraph of it.
    static const QRegularExpression message(QStringLiteral("<p role=\"alert\">([^<]*)</p>"));
    const QRegularExpressionMatch found = message.match(QString::fromUtf8(answer->readAll()));
    *error = found.hasMatch() ? found.captured(1)
                              : QStringLiteral("the sign-in page answered HTTP %1 without returning to the studio; "
                                               "sign in with the browser instead ('corvex login')")
                                    .arg(status);
    co_return std::nullopt;
}

termios g_terminal {};

void restoreTerminalAndQuit(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
    ::_exit(128 + signal);
}

/// The first line of standard input. On a terminal it is asked for, and not
/// shown as it is typed; Ctrl+C meanwhile gives the terminal its echo back.
QString readPassword()
{
    QTextStream input(stdin);
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &g_terminal) != 0)
        return input.readLine();
    struct sigaction action { };
    action.sa_handler = restoreTerminalAndQuit;
    sigemptyset(&action.sa_mask);
    struct sigaction previousInt { };
    struct sigaction previousTerm { };
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    termios quiet = g_terminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    const QString password = input.readLine();
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    std::fputs("\n", stderr);
    return password;
}

} // namespace

int runLogin(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption callbackOption(QStringLiteral("token-from-callback"),
        QStringLiteral("Complete the sign-in with this callback URL (corvexapp://callback?token=...&state=...) "
                       "instead of waiting for the browser; only an answer you got yourself."),
        QStringLiteral("URL"));
    const QCommandLineOption openOption(
        QStringLiteral("open"), QStringLiteral("Also open the sign-in page with xdg-open."));
    const QCommandLineOption emailOption(QStringLiteral("email"),
        QStringLiteral("Sign in without a browser as ADDRESS, reading the password from standard input (asked "
                       "for, unseen, on a terminal), for the reference service, whose sign-in page is a plain form."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption createOption(QStringLiteral("create"),
        QStringLiteral("With --email: create the account (with the password read) instead of signing in to it."));
    parser.addOptions({ callbackOption, openOption, emailOption, createOption });
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("Sign in to the light-show service. Prints the sign-in page's address and waits until the "
                           "browser returns to corvexapp://callback (the desktop hands that address to a waiting "
                           "Corvex program; 'corvex corvexapp://...' does the same by hand). The token is stored in "
                           "the settings shared with the studio and never printed."),
            0, 0))
        return *exit;
    Session* shared = serviceManager();
    if (!shared)
        return Failure;

    QString problem;
    std::optional<QString> earlierToken;
    std::optional<service::Account> earlierAccount;
    if (parser.isSet(callbackOption)) {
        const QUrl callback(parser.value(callbackOption), QUrl::StrictMode);
        if (!callback.isValid() || callback.scheme() != QLatin1StringView("corvexapp")) {
            printError(QStringLiteral("--token-from-callback needs a corvexapp: URL"));
            return Usage;
        }
        // Handed over by the user, not awaited by a sign-in of ours: there is
        // no state of ours it could be checked against.
        earlierToken = shared->accessToken();
        earlierAccount = shared->account();
        problem = service::completeSignIn(callback, service::stateOfCallback(callback), *shared);
    } else if (parser.isSet(createOption) && !parser.isSet(emailOption)) {
        printError(QStringLiteral("--create goes with --email ADDRESS; in the browser, press Create account"));
        return Usage;
    } else if (parser.isSet(emailOption)) {
        const QString password = readPassword();
        if (password.isEmpty()) {
            printError(QStringLiteral("--email needs the password on standard input, for example: "
                                      "echo \"$PASSWORD\" | corvex login --email %1")
                           .arg(parser.value(emailOption)));
            return Usage;
        }
        QString error;
        const service::SignInRequest request = service::SignInRequest::make(*shared->serviceOrigin());
        const std::optional<QUrl> callback = QCoro::waitFor(
            submitSignInForm(request.url, parser.value(emailOption), password, parser.isSet(createOption), &error));
        if (!callback) {
            printError(QStringLiteral("sign-in failed: %1").arg(error));
            return Failure;
        }
        problem = service::completeSignIn(*callback, request.state, *shared);
    } else {
        const bool open = parser.isSet(openOption);
        webauth::Session session([open](const QUrl& url) {
            printOut(QStringLiteral("Open this address in a web browser to sign in:\n  %1\n"
                                    "Waiting for the browser to return to the studio (Ctrl+C to stop)...")
                         .arg(url.toString()));
            if (open)
                QProcess::startDetached(QStringLiteral("xdg-open"), { url.toString() });
            return true;
        });
        // The same steps as signIn(), which stays silent about a failed
        // session; here the user learns why.
        const service::SignInRequest request = service::SignInRequest::make(*shared->serviceOrigin());
        const auto outcome
            = QCoro::waitFor(session.authenticate(request.url, QStringLiteral("corvexapp"), request.answerCheck()));
        if (!outcome.callback) {
            printError(QStringLiteral("sign-in failed: %1").arg(outcome.message));
            return Failure;
        }
        problem = service::completeSignIn(*outcome.callback, request.state, *shared);
    }
    int status = Failure;
    if (!problem.isEmpty() || !shared->accessToken())
        printError(QStringLiteral("sign-in failed: %1").arg(problem));
    else
        status = reportAccount(*shared);
    // A handed-over answer that cannot be used, or whose token the service
    // refuses, leaves the sign-in that worked before.
    if (earlierToken && !shared->accessToken()) {
        shared->setAccessToken(earlierToken);
        shared->setAccount(earlierAccount);
        printError(QStringLiteral("the earlier sign-in stays"));
    }
    return status;
}

int runWhoami(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("Show the account the stored sign-in belongs to, as the service reports it."), 0, 0))
        return *exit;
    Session* shared = serviceManager();
    if (!shared || !requireToken(*shared))
        return Failure;
    return reportAccount(*shared);
}

int runLogout(const QStringList& arguments)
{
    QCommandLineParser parser;
    if (const auto exit = parseCommand(parser, arguments,
            QStringLiteral("Sign out: forget the stored access token (the studio shares it) and ask the service to "
                           "end it, so that a copy of it is of no use either."),
            0, 0))
        return *exit;
    Session* shared = serviceManager();
    if (!shared)
        return Failure;
    if (!shared->accessToken()) {
        printOut(QStringLiteral("not signed in"));
        return Success;
    }
    const std::optional<service::ServiceError> error = QCoro::waitFor(shared->signOut());
    if (shared->accessToken()) {
        printError(
            QStringLiteral("not signed out: %1")
                .arg(error ? error->message() : QStringLiteral("the token stays in %1").arg(shared->settingsPath())));
        return Failure;
    }
    if (error) {
        printError(QStringLiteral("signed out here, but the service could not end the token (%1); it stays valid "
                                  "there until it expires")
                       .arg(error->message()));
        return Failure;
    }
    printOut(QStringLiteral("signed out; the service ended the token"));
    return Success;
}

int runHandOver(const QString& url)
{
    if (const Result<void> handed = webauth::Session::handOver(QUrl(url, QUrl::StrictMode)); !handed) {
        printError(handed.error);
        return Failure;
    }
    return Success;
}

} // namespace corvex::cli
