// kolvaro-server: the console program that serves "ServerObject".

#include "Announcement.h"
#include "BoardAnnouncer.h"
#include "OrbInit.h"
#include "ServerImpl.h"
#include "ServerObjectForwarder.h"

#include <omniORB4/Naming.hh>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr const char* kObjectName = "ServerObject";
// The real server object's id in its own persistent POA; with a fixed
// endpoint its full reference stays valid across restarts.
constexpr const char* kServerId = "ServerImpl";
constexpr const char* kServerPoa = "KolvaroServer";

std::string describe(const CORBA::Exception& ex) {
    std::string text = std::string("CORBA::") + ex._name();
    if (auto* sys = CORBA::SystemException::_downcast(&ex)) {
        const char* minor = sys->NP_minorString();
        text += " (minor: ";
        text += minor ? minor : std::to_string(sys->minor());
        text += ", completed: ";
        switch (sys->completed()) {
        case CORBA::COMPLETED_YES:
            text += "YES";
            break;
        case CORBA::COMPLETED_NO:
            text += "NO";
            break;
        default:
            text += "MAYBE";
            break;
        }
        text += ")";
    }
    return text;
}

// Shutting the ORB down waits for the calls in progress, and a SendTxt waits
// on a person reading a message box; the process must end anyway.
void exitIfShutdownHangs() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        fflush(stdout);
        _exit(0);
    }).detach();
}

// SIGTERM and SIGINT are blocked in every thread (the ORB's inherit the
// mask) and taken by one thread of ours with sigwait, so the ORB is shut
// down from an ordinary thread: never inside a signal handler, never from a
// dispatch thread.
class TerminationWatch {
public:
    TerminationWatch() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }

    void start(CORBA::ORB_ptr orb) {
        thread_ = std::thread([this, orb] {
            int sig = 0;
            sigwait(&signals_, &sig);
            if (released_)
                return;
            exitIfShutdownHangs();
            orb->shutdown(false);
        });
    }

    // Wakes the watcher when the ORB stopped for another reason.
    void release() {
        if (!thread_.joinable())
            return;
        released_ = true;
        // Sent to the process, not the thread: every thread blocks it, so it
        // waits for the watcher, or stays pending if the watcher is done.
        kill(getpid(), SIGTERM);
        thread_.join();
    }

    ~TerminationWatch() { release(); }

private:
    sigset_t signals_;
    std::thread thread_;
    std::atomic<bool> released_{false};
};

// Also publishes the server in a naming service when one is configured. A
// naming service that cannot be reached is no reason to stop serving.
void bindInNamingService(CORBA::ORB_ptr orb, CORBA::Object_ptr server) {
    CORBA::Object_var nsObj;
    try {
        nsObj = orb->resolve_initial_references("NameService");
    } catch (const CORBA::ORB::InvalidName&) {
        return; // none configured
    } catch (const CORBA::NO_RESOURCES&) {
        return; // omniORB's way of saying none is configured
    }
    try {
        omniORB::setClientCallTimeout(nsObj, 5000);
        CosNaming::NamingContext_var ns = CosNaming::NamingContext::_narrow(nsObj);
        if (CORBA::is_nil(ns)) {
            fprintf(stderr, "kolvaro-server: the NameService reference is not a naming context; "
                            "serving without it\n");
            return;
        }
        CosNaming::Name name;
        name.length(1);
        name[0].id = kObjectName;
        name[0].kind = "";
        ns->rebind(name, server);
    } catch (const CORBA::Exception& ex) {
        fprintf(stderr,
                "kolvaro-server: cannot bind %s in the naming service: %s; serving without it\n",
                kObjectName, describe(ex).c_str());
    }
}

// Every connection costs a descriptor; the usual soft limit of 1,024 is
// reached by a thousand idle clients, and then nobody can log in.
void raiseOpenFilesLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

PortableServer::POA_ptr makeServerPoa(PortableServer::POA_ptr root) {
    CORBA::PolicyList policies;
    policies.length(2);
    policies[0] = root->create_lifespan_policy(PortableServer::PERSISTENT);
    policies[1] = root->create_id_assignment_policy(PortableServer::USER_ID);
    PortableServer::POAManager_var manager = root->the_POAManager();
    PortableServer::POA_ptr poa = root->create_POA(kServerPoa, manager, policies);
    for (CORBA::ULong i = 0; i < policies.length(); ++i)
        policies[i]->destroy();
    return poa;
}

