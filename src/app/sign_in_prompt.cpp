#include "app/sign_in_prompt.h"

#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "service/service_urls.h"
#include "service/session.h"
#include "service/sign_in.h"

#include "platform/http/http_client.h"
#include "platform/webauth/session.h"

#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

// How long the service may take to answer before "Sign In" says it is not there.
constexpr std::chrono::seconds kReachTimeout { 8 };

// Why the service cannot take a sign-in now, or nothing when it answered its
// sign-in page: a browser sent to a service that is down shows only its own
// error page.
QCoro::Task<QString> serviceProblem(QUrl signInUrl, QString origin)
{
    http::Client client;
    client.setTimeout(kReachTimeout);
    http::Request request;
    request.url = signInUrl;
    const http::Reply reply = co_await client.send(request);
    if (reply.error)
        co_return QStringLiteral("The light-show service at %1 cannot be reached: %2. Check that it is running and "
                                 "that its address in Settings is right, then press Sign In again.")
            .arg(origin, reply.error->message);
    if (reply.status >= 500)
        co_return QStringLiteral("The light-show service at %1 has a problem on its side (status %2). Try again "
                                 "later.")
            .arg(origin)
            .arg(reply.status);
    if (reply.status != 200)
        co_return QStringLiteral("%1 answered with status %2 instead of its sign-in page: is it a Corvex light-show "
                                 "service? Check its address in Settings.")
            .arg(origin)
            .arg(reply.status);
    co_return QString();
}

} // namespace

SignInPrompt::SignInPrompt(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
    , m_button(new QPushButton(QStringLiteral("Sign In"), this))
    , m_problem(text_styles::label({}, text_styles::body(), text_styles::failure(text_styles::darkPalette()), this))
    , m_action(new QAction(QStringLiteral("Sign In…"), this))
{
    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    column->addStretch();
    auto* text = text_styles::label(QStringLiteral("Sign in to view your light shows"), text_styles::title2(),
        text_styles::secondary(text_styles::darkPalette()), this);
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text, 0, Qt::AlignHCenter);
    m_button->setDefault(true);
    text_styles::makeProminent(m_button);
    m_button->setMinimumWidth(120);
    column->addWidget(m_button, 0, Qt::AlignHCenter);
    m_problem->setAlignment(Qt::AlignCenter);
    m_problem->setWordWrap(true);
    m_problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_problem->hide();
    column->addWidget(m_problem);
    column->addStretch();
    m_action->setToolTip(QStringLiteral("Sign in to your light-show service"));
    connect(m_button, &QPushButton::clicked, this, [this] { signIn(); });
    connect(m_action, &QAction::triggered, this, [this] { signIn(); });
}

void SignInPrompt::showProblem(const QString& message)
{
    m_problem->setText(message);
    m_problem->show();
}

void SignInPrompt::clearProblem()
{
    m_problem->clear();
    m_problem->hide();
}

void SignInPrompt::setBusy(bool busy)
{
    m_button->setEnabled(!busy);
    m_action->setEnabled(!busy);
}

QDialog* SignInPrompt::waitingDialog(const QUrl& signInUrl)
{
    // A small window says where the sign-in goes on, shows the address to
    // copy into a browser by hand, and lets the author give up.
    auto* waiting = new QDialog(this);
    waiting->setAttribute(Qt::WA_DeleteOnClose);
    waiting->setWindowTitle(QStringLiteral("Sign In"));
    waiting->setMinimumWidth(460);
    auto* column = new QVBoxLayout(waiting);
    auto* text = new QLabel(QStringLiteral("Finish signing in in your web browser. If no browser opened, open this "
                                           "address in one yourself; this window waits for the answer."),
        waiting);
    text->setWordWrap(true);
    column->addWidget(text);
    auto* addressRow = new QHBoxLayout;
    auto* address = new QLineEdit(signInUrl.toString(), waiting);
    address->setReadOnly(true);
    address->setAccessibleName(QStringLiteral("Sign-in address"));
    auto* copy = new QPushButton(QStringLiteral("Copy"), waiting);
    copy->setIcon(studioIcon(StudioIcon::Copy));
    addressRow->addWidget(address, 1);
    addressRow->addWidget(copy);
    column->addLayout(addressRow);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), waiting);
    column->addWidget(cancel, 0, Qt::AlignRight);
    webauth::Session& session = m_environment.signInSession;
    connect(copy, &QPushButton::clicked, waiting, [address, copy] {
        QGuiApplication::clipboard()->setText(address->text());
        copy->setText(QStringLiteral("Copied"));
    });
    connect(&session, &webauth::Session::browserNotOpened, waiting, [text] {
        text->setText(QStringLiteral("No web browser could be opened. Open this address in a browser yourself; "
                                     "this window waits for the answer."));
    });
    connect(cancel, &QPushButton::clicked, &session, &webauth::Session::cancel);
    connect(waiting, &QDialog::rejected, &session, &webauth::Session::cancel);
    waiting->open();
    address->setFocus();
    address->selectAll();
    return waiting;
}

QCoro::Task<> SignInPrompt::signIn()
{
    QPointer<SignInPrompt> self(this);
    service::Session& manager = m_environment.session;
    const std::optional<QString> origin = manager.serviceOrigin();
    if (!origin) {
        showProblem(QStringLiteral("Cannot sign in: %1").arg(manager.configurationError()));
        co_return;
    }
    const service::SignInRequest request = service::SignInRequest::make(*origin);
    const QUrl& signInUrl = request.url;
    setBusy(true);
    clearProblem();
    const QString problem = co_await serviceProblem(signInUrl, *origin);
    if (!self)
        co_return;
    if (!problem.isEmpty()) {
        setBusy(false);
        showProblem(problem);
        co_return;
    }

    webauth::Session& session = m_environment.signInSession;
    QPointer<QDialog> dialog(waitingDialog(signInUrl));
    session.setWaitsWhenNotOpened(true);
    const webauth::Session::Outcome outcome
        = co_await session.authenticate(signInUrl, QStringLiteral("corvexapp"), request.answerCheck());
    if (dialog) {
        dialog->disconnect(&session);
        dialog->close();
    }
    if (!self)
        co_return;
    setBusy(false);
    if (outcome.callback) {
        const QString refused = service::completeSignIn(*outcome.callback, request.state, manager);
        if (!refused.isEmpty())
            showProblem(refused);
        else if (!manager.accessToken())
            showProblem(QStringLiteral("The sign-in did not return an access token. Press Sign In to try again."));
        co_return;
    }
    if (outcome.failure != webauth::Session::Failure::Cancelled)
        showProblem(QStringLiteral("Cannot sign in: %1.").arg(outcome.message));
}

} // namespace corvex::app
