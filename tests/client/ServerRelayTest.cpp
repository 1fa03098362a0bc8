// A real kolvaro-server relays drawing to a window in this process.
#include "Area.h"
#include "ClientTestSupport.h"
#include "Helper.h"
#include "OrbInit.h"
#include "ServerProcess.h"
#include "Winpaint.h"

#include <QTest>

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
        FakeServerLink link;
        TWinClient win(&link);
        auto* servant = new THelper(win);
        win.adoptServant(servant);
        win.show();
        PortableServer::ObjectId_var id = poa->activate_object(servant);
        CORBA::Object_var callback = poa->id_to_reference(id);
        TKolvaro::Client_var client = TKolvaro::Client::_narrow(callback);
        win.loginAnswered("A", serverRef->Login("A", client));
        QCOMPARE(win.allCount(), 1);
        QCOMPARE(servant->NameAt(0), std::string("A"));
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

        serverRef->Logout("A");
        other.call("quit");
        poa->deactivate_object(id);
    }
};

QTEST_MAIN(ServerRelayTest)
#include "ServerRelayTest.moc"