// Unread messages hold connections to their recipient; its other callbacks
// need more. Connections to departed clients are closed after a short idle
// scan rather than collected for minutes.
CORBA::ORB_ptr startOrb(int& argc, char** argv) {
    const std::string connectionsPerPeer = std::to_string(kolvaro::kConnectionsPerPeer);
    const char* const serverDefaults[][2] = {
        {"maxGIOPConnectionPerServer", connectionsPerPeer.c_str()},
        {"outConScanPeriod", "15"},
        {nullptr, nullptr},
    };
    return kolvaro::initOrb(argc, argv, /*withDefaultEndpoint*/ true, serverDefaults);
}

struct ServerPoas {
    PortableServer::POA_var root;
    PortableServer::POA_var server; // ServerImpl's own, whose references carry the code sets
    PortableServer::POA_var ins;    // serves the published key "ServerObject"
};

// Resolving the root POA opens the endpoints, so a taken port fails here,
// before the start line.
ServerPoas openPoas(CORBA::ORB_ptr orb) {
    ServerPoas poas;
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    poas.root = PortableServer::POA::_narrow(obj);
    poas.server = makeServerPoa(poas.root);
    obj = orb->resolve_initial_references("omniINSPOA");
    poas.ins = PortableServer::POA::_narrow(obj);
    return poas;
}

// Makes the server reachable under every name it has: its full reference,
// the forwarding key "ServerObject", and the naming service if any.
void publish(CORBA::ORB_ptr orb, const ServerPoas& poas, ServerImpl* server) {
    PortableServer::ObjectId_var serverId = PortableServer::string_to_ObjectId(kServerId);
    poas.server->activate_object_with_id(serverId, server);
    CORBA::Object_var serverRef = poas.server->id_to_reference(serverId);

    PortableServer::Servant_var<kolvaro::ServerObjectForwarder> forwarder =
        new kolvaro::ServerObjectForwarder(serverRef);
    PortableServer::ObjectId_var forwardId = PortableServer::string_to_ObjectId(kObjectName);
    poas.ins->activate_object_with_id(forwardId, forwarder);
    CORBA::Object_var forwardRef = poas.ins->id_to_reference(forwardId);
    server->refuseAsCallback(serverRef);
    server->refuseAsCallback(forwardRef);

    PortableServer::POAManager_var rootManager = poas.root->the_POAManager();
    rootManager->activate();
    PortableServer::POAManager_var insManager = poas.ins->the_POAManager();
    insManager->activate();

    bindInNamingService(orb, serverRef);
}

// Announces the board on the network under a name a person recognises, for
// the ports the ORB really listens on, with what a client needs to reach the
// object there (corbaloc::HOST:PORT/ServerObject).
std::unique_ptr<kolvaro::BoardAnnouncer> announceOnNetwork() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::random_device random;
    char id[17];
    snprintf(id, sizeof id, "%08x%08x", random(), random());
    namespace an = kolvaro::announcement;
    return std::make_unique<kolvaro::BoardAnnouncer>(
        std::string("Kolvaro on ") + host, kolvaro::listeningPorts(),
        std::vector<std::string>{std::string(an::kKeyField) + "=" + kObjectName,
                                 std::string(an::kIdField) + "=" + id});
}

void reportFailure(const CORBA::Exception& ex) {
    fprintf(stderr, "kolvaro-server: %s\n", describe(ex).c_str());
}

} // namespace

int main(int argc, char** argv) {
    // Each console line must reach a pipe or file when it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    TerminationWatch watch;
    raiseOpenFilesLimit();

    CORBA::ORB_var orb;
    try {
        orb = startOrb(argc, argv);
    } catch (const CORBA::Exception& ex) {
        reportFailure(ex);
        return 1;
    }

    PortableServer::Servant_var<ServerImpl> server;
    try {
        ServerPoas poas = openPoas(orb);
        kolvaro::ServerOptions options;
        options.log = stdout;
        server = new ServerImpl(options);
        publish(orb, poas, server);
        std::unique_ptr<kolvaro::BoardAnnouncer> announcer = announceOnNetwork();
        watch.start(orb);
        orb->run();
        // Withdrawn first: nobody should find a server that is going.
        announcer.reset();
    } catch (const CORBA::Exception& ex) {
        reportFailure(ex);
        if (server)
            server->shutdown();
        return 1;
    }

    watch.release();
    if (server)
        server->shutdown();
    try {
        orb->destroy();
    } catch (const CORBA::Exception&) {
    }
    return 0;
}
