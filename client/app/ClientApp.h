#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;

namespace kolvaro {

class AboutDialog;
class LoginDialog;
class SendMessageDialog;
class ClientCallback;
class MainWindow;
class ClientOrb;
class CorbaServerLink;
class SessionMonitor;

// The client program: the four forms, made in the order the program has
// always made them, and the wiring between them and the ORB side. main()
// builds one; so do the end-to-end drivers.
class ClientApp : public QObject {
    Q_OBJECT
public:
    ClientApp(int argc, char** argv);
    ~ClientApp() override;

    MainWindow& window() { return *window_; }
    LoginDialog& login() { return *login_; }
    SendMessageDialog& sender() { return *sender_; }
    // Null until the login has completed.
    CorbaServerLink* link() { return link_.get(); }

    void show();
    // Logs nothing out by itself (closing the window does); ends the link and
    // the ORB. False when the ORB could not end in time: a callback is still
    // stuck with a person, so the process should not run its static
    // destructors under it. Idempotent: later calls give the first answer.
    bool shutdown();

signals:
    // The status text about the connection changed (empty: hidden).
    void sessionChanged(const QString& text);

private:
    void makeDialogs();
    void addStatusLabels();
    // With several boards on the network, the person picks one; then the login.
    void chooseBoard();
    // `before`: the name this client had until someone else took it.
    void runLogin(const std::string& before = {});
    void openLink();
    std::vector<std::string> checkedOwners() const;
    void startMonitor();
    // A new session under the same name: areas loaded again, the own one sent.
    void restore(int count, bool keptArea);
    void sessionLost();
    void sessionBack(bool always = false);
    void showSession(const QString& text);
    void nameTaken();
    void sendMessage();
    void messageFinished(const QString& recipient, const std::optional<std::string>& error);
    void reportFailure(const QString& what);

    std::unique_ptr<MainWindow> window_;
    ClientCallback* servant_ = nullptr; // held by the window
    std::unique_ptr<LoginDialog> login_;
    std::unique_ptr<SendMessageDialog> sender_;
    std::unique_ptr<AboutDialog> about_;
    std::unique_ptr<ClientOrb> orb_;
    std::unique_ptr<CorbaServerLink> link_;
    std::unique_ptr<SessionMonitor> monitor_;
    QLabel* sending_ = nullptr;
    QLabel* session_ = nullptr;
    int messagesInFlight_ = 0;
    std::vector<std::string> boards_; // announced on the network, by name
    int startSteps_ = 2;              // the window shown, the network asked
    std::optional<bool> shutdownResult_;
};

} // namespace kolvaro
