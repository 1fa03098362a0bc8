#include "ClientOrb.h"

#include "CorbaFailure.h"
#include "CorbaServerLink.h"
#include "OrbInit.h"
#include "OwnProxy.h"
#include "QueuedDelivery.h"
#include "SerialWorker.h"

#include <omniORB4/Naming.hh>
#include <omniORB4/minorCode.h>

#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kolvaro {

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

void ClientOrb::findServer(Shared& s) {
    {
        std::lock_guard lock(s.mutex);
        if (!CORBA::is_nil(s.server.in()))
            return;
    }
    CORBA::Object_var obj = resolveIfConfigured(s.orb.in(), "ServerObject");
    if (CORBA::is_nil(obj.in())) {
        CORBA::Object_var ns = resolveIfConfigured(s.orb.in(), "NameService");
        if (!CORBA::is_nil(ns.in()))
            obj = fromNamingService(ns.in());
    }
    if (CORBA::is_nil(obj.in()))
        obj = s.orb->string_to_object("corbaloc::localhost/ServerObject");

    const auto timeout = static_cast<CORBA::ULong>(s.callTimeout.count());
    omniORB::setClientCallTimeout(obj.in(), timeout);
    // The first remote call: it follows a forward of the published key to the
    // server's full reference before any text is marshalled.
    TKolvaro::Server_var server = TKolvaro::Server::_narrow(obj.in());
    if (CORBA::is_nil(server.in()))
        throw std::runtime_error("the object found as ServerObject is not a Kolvaro server");
    omniORB::setClientCallTimeout(server.in(), timeout);
    // A reference that arrived typed narrows without a call; make sure the
    // forward has been followed before Login marshals the name.
    if (server->_non_existent())
        throw CORBA::OBJECT_NOT_EXIST();
    std::lock_guard lock(s.mutex);
    s.server = server._retn();
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
                retryOnStaleConnections(s.checkRef.in());
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
