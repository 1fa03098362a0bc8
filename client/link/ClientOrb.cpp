#include "ClientOrb.h"

#include "BoardBrowser.h"
#include "CallFailure.h"
#include "CorbaFailure.h"
#include "CorbaServerLink.h"
#include "OrbInit.h"
#include "OwnProxy.h"
#include "surface/QueuedDelivery.h"
#include "SerialWorker.h"

#include <omniORB4/Naming.hh>
#include <omniORB4/minorCode.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kolvaro {

struct ClientOrb::Board {
    std::string name;
    TKolvaro::Server_var ref; // nil: not a Kolvaro server that answers
};

struct ClientOrb::Shared {
    // The ORB's own copy of the arguments; ORB_init removes what it consumes.
    std::vector<std::string> args;
    std::vector<char*> argv;

    // Login thread only, until shutdown.
    CORBA::ORB_var orb;
    PortableServer::Servant servant = nullptr;
    TKolvaro::Client_var callbackRef;
    std::chrono::milliseconds callTimeout{};

    std::mutex mutex;
    TKolvaro::Server_var server;   // guarded by mutex once found
    TKolvaro::Server_var checkRef; // check calls only, with a timeout of its own
    std::chrono::milliseconds checkTimeout{};
    bool loggedIn = false; // guarded by mutex
    bool ended = false;    // guarded by mutex

    std::vector<Board> boards; // found before the first login, used once; guarded by mutex
    std::string chosen;        // the board in use, by name; guarded by mutex
    std::chrono::milliseconds listenBound{}, browseBound{}, probeTimeout{};

    QueuedDelivery deliver;
};

ClientOrb::ClientOrb(int argc, char** argv, PortableServer::Servant callback, QObject* context)
    : ClientOrb(argc, argv, callback, context, Options{}) {}

ClientOrb::ClientOrb(int argc, char** argv, PortableServer::Servant callback, QObject* context,
                     Options options)
    : shared_(std::make_shared<Shared>()), worker_(std::make_unique<SerialWorker>()),
      options_(options) {
    for (int i = 0; i < argc; ++i)
        shared_->args.emplace_back(argv[i] ? argv[i] : "");
    for (auto& a : shared_->args)
        shared_->argv.push_back(a.data());
    shared_->argv.push_back(nullptr);
    shared_->servant = callback;
    shared_->deliver.setContext(context);
    shared_->callTimeout = options.callTimeout;
    shared_->checkTimeout = options.checkTimeout;
    shared_->listenBound = options.listenBound;
    shared_->browseBound = options.browseBound;
    shared_->probeTimeout = options.probeTimeout;
}

ClientOrb::~ClientOrb() {
    shutdown();
}

void ClientOrb::startOrb(Shared& s) {
    if (CORBA::is_nil(s.orb.in())) {
        int argc = static_cast<int>(s.argv.size()) - 1;
        s.orb = initOrb(argc, s.argv.data(), false);
    }
    if (CORBA::is_nil(s.callbackRef.in())) {
        CORBA::Object_var obj = s.orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj.in());
        PortableServer::ObjectId_var id = poa->activate_object(s.servant);
        CORBA::Object_var ref = poa->id_to_reference(id.in());
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
        s.callbackRef = TKolvaro::Client::_narrow(ref.in());
    }
}

namespace {

// Nil when the reference is not configured; omniORB says so with InvalidName
// for names it does not know and NO_RESOURCES for standard ones.
CORBA::Object_ptr resolveIfConfigured(CORBA::ORB_ptr orb, const char* id) {
    try {
        return orb->resolve_initial_references(id);
    } catch (const CORBA::ORB::InvalidName&) {
    } catch (const CORBA::NO_RESOURCES& e) {
        if (e.minor() != omni::NO_RESOURCES_InitialRefNotFound)
            throw;
    }
    return CORBA::Object::_nil();
}

// A configured naming service is where the user wants the server looked up:
// what goes wrong there is reported as such, not masked by another address.
CORBA::Object_ptr fromNamingService(CORBA::Object_ptr ns) {
    try {
        CosNaming::NamingContext_var names = CosNaming::NamingContext::_narrow(ns);
        if (CORBA::is_nil(names.in()))
            throw std::runtime_error("the naming service given is not a naming context");
        CosNaming::Name name;
        name.length(1);
        name[0].id = CORBA::string_dup("ServerObject");
        name[0].kind = CORBA::string_dup("");
        return names->resolve(name);
    } catch (const CosNaming::NamingContext::NotFound&) {
        throw std::runtime_error("the naming service holds no ServerObject");
    } catch (const CORBA::UserException& e) {
        throw std::runtime_error(std::string("the naming service refused the lookup (") +
                                 e._name() + ")");
    } catch (const CORBA::SystemException& e) {
        std::string reason = describeFailure(e);
        if (reason.rfind("the server ", 0) == 0)
            reason.replace(0, 10, "the naming service ");
        throw std::runtime_error(reason);
    }
}

} // namespace

