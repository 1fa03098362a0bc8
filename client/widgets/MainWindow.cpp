#include "MainWindow.h"

#include "AreaWindow.h"
#include "surface/ServerLink.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace kolvaro {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// Icons come from the program's resources; a build without them shows text.
QIcon iconAt(const QString& path) {
    return QFile::exists(path) ? QIcon(path) : QIcon();
}

// Wide enough for the window manager's title bar to show the whole caption
// beside its icon and buttons: a message's sender is named only there.
void fitCaption(QMessageBox& box) {
    QFont titleFont = box.font();
    titleFont.setBold(true);
    const int text = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle());
    const int buttons = 4 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
    int width = text + text / 6 + buttons;
    if (const QScreen* screen = box.screen())
        width = std::min(width, screen->availableGeometry().width() - 80);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

// A box opens while the user may be typing, in this program or another, and
// the box takes the keyboard: a Return or Space meant for that text must not
// answer it unseen. Keys reach it only once none has come for a moment; the
// mouse works at once.
class KeysSettle : public QObject {
public:
    explicit KeysSettle(QMessageBox* box) : QObject(box) {
        quiet_.setSingleShot(true);
        quiet_.setInterval(std::chrono::seconds(1));
        QList<QWidget*> watched = box->findChildren<QWidget*>();
        watched << box;
        for (QWidget* widget : watched)
            widget->installEventFilter(this);
        connect(&quiet_, &QTimer::timeout, this, [this, watched] {
            for (QWidget* widget : watched)
                widget->removeEventFilter(this);
        });
        quiet_.start();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
            quiet_.start();
            return true;
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
            return true;
        default:
            return false;
        }
    }

private:
    QTimer quiet_;
};

// A box that opens while a dialog has the focus must still take the keyboard.
void openOnTop(QMessageBox* box) {
    new KeysSettle(box);
    box->open();
    box->raise();
    box->activateWindow();
}

// The shortcut goes into the tooltip as well, so a toolbar button shows it.
void showKeys(QAction* action, const QList<QKeySequence>& keys) {
    action->setShortcuts(keys);
    const QString plain = QString(action->text()).remove('&');
    action->setToolTip(
        keys.isEmpty()
            ? plain
            : QString("%1 (%2)").arg(plain, keys.front().toString(QKeySequence::NativeText)));
}

// The desktop's keys for a command, or the usual ones where it names none.
QList<QKeySequence> standardKeys(QKeySequence::StandardKey command, const char* usual) {
    const QList<QKeySequence> keys = QKeySequence::keyBindings(command);
    return keys.isEmpty() ? QList<QKeySequence>{QKeySequence(usual)} : keys;
}

// Toolbar gaps keep their widths, like the spacing separators they stand for.
void addGap(QToolBar* bar, int width) {
    auto* gap = new QWidget(bar);
    gap->setFixedWidth(width);
    bar->addWidget(gap);
}

} // namespace

MainWindow::MainWindow(ServerLink* link, QWidget* parent) : QMainWindow(parent), link_(link) {
    toWindow_.setContext(this);
    setWindowTitle("Kolvaro");
    setWindowIcon(iconAt(":/icons/kolvaro.svg"));
    move(205, 131);
    resize(696, 480);
    workspace_ = new AreaWorkspace(this);
    setCentralWidget(workspace_);
    createStatusBar();
    createActions();
    createMenus();
    createToolBar();
    selectTool(PaintKind::Point);
    menuBar()->installEventFilter(this);
}

MainWindow::~MainWindow() {
    toWindow_.stop(); // a callback waiting for room in the backlog gives up
    // Callbacks still arriving find no window; the ORB may hold the servant
    // a while longer, so it goes when its last reference does.
    if (servant_) {
        servant_->detach();
        servant_->release();
    }
}

