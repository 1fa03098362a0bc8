#pragma once

#include "AreaHost.h"
#include "AreaWorkspace.h"
#include "surface/ClientEvents.h"
#include "surface/QueuedDelivery.h"
#include "surface/SessionRoster.h"
#include "surface/Shape.h"
#include "surface/Tool.h"

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QMessageBox;
class QPrinter;
class QToolBar;

namespace kolvaro {
class ServerLink;
class AreaWindow;

// The main window: the frame around the area workspace, with the commands,
// the status bar and the dialogs' hooks. What the callback servant reports
// lands here, always on the window thread; who is logged in is kept by the
// roster, the areas by the workspace.
class MainWindow : public QMainWindow, public AreaHost, public ClientEvents {
    Q_OBJECT
public:
    // What the program plugs in: the dialogs and the steps around the login.
    struct Hooks {
        std::function<void()> firstShow; // run the login when the window first shows
        std::function<void()> send;      // the Send message command
        std::function<void()> about;     // the About command
        std::function<void()> closed;    // after the window has logged out and closed
    };

    explicit MainWindow(ServerLink* link = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    void setServerLink(ServerLink* link) { link_ = link; }
    void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }
    // The callback object, made by whoever starts the ORB; the window holds
    // one reference to it from here on and lets it go when the window goes.
    void adoptServant(CallbackServant* servant) { servant_ = servant; }
    CallbackServant* servant() const { return servant_; }

    // The answer to Login for `name`: the count of clients, or -1 when the
    // name is taken.
    void loginAnswered(const std::string& name, int result);
    // Opens the user's own area and those of `owners` (loading each), after
    // the user chose them.
    void startWork(const std::vector<std::string>& owners);
    // After a new login under the same name (the server had restarted or
    // dropped this client): every shown area is emptied and loaded again,
    // and the own area's history sent again first, as ordinary drawing,
    // unless the server kept that area and sent it back itself.
    void restoreSession(int count);
    // Closes every area, e.g. before working on under another name.
    void closeAreas();

    const std::string& ownName() const { return roster_.ownName(); }
    // The name is someone else's now: closing must not log it out.
    void forgetOwnName() { roster_.forgetOwnName(); }
    int allCount() const { return roster_.allCount(); }
    std::vector<AreaWindow*> areas() const;
    QString panelText(int index) const;
    AreaWorkspace* mdiArea() const { return workspace_; }
    QAction* toolAction(PaintKind kind) const;
    QAction* clearAction() const { return clearAction_; }
    QAction* sendAction() const { return sendAction_; }
    QMenu* usersMenu() const { return usersMenu_; }
    AreaWindow* activeArea() const;

    // Window-thread operations behind the callbacks.
    void drawOnArea(const PaintRecord& shape, const std::string& owner);
    void clearArea(const std::string& owner);
    // Opens and loads another area of `name`, a user now counted.
    void showNewArea(const std::string& name);
    void closeAreaOf(const std::string& name);
    // Writes the area's picture; false when the file cannot be written.
    bool saveArea(const AreaWindow& area, const QString& path) const;
    // Prints the area's picture as large as the page takes it, its shape
    // kept; false when the printer cannot be opened.
    bool printArea(const AreaWindow& area, QPrinter& printer) const;

    // AreaHost
    PaintKind currentTool() const override;
    void showPosition(int x, int y) override;
    std::string activeAreaName() const override;
    void areaClosed(AreaWindow& area) override;

    // ClientEvents: called on ORB threads, carried out on the window thread.
    void shapeRelayed(const PaintRecord& shape, const std::string& owner) override;
    void areaCleared(const std::string& owner) override;
    void clientJoined(const std::string& name) override;
    void clientLeft(const std::string& name) override;
    std::future<void> messageArrived(const std::string& text, const std::string& sender) override;
    void sessionBegan(bool keptArea) override;

public slots:
    void selectTool(PaintKind kind);
    void clearActiveArea();
    void sendMessage();
    void showAbout();
    void logout();
    void tileAreas();
    void cascadeAreas();
    void saveActiveArea();
    void copyActiveArea();
    void printActiveArea();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // `box` came while the user looks elsewhere: the desktop's usual sign.
    virtual void requestAttention(QWidget* box);

private:
    void createStatusBar();
    void createActions();
    void createMenus();
    void createToolBar();
    AreaWindow* openArea(const std::string& owner);
    void openAndLoad(const std::string& owner);
    void applyCountPanels();
    void applySendRule();
    void askToShow(const std::string& name);
    void acceptNewcomer(const std::string& name);
    void showMessage(const std::string& text, const std::string& sender,
                     std::shared_ptr<std::promise<void>> read);
    // The own area's history is to go to the server again: kept aside, and
    // the area emptied for what the new session echoes.
    void setAsideOwnArea();
    // Shows a box that news brings: its caption whole, on top, and the
    // desktop's sign when the user looks elsewhere.
    void present(QMessageBox* box);
    void attentionIfAway(QWidget* box);
    void warn(const QString& title, const QString& text);

    // Callbacks posted and not yet carried out at most; past the bound a
    // callback waits, which leaves the rest queued at the server, and the
    // server drops a client stuck for long.
    static constexpr std::size_t maxBacklog = 100000;
    QueuedDelivery toWindow_{maxBacklog};

    ServerLink* link_;
    CallbackServant* servant_ = nullptr;
    Hooks hooks_;
    SessionRoster roster_;
    bool shownOnce_ = false;
    // Open newcomer questions, by name.
    std::map<std::string, QPointer<QMessageBox>> questions_;

    AreaWorkspace* workspace_ = nullptr;
    std::array<QLabel*, 4> panels_{};
    QActionGroup* tools_ = nullptr;
    std::array<QAction*, paintKindCount> toolActions_{};
    QAction* clearAction_ = nullptr;
    QAction* saveAction_ = nullptr;
    QAction* copyAction_ = nullptr;
    QAction* printAction_ = nullptr;
    QAction* sendAction_ = nullptr;
    QAction* sendButton_ = nullptr;
    QAction* logoutAction_ = nullptr;
    QAction* logoutButton_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* tileAction_ = nullptr;
    QAction* cascadeAction_ = nullptr;
    QMenu* usersMenu_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    // Made at the first print; keeps the user's printer settings from one to the next.
    std::unique_ptr<QPrinter> printer_;
};

} // namespace kolvaro