namespace {

// What an object key in a corbaloc address may hold without escaping.
bool plainKey(const std::string& key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
    });
}

void skipped(const AnnouncedBoard& board, const std::string& at, const std::string& why) {
    std::fprintf(stderr, "kolvaro-client: skipped the board \"%s\" announced at %s: %s\n",
                 board.name.c_str(), at.c_str(), why.c_str());
}

} // namespace

ClientOrb::Board ClientOrb::probe(Shared& s, const AnnouncedBoard& board) {
    if (!plainKey(board.key)) {
        skipped(board, board.addresses.front(), "its announcement gives no usable object key");
        return {};
    }
    for (const std::string& at : board.addresses) {
        try {
            const std::string address = "corbaloc::" + at + "/" + board.key;
            CORBA::Object_var obj = s.orb->string_to_object(address.c_str());
            const auto timeout = static_cast<CORBA::ULong>(s.probeTimeout.count());
            omniORB::setClientCallTimeout(obj.in(), timeout);
            TKolvaro::Server_var server = TKolvaro::Server::_narrow(obj.in());
            if (CORBA::is_nil(server.in())) {
                skipped(board, at, "the object there is not a Kolvaro server");
                continue;
            }
            omniORB::setClientCallTimeout(server.in(), timeout);
            if (server->_non_existent()) {
                skipped(board, at, "the server there is no longer there");
                continue;
            }
            return {board.name, server._retn()};
        } catch (const CORBA::Exception& e) {
            skipped(board, at, describeFailure(e));
        }
    }
    return {};
}

// Each board is asked on a thread of its own: a neighbour that does not
// answer costs the probe timeout once, not once per board.
std::vector<ClientOrb::Board> ClientOrb::boardsOnNetwork(Shared& s) {
    const BrowseResult found = browseBoards(s.listenBound, s.browseBound);
    std::vector<std::future<Board>> probes;
    for (const AnnouncedBoard& board : found.boards)
        probes.push_back(std::async(std::launch::async, [&s, board] { return probe(s, board); }));
    std::vector<Board> boards;
    for (auto& p : probes)
        if (Board b = p.get(); !CORBA::is_nil(b.ref.in()))
            boards.push_back(std::move(b));
    return boards;
}

bool ClientOrb::configured(Shared& s) {
    CORBA::Object_var server = resolveIfConfigured(s.orb.in(), "ServerObject");
    CORBA::Object_var ns = resolveIfConfigured(s.orb.in(), "NameService");
    return !CORBA::is_nil(server.in()) || !CORBA::is_nil(ns.in());
}

// The board in use if it is announced still, else the only one announced, or
// the first when none was chosen yet. `none` says why there is none.
TKolvaro::Server_ptr ClientOrb::fromNetwork(Shared& s, std::string& none) {
    std::vector<Board> boards;
    std::string chosen;
    {
        std::lock_guard lock(s.mutex);
        boards.swap(s.boards);
        chosen = s.chosen;
    }
    if (boards.empty())
        boards = boardsOnNetwork(s);
    auto pick = std::find_if(boards.begin(), boards.end(),
                             [&](const Board& b) { return b.name == chosen; });
    if (pick == boards.end() && (boards.size() == 1 || (chosen.empty() && !boards.empty())))
        pick = boards.begin();
    if (pick == boards.end()) {
        none = boards.empty()
                   ? "no Kolvaro board announced on this network"
                   : "the board \"" + chosen + "\" is no longer announced on this network";
        return TKolvaro::Server::_nil();
    }
    std::lock_guard lock(s.mutex);
    s.chosen = pick->name;
    return pick->ref._retn();
}

