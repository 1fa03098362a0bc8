#include "LoginDialog.h"

#include "FormLabel.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <algorithm>

namespace kolvaro {

LoginDialog::LoginDialog(Registrar& registrar, LoginHooks hooks, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      registrar_(registrar), hooks_(std::move(hooks)) {
    setWindowTitle(QStringLiteral("Login"));
    setFixedSize(298, 232);
    setModal(true);

    Label1 = boldLabel(QStringLiteral("Enter your login name"), this, 8, 8);

    Name = new QLineEdit(this);
    Name->setGeometry(8, 24, 177, 21);
    Name->setMaxLength(20);

    Registration = new QPushButton(QStringLiteral("Registration"), this);
    // Wider, and the dialog with it, when the user's font needs the room.
    const QSize fits = Registration->sizeHint().expandedTo({75, 25});
    Registration->setGeometry(208, 24, fits.width(), fits.height());
    setFixedSize(std::max(298, 208 + fits.width() + 15), 232);

    Label2 = boldLabel(QStringLiteral("Choose name of clients"), this, 8, 64);

    ClientsBox = new QListWidget(this);
    ClientsBox->setGeometry(8, 88, 281, 97);

    Enter = new QPushButton(QStringLiteral("Enter"), this);
    Enter->setGeometry(120, 192, 75, 25);
    Enter->setDefault(true);

    // Not one of the form's own controls: tells that the server is being asked.
    Busy = new QLabel(QStringLiteral("Registering..."), this);
    Busy->setGeometry(8, 196, 105, 17);
    Busy->hide();
    wireControls();
}

// The tab order, what stays off until a name is registered, and the buttons.
void LoginDialog::wireControls() {
    setTabOrder(Name, Registration);
    setTabOrder(Registration, Enter);
    setTabOrder(Enter, ClientsBox);

    Label2->setEnabled(false);
    ClientsBox->setEnabled(false);
    Enter->setEnabled(false);

    connect(Registration, &QPushButton::clicked, this, &LoginDialog::registerEnteredName);
    connect(Enter, &QPushButton::clicked, this, &QDialog::accept);
}

void LoginDialog::registerEnteredName() {
    if (busy_)
        return;
    setNameEntry(true);
    const QString name = Name->text();
    if (hooks_.beforeLogin)
        hooks_.beforeLogin();
    setBusy(true);
    QPointer<LoginDialog> self(this);
    registrar_.registerName(name, [self, name](LoginOutcome outcome) {
        if (self)
            self->finishAttempt(name, outcome);
    });
}

void LoginDialog::finishAttempt(const QString& name, const LoginOutcome& outcome) {
    setBusy(false);
    if (!outcome.result) {
        QMessageBox::critical(this, QStringLiteral("Login"), outcome.error);
        setNameEntry(true);
        Name->setFocus();
        emit attemptFinished();
        return;
    }
    const int allCount = *outcome.result;
    if (allCount == -1) {
        if (hooks_.loginAnswered)
            hooks_.loginAnswered(name, allCount);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                        QStringLiteral("This Login Name already exist. Please enter other Name."),
                        QMessageBox::Ok, this);
        box.exec();
        setNameEntry(true);
        Name->setFocus();
        emit attemptFinished();
        return;
    }
    setNameEntry(false);
    ClientsBox->clear();
    for (int i = 0; i <= allCount - 2; ++i) {
        auto* item = new QListWidgetItem(hooks_.nameAt ? hooks_.nameAt(i) : QString(), ClientsBox);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
    }
    if (hooks_.loginAnswered)
        hooks_.loginAnswered(name, allCount);
    Enter->setFocus();
    emit attemptFinished();
}

QStringList LoginDialog::checkedNames() const {
    QStringList names;
    for (int i = 0; i < ClientsBox->count(); ++i) {
        if (ClientsBox->item(i)->checkState() == Qt::Checked)
            names << ClientsBox->item(i)->text();
    }
    return names;
}

void LoginDialog::setNameEntry(bool on) {
    Name->setEnabled(on);
    Label1->setEnabled(on);
    Registration->setEnabled(on);
    Label2->setEnabled(!on);
    ClientsBox->setEnabled(!on);
    Enter->setEnabled(!on);
}

void LoginDialog::setBusy(bool on) {
    busy_ = on;
    Busy->setVisible(on);
    Name->setEnabled(!on);
    Registration->setEnabled(!on);
    if (on)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void LoginDialog::reject() {
    // A login in flight has to be answered before the dialog may go.
    if (!busy_)
        QDialog::reject();
}

void LoginDialog::keyPressEvent(QKeyEvent* event) {
    // Without a cancel button Escape means nothing here.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kolvaro
