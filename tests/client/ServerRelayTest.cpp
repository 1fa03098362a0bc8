// A real kolvaro-server relays drawing to a window in this process.
#include "Area.h"
#include "FakeServerLink.h"
#include "Helper.h"
#include "OrbInit.h"
#include "ServerProcess.h"
#include "Winpaint.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

namespace {

// Blocking calls on the server reference: enough for a test, where the server
// queues its echo and so answers at once.
class DirectLink : public ServerLink {
public:
    explicit DirectLink(TKolvaro::Server_ptr server)
        : server_(TKolvaro::Server::_duplicate(server)) {}

    void paintPoint(int x, int y, const std::string& owner) override {
        server_->PaintPoint(CORBA::Short(x), CORBA::Short(y), owner.c_str());
    }
    void paintLine(int x1, int y1, int x2, int y2, const std::string& owner) override {
        server_->PaintLine(s(x1), s(y1), s(x2), s(y2), owner.c_str());
    }
    void paintRect(int x1, int y1, int x2, int y2, const std::string& owner) override {
        server_->PaintRect(s(x1), s(y1), s(x2), s(y2), owner.c_str());
    }
    void paintCirc(int x1, int y1, int x2, int y2, const std::string& owner) override {
        server_->PaintCirc(s(x1), s(y1), s(x2), s(y2), owner.c_str());
    }
    void paintFill(int x, int y, const std::string& owner) override {
        server_->PaintFill(s(x), s(y), owner.c_str());
    }
    void clearAll(const std::string& owner) override { server_->ClearAll(owner.c_str()); }
    void loadArea(const std::string& name, const std::string& owner) override {
        server_->LoadArea(name.c_str(), owner.c_str());
    }
    void logout(const std::string& name) override { server_->Logout(name.c_str()); }
    void sendTxt(const std::string& text, const std::string& recipient, const std::string& sender,
                 Done done) override {
        server_->SendTxt(text.c_str(), recipient.c_str(), sender.c_str());
        done(std::nullopt);
    }

private:
    static CORBA::Short s(int v) { return CORBA::Short(v); }
    TKolvaro::Server_var server_;
};

QImage picture(QSize size, const std::vector<PaintRecord>& shapes) {
    Canvas canvas(size);
    for (const PaintRecord& shape : shapes)
        drawShape(canvas, shape);
    return canvas.image();
}

} // namespace

class ServerRelayTest : public QObject {
    Q_OBJECT

    std::unique_ptr<kolvaro::test::ServerProcess> server;
    CORBA::ORB_var orb;
    PortableServer::POA_var poa;
    TKolvaro::Server_var serverRef;

private slots:
    void initTestCase() {
        server = std::make_unique<kolvaro::test::ServerProcess>();
        QVERIFY(server->waitStarted());
        std::vector<std::string> args{"ServerRelayTest"};
        for (const std::string& arg : server->clientArgs())
            args.push_back(arg);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        int argc = int(argv.size());
        orb = kolvaro::initOrb(argc, argv.data(), false);
        CORBA::Object_var root = orb->resolve_initial_references("RootPOA");
        poa = PortableServer::POA::_narrow(root);
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
        CORBA::Object_var found = orb->resolve_initial_references("ServerObject");
        serverRef = TKolvaro::Server::_narrow(found);
        QVERIFY(!CORBA::is_nil(serverRef));
    }

    void cleanupTestCase() {
        serverRef = TKolvaro::Server::_nil();
        poa = PortableServer::POA::_nil();
        if (!CORBA::is_nil(orb))
            orb->destroy();
        server.reset();
    }

    void relayedStreamDrawsOnTheOwnersArea() {
        DirectLink link(serverRef);
        TWinClient win(&link);
        win.show();
        PortableServer::ObjectId_var id = poa->activate_object(&win.servant());
        CORBA::Object_var callback = poa->id_to_reference(id);
        TKolvaro::Client_var client = TKolvaro::Client::_narrow(callback);
        win.loginAnswered("A", serverRef->Login("A", client));
        QCOMPARE(win.allCount(), 1);
        QCOMPARE(win.servant().NameAt(0), std::string("A"));
        win.startWork({});
        TClientArea* area = win.areas().at(0);
        QVERIFY(area->width() >= 300 && area->height() >= 150);

        // Another user draws on A's area, clears it, and draws again.
        kolvaro::test::ProbeProcess other(*server);
        QCOMPARE(other.call("login B").rfind("RESULT", 0), 0u);
        for (const char* command :
             {"rect 10 10 150 100 A", "fill 50 50 A", "clear A", "circ 20 20 120 90 A",
              "fill 70 55 A", "line -5 120 400 120 A", "point 200 30 A", "rect 260 10 160 60 A"})
            QCOMPARE(other.call(command).rfind("RESULT", 0), 0u);
        const std::vector<PaintRecord> afterClear{{20, 20, 120, 90, PaintKind::Circ},
                                                  {70, 55, 0, 0, PaintKind::Fill},
                                                  {-5, 120, 400, 120, PaintKind::Line},
                                                  {200, 30, 0, 0, PaintKind::Point},
                                                  {260, 10, 160, 60, PaintKind::Rect}};
        QTRY_COMPARE(area->history(), afterClear);
        QCOMPARE(area->canvas().image(), picture(area->size(), afterClear));

        // The user's own drag goes out and comes back as the history's one copy.
        win.mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(area->parentWidget()));
        win.toolAction(Tool::Line)->trigger();
        QTest::mousePress(area, Qt::LeftButton, {}, {150, 5});
        QTest::mouseMove(area, {10, 140});
        QTest::mouseRelease(area, Qt::LeftButton, {}, {10, 140});
        std::vector<PaintRecord> all = afterClear;
        all.push_back({150, 5, 10, 140, PaintKind::Line});
        QTRY_COMPARE(area->history(), all);
        QCOMPARE(area->canvas().image(), picture(area->size(), all));

        serverRef->Logout("A");
        other.call("quit");
        poa->deactivate_object(id);
    }
};

QTEST_MAIN(ServerRelayTest)
#include "ServerRelayTest.moc"