void ClientOrb::findServer(Shared& s) {
    {
        std::lock_guard lock(s.mutex);
        if (!CORBA::is_nil(s.server.in()))
            return;
    }
    const auto timeout = static_cast<CORBA::ULong>(s.callTimeout.count());
    TKolvaro::Server_var server;
    CORBA::Object_var obj = resolveIfConfigured(s.orb.in(), "ServerObject");
    if (CORBA::is_nil(obj.in())) {
        CORBA::Object_var ns = resolveIfConfigured(s.orb.in(), "NameService");
        if (!CORBA::is_nil(ns.in()))
            obj = fromNamingService(ns.in());
    }
    std::string none;
    if (CORBA::is_nil(obj.in()))
        server = fromNetwork(s, none);
    if (CORBA::is_nil(server.in())) {
        if (CORBA::is_nil(obj.in()))
            obj = s.orb->string_to_object("corbaloc::localhost/ServerObject");
        try {
            omniORB::setClientCallTimeout(obj.in(), timeout);
            // The first remote call: it follows a forward of the published key
            // to the server's full reference before any text is marshalled.
            server = TKolvaro::Server::_narrow(obj.in());
            if (CORBA::is_nil(server.in()))
                throw std::runtime_error(
                    "the object found as ServerObject is not a Kolvaro server");
            omniORB::setClientCallTimeout(server.in(), timeout);
            // A reference that arrived typed narrows without a call; make sure
            // the forward has been followed before Login marshals the name.
            if (server->_non_existent())
                throw CORBA::OBJECT_NOT_EXIST();
        } catch (const CORBA::TRANSIENT&) {
            if (none.empty())
                throw;
            throw std::runtime_error(none + " and none on this machine");
        }
    }
    omniORB::setClientCallTimeout(server.in(), timeout);
    std::lock_guard lock(s.mutex);
    s.server = server._retn();
}

void ClientOrb::lookForBoards(std::function<void(std::vector<std::string>)> done) {
    auto task = [shared = shared_, done] {
        std::vector<std::string> names;
        try {
            startOrb(*shared);
            // Nobody on the network is asked when the server is given.
            if (!configured(*shared)) {
                std::vector<Board> boards = boardsOnNetwork(*shared);
                for (const Board& b : boards)
                    names.push_back(b.name);
                std::lock_guard lock(shared->mutex);
                shared->boards = std::move(boards);
            }
        } catch (...) {
            // The login tries again, and says what goes wrong.
        }
        shared->deliver([done, names] { done(names); });
    };
    if (!worker_ || !worker_->post(std::move(task)))
        done({});
}

void ClientOrb::chooseBoard(const std::string& name) {
    std::lock_guard lock(shared_->mutex);
    shared_->chosen = name;
}

void ClientOrb::adoptServer(CorbaServerLink& link) {
    TKolvaro::Server_var server;
    {
        std::lock_guard lock(shared_->mutex);
        if (CORBA::is_nil(shared_->server.in()))
            return;
        server = TKolvaro::Server::_duplicate(shared_->server.in());
    }
    link.adopt(server.in());
}

LoginOutcome ClientOrb::login(Shared& s, const std::string& name) {
    try {
        startOrb(s);
    } catch (...) {
        return LoginOutcome::failed(QString::fromStdString(failureSentence("start the ORB")));
    }
    try {
        findServer(s);
        TKolvaro::Server_var server;
        {
            std::lock_guard lock(s.mutex);
            server = TKolvaro::Server::_duplicate(s.server.in());
        }
        CORBA::Long result = server->Login(name.c_str(), s.callbackRef.in());
        if (result != -1) {
            std::lock_guard lock(s.mutex);
            s.loggedIn = true;
        }
        return LoginOutcome::answered(result);
    } catch (...) {
        std::string sentence = failureSentence("log in to the server");
        // Look for the server afresh next time: it may have moved or restarted.
        std::lock_guard lock(s.mutex);
        s.server = TKolvaro::Server::_nil();
        s.checkRef = TKolvaro::Server::_nil();
        return LoginOutcome::failed(QString::fromStdString(sentence));
    }
}

