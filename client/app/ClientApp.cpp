#include "ClientApp.h"

#include "link/ClientCallback.h"
#include "link/ClientOrb.h"
#include "link/CorbaServerLink.h"
#include "link/SessionMonitor.h"
#include "widgets/AboutDialog.h"
#include "widgets/BoardChooser.h"
#include "widgets/ClientResources.h"
#include "widgets/LoginDialog.h"
#include "widgets/MainWindow.h"
#include "widgets/SendMessageDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>

namespace kolvaro {

ClientApp::ClientApp(int argc, char** argv) {
    initClientResources();
    window_ = std::make_unique<MainWindow>();
    window_->setWindowIcon(QIcon(QStringLiteral(":/icons/kolvaro.svg")));

    servant_ = new ClientCallback(*window_);
    window_->adoptServant(servant_);
    orb_ = std::make_unique<ClientOrb>(argc, argv, servant_, window_.get());

    makeDialogs();
    addStatusLabels();
    // While the window is being made and shown.
    orb_->lookForBoards([this](std::vector<std::string> names) {
        boards_ = std::move(names);
        chooseBoard();
    });

    window_->setHooks({
        .firstShow = [this] { chooseBoard(); },
        .send = [this] { sendMessage(); },
        .about = [this] { about_->exec(); },
        .closed = [this] { shutdown(); },
    });
}

void ClientApp::makeDialogs() {
    LoginHooks hooks;
    hooks.beforeLogin = [this] {
        servant_->freeNames();
        servant_->listFor(login_->Name->text().toStdString());
    };
    hooks.nameAt = [this](int i) {
        return QString::fromStdString(servant_->nameAt(static_cast<std::size_t>(i)));
    };
    hooks.loginAnswered = [this](const QString& name, int result) {
        window_->loginAnswered(name.toStdString(), result);
    };
    login_ = std::make_unique<LoginDialog>(*orb_, std::move(hooks), window_.get());
    sender_ = std::make_unique<SendMessageDialog>(window_.get());
    about_ = std::make_unique<AboutDialog>(window_.get());
}

void ClientApp::addStatusLabels() {
    // Shown while a message waits for its reader: the window stays usable.
    sending_ = new QLabel(window_.get());
    sending_->setObjectName(QStringLiteral("SendingLabel"));
    sending_->hide();
    window_->statusBar()->addPermanentWidget(sending_);
    // Says when the session with the server is lost and when it is back.
    session_ = new QLabel(window_.get());
    session_->setObjectName(QStringLiteral("SessionLabel"));
    session_->hide();
    window_->statusBar()->addPermanentWidget(session_);
}

ClientApp::~ClientApp() {
    shutdown();
    monitor_.reset();
    // The dialogs are children of the window; let them go first.
    about_.reset();
    sender_.reset();
    login_.reset();
}

void ClientApp::show() {
    window_->show();
}

void ClientApp::chooseBoard() {
    // Once the window shows and the network has answered, whichever comes last.
    if (--startSteps_ > 0)
        return;
    if (boards_.size() > 1) {
        QStringList names;
        for (const std::string& name : boards_)
            names << QString::fromStdString(name);
        BoardChooser chooser(names, window_.get());
        if (chooser.exec() != QDialog::Accepted) {
            window_->close();
            return;
        }
        orb_->chooseBoard(chooser.chosen().toStdString());
    }
    runLogin();
}

void ClientApp::runLogin(const std::string& before) {
    const bool entered = login_->exec() == QDialog::Accepted;
    if (link_) {
        // The dialog came back because someone else took the name.
        if (!entered) {
            window_->close();
            return;
        }
        if (window_->ownName() == before) {
            // The name is back: what was kept for it goes out after all.
            restore(window_->allCount(), servant_->listed().keptArea);
        } else {
            window_->closeAreas();
            link_->resume(CorbaServerLink::Resume::Discard);
            window_->startWork(checkedOwners());
        }
        sessionBack(true);
        startMonitor();
        return;
    }
    openLink();
    if (!entered) {
        // Closing the login dialog ends the program; closing the window logs
        // out a name already registered.
        window_->close();
        return;
    }
    if (!link_)
        return;
    window_->startWork(checkedOwners());
    startMonitor();
}

void ClientApp::openLink() {
    link_ = orb_->makeServerLink(window_.get()); // null unless a name was registered
    if (!link_)
        return;
    link_->setFailureHandler(
        [this](const std::string& what) { reportFailure(QString::fromStdString(what)); });
    link_->setTroubleHandler([this] {
        if (monitor_)
            monitor_->callTroubled();
    });
    window_->setServerLink(link_.get());
}

std::vector<std::string> ClientApp::checkedOwners() const {
    std::vector<std::string> owners;
    for (const QString& name : login_->checkedNames())
        owners.push_back(name.toStdString());
    return owners;
}

void ClientApp::startMonitor() {
    if (!monitor_) {
        ClientCallback* servant = servant_;
        SessionMonitor::Hooks hooks;
        hooks.lost = [this](const std::string& reason) {
            sessionLost();
            session_->setToolTip(QString::fromStdString(reason));
        };
        hooks.held = [this] {
            orb_->adoptServer(*link_);
            if (link_->stopped())
                link_->resume(CorbaServerLink::Resume::SessionHeld);
            sessionBack();
        };
        hooks.registered = [this](int count, bool keptArea) {
            orb_->adoptServer(*link_);
            restore(count, keptArea);
            sessionBack(true);
        };
        hooks.taken = [this] { nameTaken(); };
        monitor_ = std::make_unique<SessionMonitor>(
            [this, servant](std::function<void(SessionMonitor::Check)> done) {
                orb_->checkSession(
                    window_->ownName(), [servant] { return servant->Probes(); }, std::move(done));
            },
            SessionMonitor::Witness{[servant] { return servant->Probes(); },
                                    [servant] { return servant->listed(); }},
            std::move(hooks), SessionMonitor::Timing{});
    }
    monitor_->start();
}

void ClientApp::restore(int count, bool keptArea) {
    // Strokes whose calls completed are in the area the server kept.
    link_->resume(
        CorbaServerLink::Resume::ServerForgot, [this, count] { window_->restoreSession(count); },
        keptArea ? std::string() : window_->ownName());
}

void ClientApp::showSession(const QString& text) {
    session_->setText(text);
    session_->setVisible(!text.isEmpty());
    if (text.isEmpty())
        session_->setToolTip({});
    emit sessionChanged(text);
}

void ClientApp::sessionLost() {
    showSession(QStringLiteral("Server lost \u2014 reconnecting..."));
}

void ClientApp::sessionBack(bool always) {
    if (session_->isHidden() && !always)
        return;
    const QString back = QStringLiteral("Connected again");
    showSession(back);
    QTimer::singleShot(5000, session_, [this, back] {
        if (session_->text() == back)
            showSession({});
    });
}

void ClientApp::nameTaken() {
    showSession(
        QStringLiteral("Logged out: %1 is taken").arg(QString::fromStdString(window_->ownName())));
    // Nothing kept may reach the area of whoever has the name now, nor be
    // lost if the user gets the name back; closing the window must not log
    // the holder out.
    link_->hold();
    const std::string name = window_->ownName();
    window_->forgetOwnName();
    // Asking once more brings the dialog up with the usual refusal.
    login_->Name->setText(QString::fromStdString(name));
    QTimer::singleShot(0, login_.get(), [this] { login_->registerEnteredName(); });
    runLogin(name);
}

void ClientApp::sendMessage() {
    if (!link_)
        return;
    QStringList captions;
    for (QMdiSubWindow* sub : window_->mdiArea()->subWindowList(QMdiArea::CreationOrder))
        captions << sub->windowTitle();
    const QString own = QString::fromStdString(window_->ownName());
    sender_->prepare(captions, own);
    if (sender_->exec() != QDialog::Accepted)
        return;
    const QString recipient = sender_->recipient();
    ++messagesInFlight_;
    sending_->setText(QStringLiteral("Message to %1 on its way...").arg(recipient));
    sending_->show();
    link_->sendTxt(
        sender_->text().toStdString(), recipient.toStdString(), own.toStdString(),
        [this, recipient](std::optional<std::string> error) { messageFinished(recipient, error); });
}

void ClientApp::messageFinished(const QString& recipient, const std::optional<std::string>& error) {
    if (--messagesInFlight_ == 0)
        sending_->hide();
    if (error)
        reportFailure(QStringLiteral("The message to %1 was not delivered: %2")
                          .arg(recipient, QString::fromStdString(*error)));
}

void ClientApp::reportFailure(const QString& what) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kolvaro"), what,
                                QMessageBox::Ok, window_.get());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool ClientApp::shutdown() {
    if (shutdownResult_)
        return *shutdownResult_;
    if (monitor_)
        monitor_->stop();
    if (link_)
        link_->shutdown();
    shutdownResult_ = !orb_ || orb_->shutdown();
    return *shutdownResult_;
}

} // namespace kolvaro
