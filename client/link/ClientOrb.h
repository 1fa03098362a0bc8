#pragma once

#include "surface/Registrar.h"

#include "TKolvaro.hh"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class QObject;

namespace kolvaro {

struct AnnouncedBoard;
class CorbaServerLink;
class SerialWorker;

// The client's side of the ORB: starts the ORB once with the program's
// arguments, makes the callback servant ready once in the RootPOA, finds the
// server and logs in. Everything that can touch the network runs on a thread
// of its own; answers come back on the thread of `context`.
//
// The server is found, on each attempt until found, through the first of
// these that is configured: resolve_initial_references("ServerObject")
// (-ORBInitRef ServerObject=... or -ORBDefaultInitRef), the name
// "ServerObject" in the naming service (-ORBInitRef NameService=...); with
// neither, the boards announced on the network (DNS-SD) and then
// corbaloc::localhost/ServerObject. What is configured is used alone: a
// naming service without the name is reported, not passed over. A session
// lost looks for the server again the same way, preferring the board it had.
//
// Shut down every link made by makeServerLink before shutdown().
class ClientOrb : public Registrar {
public:
    struct Options {
        // Bounds Login, and each later call through the link it makes.
        std::chrono::milliseconds callTimeout{20000};
        // How long shutdown() waits for the ORB to end.
        std::chrono::milliseconds shutdownBound{2000};
        // Bounds each checkSession call: a server that does not answer within
        // it counts as out of reach for that check.
        std::chrono::milliseconds checkTimeout{4000};
        // Bounds listening for boards announced on the network, resolving
        // them, and each board's first answer.
        std::chrono::milliseconds listenBound{800};
        std::chrono::milliseconds browseBound{2000};
        std::chrono::milliseconds probeTimeout{1000};
    };

    // What Login under the name this client registered answers now.
    struct SessionCheck {
        enum class Answer {
            Unreachable, // the call failed: reason says why
            Held,        // refused, and the server asked this client: all is well
            HeldByOther, // refused without asking this client: someone else has the name
            Registered,  // accepted: the session had ended, this is a new one
        };
        Answer answer = Answer::Unreachable;
        int count = 0; // Registered: the number of users now logged in
        std::string reason;
    };

    // argv is copied: the ORB consumes its options from the copy and leaves
    // the caller's (and Qt's) array alone. `callback` must outlive this object.
    ClientOrb(int argc, char** argv, PortableServer::Servant callback, QObject* context);
    ClientOrb(int argc, char** argv, PortableServer::Servant callback, QObject* context,
              Options options);
    ~ClientOrb() override;

    void registerName(const QString& name, std::function<void(LoginOutcome)> done) override;

    // Before the first login: unless a ServerObject or a naming service is
    // configured, looks for the boards announced on the network, keeping
    // those that answer as Kolvaro servers (the others are noted on standard
    // error). done gets their names on the thread of the context; with
    // several, chooseBoard says which one the person took.
    void lookForBoards(std::function<void(std::vector<std::string> names)> done);
    void chooseBoard(const std::string& name);

    // Hands `link` the server that the latest login or check reached, so that
    // drawing goes where the session is.
    void adoptServer(CorbaServerLink& link);

    // Asks Login again under `name` with the same callback object; invisible
    // to everybody while the session holds. `probes` reads how often the
    // server has checked the callback object (ClientCallback::Probes). done runs on
    // the thread of the context.
    void checkSession(const std::string& name, std::function<unsigned long()> probes,
                      std::function<void(SessionCheck)> done);

    // After a successful registerName: the link the windows use for every
    // later call, reporting on the thread of `context`. Null before.
    std::unique_ptr<CorbaServerLink> makeServerLink(QObject* context);

    // Ends the ORB, waiting at most the shutdown bound: a callback still
    // waiting for a person (a message box) must not keep the program from
    // ending. True when the ORB ended within the bound. Idempotent.
    bool shutdown();

private:
    struct Shared;
    struct Board;
    static std::vector<Board> boardsOnNetwork(Shared& s);
    static Board probe(Shared& s, const AnnouncedBoard& board);
    static TKolvaro::Server_ptr fromNetwork(Shared& s, std::string& none);
    static bool configured(Shared& s);
    static LoginOutcome login(Shared& s, const std::string& name);
    static SessionCheck check(Shared& s, const std::string& name,
                              const std::function<unsigned long()>& probes);
    static void startOrb(Shared& s);
    static void findServer(Shared& s);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<SerialWorker> worker_;
    Options options_;
    bool endedCleanly_ = true;
};

} // namespace kolvaro
