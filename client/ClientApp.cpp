#include "ClientApp.h"

#include "ClientOrb.h"
#include "ClientResources.h"
#include "Clientabout.h"
#include "Clientsender.h"
#include "CorbaServerLink.h"
#include "Helper.h"
#include "Loginclient.h"
#include "Winpaint.h"

#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QStatusBar>

namespace kolvaro {

ClientApp::ClientApp(int argc, char** argv) {
    initClientResources();
    window_ = std::make_unique<TWinClient>();
    WinClient = window_.get();
    window_->setWindowIcon(QIcon(QStringLiteral(":/icons/kolvaro.svg")));

    orb_ = std::make_unique<ClientOrb>(argc, argv, &window_->servant(), window_.get());

    LoginHooks hooks;
    hooks.beforeLogin = [this] { window_->servant().FreeNames(); };
    hooks.nameAt = [this](int i) {
        return QString::fromStdString(window_->servant().NameAt(static_cast<std::size_t>(i)));
    };
    hooks.loginAnswered = [this](const QString& name, int result) {
        window_->loginAnswered(name.toStdString(), result);
    };
    login_ = std::make_unique<TCLogin>(*orb_, std::move(hooks), window_.get());
    CLogin = login_.get();
    sender_ = std::make_unique<TCSender>(window_.get());
    CSender = sender_.get();
    about_ = std::make_unique<TAbout>(window_.get());
    About = about_.get();

    // Shown while a message waits for its reader: the window stays usable.
    sending_ = new QLabel(window_.get());
    sending_->setObjectName(QStringLiteral("SendingLabel"));
    sending_->hide();
    window_->statusBar()->addPermanentWidget(sending_);

    window_->setHooks({
        .firstShow = [this] { runLogin(); },
        .send = [this] { sendMessage(); },
        .about = [this] { about_->exec(); },
        .closed = [this] { shutdown(); },
    });
}

ClientApp::~ClientApp() {
    shutdown();
    // The dialogs are children of the window; let them go first.
    about_.reset();
    sender_.reset();
    login_.reset();
    CLogin = nullptr;
    CSender = nullptr;
    About = nullptr;
    WinClient = nullptr;
}

void ClientApp::show() {
    window_->show();
}

void ClientApp::runLogin() {
    const bool entered = login_->exec() == QDialog::Accepted;
    link_ = orb_->makeServerLink(window_.get()); // null unless a name was registered
    if (link_) {
        link_->setFailureHandler(
            [this](const std::string& what) { reportFailure(QString::fromStdString(what)); });
        window_->setServerLink(link_.get());
    }
    if (!entered) {
        // Closing the login dialog ends the program; closing the window logs
        // out a name already registered.
        window_->close();
        return;
    }
    if (!link_)
        return;
    std::vector<std::string> owners;
    for (const QString& name : login_->checkedNames())
        owners.push_back(name.toStdString());
    window_->startWork(owners);
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
    if (link_)
        link_->shutdown();
    return !orb_ || orb_->shutdown();
}

} // namespace kolvaro
