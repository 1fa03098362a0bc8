#pragma once

#include "surface/Registrar.h"

#include <QDialog>
#include <QStringList>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kolvaro {

// What the login dialog leaves in the main window. Unset hooks are skipped.
struct LoginHooks {
    // Runs before each attempt, e.g. to empty the list of known names.
    std::function<void()> beforeLogin;
    // The name the server announced at a position (the callback servant's
    // list of known names, filled by PrintClient during Login).
    std::function<QString(int index)> nameAt;
    // Every answer of Login, -1 for a name in use: the main window keeps it
    // as its count of users and, for any other answer, takes the name as its
    // own and applies the Send rule. A failed call is no answer.
    std::function<void(const QString& name, int result)> loginAnswered;
};

// The modal dialog in which the user registers a login name and then picks
// the logged-in users whose areas are to be shown.
//
// The login runs through a Registrar, off the window thread; the dialog
// stays modal meanwhile, shows that it is busy, and cannot be closed.
class LoginDialog : public QDialog {
    Q_OBJECT

public:
    LoginDialog(Registrar& registrar, LoginHooks hooks, QWidget* parent = nullptr);

    QLabel* Label1;
    QLineEdit* Name;
    QPushButton* Registration;
    QLabel* Label2;
    QListWidget* ClientsBox;
    QPushButton* Enter;
    QLabel* Busy;

    void registerEnteredName();

    bool busy() const { return busy_; }
    // The names whose lines are ticked, in list order.
    QStringList checkedNames() const;

signals:
    // After every finished attempt: refused, failed or registered.
    void attemptFinished();

public slots:
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void wireControls();
    void finishAttempt(const QString& name, const LoginOutcome& outcome);
    void setNameEntry(bool on);
    void setBusy(bool on);

    Registrar& registrar_;
    LoginHooks hooks_;
    bool busy_ = false;
};

} // namespace kolvaro