void ClientOrb::registerName(const QString& name, std::function<void(LoginOutcome)> done) {
    auto task = [shared = shared_, name = name.toStdString(), done] {
        LoginOutcome outcome = login(*shared, name);
        shared->deliver([done, outcome] { done(outcome); });
    };
    if (!worker_ || !worker_->post(std::move(task)))
        done(LoginOutcome::failed(QStringLiteral("Could not log in: the program is ending")));
}

ClientOrb::SessionCheck ClientOrb::check(Shared& s, const std::string& name,
                                         const std::function<unsigned long()>& probes) {
    SessionCheck out;
    try {
        findServer(s);
        TKolvaro::Server_var ref;
        {
            std::lock_guard lock(s.mutex);
            if (CORBA::is_nil(s.checkRef.in())) {
                // A proxy of its own: a call timeout belongs to the proxy.
                s.checkRef = ownProxy<TKolvaro::Server>(s.orb.in(), s.server.in());
                omniORB::setClientCallTimeout(s.checkRef.in(),
                                              static_cast<CORBA::ULong>(s.checkTimeout.count()));
                retryOnStaleConnections(s.checkRef.in(), kStaleRetriesToServer);
            }
            ref = TKolvaro::Server::_duplicate(s.checkRef.in());
        }
        const unsigned long before = probes();
        const CORBA::Long result = ref->Login(name.c_str(), s.callbackRef.in());
        if (result != -1) {
            out.answer = SessionCheck::Answer::Registered;
            out.count = result;
        } else {
            out.answer =
                probes() != before ? SessionCheck::Answer::Held : SessionCheck::Answer::HeldByOther;
        }
    } catch (...) {
        out.reason = failureSentence("reach the server");
        std::lock_guard lock(s.mutex);
        s.server = TKolvaro::Server::_nil();
        s.checkRef = TKolvaro::Server::_nil();
    }
    return out;
}

void ClientOrb::checkSession(const std::string& name, std::function<unsigned long()> probes,
                             std::function<void(SessionCheck)> done) {
    auto task = [shared = shared_, name, probes = std::move(probes), done] {
        SessionCheck outcome = check(*shared, name, probes);
        shared->deliver([done, outcome] { done(outcome); });
    };
    if (worker_)
        worker_->post(std::move(task));
}

std::unique_ptr<CorbaServerLink> ClientOrb::makeServerLink(QObject* context) {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->loggedIn || shared_->ended || CORBA::is_nil(shared_->server.in()))
        return nullptr;
    CorbaServerLink::Options linkOptions;
    linkOptions.callTimeout = options_.callTimeout;
    return std::make_unique<CorbaServerLink>(shared_->orb.in(), shared_->server.in(), context,
                                             linkOptions);
}

namespace {

// destroy() waits for every callback in progress, and one may be waiting for
// a person: bound the wait and let the process end regardless.
bool destroyWithin(CORBA::ORB_ptr orb, std::chrono::milliseconds bound) {
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> endedFuture = ended->get_future();
    std::thread([orb = CORBA::ORB::_duplicate(orb), ended] {
        CORBA::ORB_var keep = orb;
        try {
            keep->destroy();
        } catch (const CORBA::Exception&) {
        }
        ended->set_value();
    }).detach();
    return endedFuture.wait_for(bound) == std::future_status::ready;
}

} // namespace

bool ClientOrb::shutdown() {
    // Later calls keep the first answer: only the first one knows whether a
    // thread was let go inside the ORB.
    if (!worker_)
        return endedCleanly_;
    bool clean = worker_->finish(options_.shutdownBound);
    worker_.reset();
    shared_->deliver.stop();
    CORBA::ORB_var orb;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ended = true;
        shared_->server = TKolvaro::Server::_nil();
        shared_->checkRef = TKolvaro::Server::_nil();
        // The login thread has ended (or been let go); if it was let go it
        // still owns the ORB and the ORB is left to the process's end.
        if (clean) {
            shared_->callbackRef = TKolvaro::Client::_nil();
            orb = shared_->orb._retn();
        }
    }
    endedCleanly_ = clean;
    if (CORBA::is_nil(orb.in()))
        return clean;
    endedCleanly_ = destroyWithin(orb.in(), options_.shutdownBound);
    return endedCleanly_;
}

} // namespace kolvaro