void MainWindow::createStatusBar() {
    // Each panel keeps its classic width unless the user's font needs more
    // for the longest text it shows.
    const std::array<int, 4> widths{70, 120, 140, 150};
    const std::array<const char*, 4> texts{"X :: Y", toolInfo(PaintKind::Point).panel,
                                           "Count of displayed clients:", "Count of all clients:"};
    std::array<QStringList, 4> longest{QStringList{"-888 :: -888"}, QStringList{},
                                       QStringList{"Count of displayed clients: 88"},
                                       QStringList{"Count of all clients: 88"}};
    for (const ToolInfo& entry : toolTable)
        longest[1] << entry.panel;
    int used = 0;
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        auto* panel = new QLabel(texts[i], this);
        panel->setObjectName(QString("Panel%1").arg(i));
        panel->setAlignment((i == 0 ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        const QFontMetrics metrics(panel->font());
        int needed = 0;
        for (const QString& text : longest[i])
            needed = std::max(needed, metrics.horizontalAdvance(text));
        needed += 2 * panel->frameWidth() + metrics.averageCharWidth();
        panel->setFixedWidth(std::max(widths[i], needed));
        statusBar()->addWidget(panel);
        panels_[i] = panel;
        used += panel->width() + statusBar()->layout()->spacing() + 4;
    }
    // The window opens wide enough for the panels and a note beside them
    // (such as a message on its way), so that none covers another.
    const QFontMetrics metrics(statusBar()->font());
    const int wanted = used + metrics.horizontalAdvance("Message to nnnnnnnnnnnn on its way...");
    if (width() < wanted)
        resize(wanted, height());
}

void MainWindow::createActions() {
    tools_ = new QActionGroup(this);
    tools_->setExclusive(true);
    for (const ToolInfo& entry : toolTable) {
        auto* action = new QAction(iconAt(entry.icon), entry.caption, this);
        action->setObjectName(entry.menuName);
        action->setCheckable(true);
        tools_->addAction(action);
        const PaintKind kind = entry.kind;
        connect(action, &QAction::triggered, this, [this, kind] { selectTool(kind); });
        toolActions_[static_cast<std::size_t>(kind)] = action;
        showKeys(action, {QKeySequence(entry.key)});
    }
    auto make = [this](const char* icon, const char* caption, const char* name, auto slot) {
        auto* action = new QAction(iconAt(icon), caption, this);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    clearAction_ =
        make(":/icons/clear.svg", "Clea&r all", "Clearall1", &MainWindow::clearActiveArea);
    saveAction_ = make("", "Sa&ve area as PNG\u2026", "Savearea1", &MainWindow::saveActiveArea);
    copyAction_ = make("", "C&opy area", "Copyarea1", &MainWindow::copyActiveArea);
    printAction_ = make("", "Pr&int area\u2026", "Printarea1", &MainWindow::printActiveArea);
    showKeys(saveAction_, standardKeys(QKeySequence::Save, "Ctrl+S"));
    showKeys(copyAction_, standardKeys(QKeySequence::Copy, "Ctrl+C"));
    showKeys(printAction_, standardKeys(QKeySequence::Print, "Ctrl+P"));
    // The menu bar and the toolbar each get their own Send and Logout: a menu
    // bar shows an action's icon instead of its caption.
    sendAction_ = make("", "&Send message", "Sendmessage1", &MainWindow::sendMessage);
    sendButton_ = make(":/icons/send.svg", "&Send message", "Send1", &MainWindow::sendMessage);
    logoutAction_ = make("", "&Logout", "Logout1", &MainWindow::logout);
    logoutButton_ = make(":/icons/logout.svg", "&Logout", "ToolButton10", &MainWindow::logout);
    aboutAction_ = make("", "&About...", "About1", &MainWindow::showAbout);
    // One key for the two Logout actions; the button's tooltip names it too.
    showKeys(logoutAction_, standardKeys(QKeySequence::Quit, "Ctrl+Q"));
    logoutButton_->setToolTip(logoutAction_->toolTip());
    tileAction_ = make("", "&Tile", "Tile1", &MainWindow::tileAreas);
    cascadeAction_ = make("", "&Cascade", "Cascade1", &MainWindow::cascadeAreas);
}

void MainWindow::createMenus() {
    QMenuBar* bar = menuBar();
    bar->addAction(logoutAction_);
    QMenu* paint = bar->addMenu("&Paint");
    paint->setObjectName("Paint1");
    for (QAction* action : toolActions_)
        paint->addAction(action);
    paint->addSeparator()->setObjectName("N1");
    paint->addAction(clearAction_);
    paint->addAction(saveAction_);
    paint->addAction(copyAction_);
    paint->addAction(printAction_);
    bar->addAction(sendAction_);
    usersMenu_ = bar->addMenu("&Users");
    usersMenu_->setObjectName("Users1");
    const auto listAreas = [this] { workspace_->listIn(*usersMenu_, tileAction_, cascadeAction_); };
    connect(usersMenu_, &QMenu::aboutToShow, this, listAreas);
    listAreas();
    bar->addAction(aboutAction_);
}

void MainWindow::createToolBar() {
    toolBar_ = addToolBar("ToolBar1");
    toolBar_->setObjectName("ToolBar1");
    toolBar_->setMovable(false);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setFixedHeight(29);
    auto add = [this](QAction* action, const char* name) {
        toolBar_->addAction(action);
        toolBar_->widgetForAction(action)->setObjectName(name);
    };
    for (const ToolInfo& entry : toolTable)
        add(toolActions_[static_cast<std::size_t>(entry.kind)], entry.buttonName);
    addGap(toolBar_, 8);
    add(clearAction_, "CClear");
    addGap(toolBar_, 8);
    add(sendButton_, "Send1");
    addGap(toolBar_, 152);
    add(logoutButton_, "ToolButton10");
}

QAction* MainWindow::toolAction(PaintKind kind) const {
    return toolActions_[static_cast<std::size_t>(kind)];
}

void MainWindow::selectTool(PaintKind kind) {
    toolAction(kind)->setChecked(true);
    panels_[1]->setText(toolInfo(kind).panel);
}

PaintKind MainWindow::currentTool() const {
    for (const ToolInfo& entry : toolTable) {
        if (toolAction(entry.kind)->isChecked())
            return entry.kind;
    }
    return PaintKind::Point;
}

void MainWindow::showPosition(int x, int y) {
    panels_[0]->setText(QString("%1 :: %2").arg(x).arg(y));
}

QString MainWindow::panelText(int index) const {
    return panels_.at(index)->text();
}

std::vector<AreaWindow*> MainWindow::areas() const {
    return workspace_->areas();
}

AreaWindow* MainWindow::activeArea() const {
    return workspace_->activeArea();
}

std::string MainWindow::activeAreaName() const {
    const AreaWindow* area = activeArea();
    return area ? area->caption() : std::string("Error");
}

AreaWindow* MainWindow::openArea(const std::string& owner) {
    if (!link_)
        throw std::logic_error("MainWindow: a drawing area needs a server link");
    return workspace_->open(owner, *this, *link_);
}

void MainWindow::openAndLoad(const std::string& owner) {
    openArea(owner);
    link_->loadArea(ownName(), owner);
}

void MainWindow::applyCountPanels() {
    panels_[2]->setText(QString("Count of displayed clients: %1").arg(areas().size()));
    panels_[3]->setText(QString("Count of all clients: %1").arg(roster_.allCount()));
}

void MainWindow::applySendRule() {
    sendAction_->setEnabled(roster_.canSend());
    sendButton_->setEnabled(roster_.canSend());
}

void MainWindow::loginAnswered(const std::string& name, int result) {
    roster_.loginAnswered(name, result);
    if (result != -1)
        applySendRule();
}

void MainWindow::startWork(const std::vector<std::string>& owners) {
    const std::vector<std::string> acceptedEarly = roster_.startWork(); // counted already
    setWindowTitle(qs("Kolvaro - " + ownName()));
    openArea(ownName());
    if (roster_.allCount() > 1) {
        for (const std::string& owner : owners)
            openAndLoad(owner);
    }
    for (const std::string& name : acceptedEarly)
        openAndLoad(name);
    applyCountPanels();
}

void MainWindow::restoreSession(int count) {
    if (roster_.restore(count))
        setAsideOwnArea();
    // The server's copy of the own area ended with the old session; the
    // echoes of these rebuild the local one, so nothing is doubled.
    for (const PaintRecord& shape : roster_.takeSetAside())
        link_->resend(shape, ownName());
    for (AreaWindow* area : areas()) {
        // Emptied only when the calls before it are done: a load still on
        // its way may land in the new session and replay first.
        if (const std::string owner = area->caption(); owner != ownName())
            link_->reloadArea(ownName(), owner, [this, owner] { clearArea(owner); });
    }
    applyCountPanels();
    applySendRule();
}

void MainWindow::sessionBegan(bool keptArea) {
    toWindow_([=, this] {
        if (roster_.sessionBegan(keptArea))
            setAsideOwnArea();
    });
}

void MainWindow::setAsideOwnArea() {
    bool taken = false;
    for (AreaWindow* area : areas()) {
        if (area->caption() != ownName())
            continue;
        if (!std::exchange(taken, true))
            roster_.setAside(area->history());
        area->clearSurface();
        area->clearShapes();
    }
}

void MainWindow::closeAreas() {
    roster_.areasClosed();
    workspace_->closeAll();
}

void MainWindow::drawOnArea(const PaintRecord& shape, const std::string& owner) {
    if (link_)
        link_->echoed(shape, owner);
    workspace_->draw(shape, owner);
}

void MainWindow::clearArea(const std::string& owner) {
    workspace_->clear(owner);
}

void MainWindow::showNewArea(const std::string& name) {
    openArea(name);
    roster_.counted();
    applyCountPanels();
    link_->loadArea(ownName(), name);
    applySendRule();
}

void MainWindow::closeAreaOf(const std::string& name) {
    // A newcomer known to have left gets no area, whatever the answer would be.
    if (const auto asked = questions_.find(name); asked != questions_.end()) {
        if (QMessageBox* box = asked->second) {
            box->disconnect(this);
            box->close();
        }
        questions_.erase(asked);
    }
    roster_.left(name);
    workspace_->closeAreaOf(name);
    applyCountPanels();
    applySendRule();
}

void MainWindow::areaClosed(AreaWindow& area) {
    workspace_->forget(area);
    applyCountPanels();
    if (servant_)
        servant_->removeName(area.caption());
    applySendRule();
}

void MainWindow::shapeRelayed(const PaintRecord& shape, const std::string& owner) {
    toWindow_([=, this] { drawOnArea(shape, owner); });
}

void MainWindow::areaCleared(const std::string& owner) {
    toWindow_([=, this] { clearArea(owner); });
}

void MainWindow::clientJoined(const std::string& name) {
    toWindow_([=, this] { askToShow(name); });
}

void MainWindow::clientLeft(const std::string& name) {
    toWindow_([=, this] { closeAreaOf(name); });
}

std::future<void> MainWindow::messageArrived(const std::string& text, const std::string& sender) {
    auto read = std::make_shared<std::promise<void>>();
    std::future<void> done = read->get_future();
    toWindow_([=, this] { showMessage(text, sender, read); });
    return done;
}

void MainWindow::askToShow(const std::string& name) {
    // Back after a lost session: the area shown goes on (its owner sends it again).
    if (workspace_->shows(name)) {
        roster_.counted();
        applyCountPanels();
        applySendRule();
        return;
    }
    auto* box = new QMessageBox(QMessageBox::NoIcon, "New login client...",
                                qs("New client [" + name + "] login. Show this client ?"),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    questions_[name] = box;
    connect(box, &QMessageBox::finished, this, [this, box, name] {
        if (const auto asked = questions_.find(name);
            asked != questions_.end() && asked->second == box)
            questions_.erase(asked);
        if (box->standardButton(box->clickedButton()) == QMessageBox::Yes)
            acceptNewcomer(name);
    });
    present(box);
}

void MainWindow::acceptNewcomer(const std::string& name) {
    if (servant_)
        servant_->addName(name);
    if (roster_.accept(name))
        showNewArea(name);
    else
        applySendRule();
}

void MainWindow::showMessage(const std::string& text, const std::string& sender,
                             std::shared_ptr<std::promise<void>> read) {
    // Not exec(): the window thread must stay free while the reader reads.
    auto* box = new QMessageBox(QMessageBox::NoIcon, qs("Message from: " + sender),
                                qs("Message: " + text), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    connect(box, &QMessageBox::finished, box, [read] {
        try {
            read->set_value();
        } catch (const std::future_error&) {
        }
    });
    present(box);
}

void MainWindow::present(QMessageBox* box) {
    fitCaption(*box);
    openOnTop(box);
    attentionIfAway(box);
}

void MainWindow::attentionIfAway(QWidget* box) {
    // The user is here while this window or one of its own boxes is active.
    for (QWidget* active = QApplication::activeWindow(); active; active = active->parentWidget()) {
        if (active == this)
            return;
    }
    requestAttention(box);
}

void MainWindow::requestAttention(QWidget* box) {
    // The box asks, not the window: a window manager gives the focus to a
    // modal box rather than to the window behind it, and the sign stops
    // only when the window that asked is active.
    QApplication::alert(box);
}

void MainWindow::clearActiveArea() {
    AreaWindow* area = activeArea();
    if (!area || !link_)
        return;
    area->clearSurface();
    link_->clearAll(area->caption());
    area->clearShapes();
}

void MainWindow::sendMessage() {
    if (hooks_.send)
        hooks_.send();
}

void MainWindow::showAbout() {
    if (hooks_.about)
        hooks_.about();
}

void MainWindow::logout() {
    close();
}

void MainWindow::tileAreas() {
    workspace_->tileSubWindows();
}

void MainWindow::cascadeAreas() {
    workspace_->cascade();
}

bool MainWindow::saveArea(const AreaWindow& area, const QString& path) const {
    return area.picture().save(path, "PNG");
}

void MainWindow::warn(const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::saveActiveArea() {
    QPointer<AreaWindow> area(activeArea());
    if (!area)
        return;
    auto* dialog = new QFileDialog(this, "Save area as PNG", qs(area->caption() + ".png"),
                                   "PNG images (*.png)");
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix("png");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this, area](const QString& path) {
        if (area && !saveArea(*area, path))
            warn("Save area as PNG", "The area could not be saved to " + path + ".");
    });
    dialog->open();
}

void MainWindow::copyActiveArea() {
    if (const AreaWindow* area = activeArea())
        QApplication::clipboard()->setImage(area->picture());
}

bool MainWindow::printArea(const AreaWindow& area, QPrinter& printer) const {
    const QImage picture = area.picture();
    QPainter painter;
    if (picture.isNull() || !painter.begin(&printer))
        return false;
    // Centred across the page, from its top; pixels stay sharp when enlarged.
    const QRect page = painter.viewport();
    const QSize fit = picture.size().scaled(page.size(), Qt::KeepAspectRatio);
    painter.drawImage(QRect(QPoint(page.x() + (page.width() - fit.width()) / 2, page.y()), fit),
                      picture);
    return painter.end();
}

void MainWindow::printActiveArea() {
    QPointer<AreaWindow> area(activeArea());
    if (!area)
        return;
    if (!printer_)
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer_->setDocName(qs(area->caption()));
    auto* dialog = new QPrintDialog(printer_.get(), this);
    dialog->setWindowTitle("Print area");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, area] {
        if (area && !printArea(*area, *printer_))
            warn("Print area", "The area could not be printed.");
    });
    dialog->open();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    // After the window is on screen, so the login dialog has it behind.
    if (hooks_.firstShow)
        QTimer::singleShot(0, this, [this] { hooks_.firstShow(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // The menu bar has the keys only while it is worked from the keyboard
    // (after Alt): a letter there is one of its mnemonics, not a tool.
    const bool key = event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress;
    if (watched != menuBar() || !key)
        return QMainWindow::eventFilter(watched, event);
    const auto* press = static_cast<QKeyEvent*>(event);
    if (press->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return QMainWindow::eventFilter(watched, event);
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    // A command on the bar itself runs at its letter, as a menu opens at its
    // own; left to itself the bar would only highlight it.
    for (QAction* command : menuBar()->actions()) {
        const QKeySequence mnemonic = QKeySequence::mnemonic(command->text());
        if (command->menu() || !command->isEnabled() || mnemonic.isEmpty() ||
            mnemonic[0].key() != press->key())
            continue;
        QKeyEvent leave(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(menuBar(), &leave);
        QTimer::singleShot(0, command, &QAction::trigger);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (link_ && !ownName().empty())
        link_->logout(ownName());
    if (servant_)
        servant_->freeNames();
    event->accept();
    if (hooks_.closed)
        hooks_.closed();
}

} // namespace kolvaro
