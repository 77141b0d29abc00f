#pragma once

#include "app/studio_environment.h"

#include <QPointer>
#include <QWidget>

#include <QCoroTask>

class QAction;
class QDialog;
class QLabel;
class QPushButton;

namespace corvex::app {

/// What the library shows while nobody is signed in: "Sign in to view your
/// light shows" and "Sign In", which first checks that the service answers
/// and then sends the author to its sign-in page in the browser, with a small
/// window that waits for the browser's answer (and shows the address to open
/// by hand). Whatever keeps the sign-in from happening is said under the button.
class SignInPrompt final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignInPrompt)

public:
    explicit SignInPrompt(StudioEnvironment& environment, QWidget* parent = nullptr);

    /// "Sign In…", for the window's menu; disabled while a sign-in runs.
    QAction* signInAction() const { return m_action; }
    /// Shows why the author is not signed in, under the button.
    void showProblem(const QString& message);
    void clearProblem();

private:
    QCoro::Task<> signIn();
    QDialog* waitingDialog(const QUrl& signInUrl);
    void setBusy(bool busy);

    StudioEnvironment& m_environment;
    QPushButton* m_button;
    QLabel* m_problem;
    QAction* m_action;
};

} // namespace corvex::app
