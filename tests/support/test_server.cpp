// kolvaro-test-server: the server's logic under bounds given on the command
// line (NAME=VALUE, names of kolvaro::ServerOptions), so that a test reaches
// them in seconds. Serves "ServerObject" directly, without the forwarder.
#include "OrbInit.h"
#include "ServerImpl.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* const defaults[][2] = {{"maxGIOPConnectionPerServer", "32"}, {nullptr, nullptr}};
    CORBA::ORB_var orb = kolvaro::initOrb(argc, argv, false, defaults);
    kolvaro::ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        const std::string name(argv[i], eq ? eq - argv[i] : 0);
        const unsigned value = eq ? std::stoul(eq + 1) : 0;
        if (name == "callTimeoutMs")
            options.callTimeoutMs = value;
        else if (name == "maxBacklogOps")
            options.maxBacklogOps = value;
        else if (name == "maxStallMs")
            options.maxStallMs = value;
        else if (name == "loginProbeTimeoutMs")
            options.loginProbeTimeoutMs = value;
        else if (name == "maxUnread")
            options.maxUnread = value;
        else if (name == "keptAreaMs")
            options.keptAreaMs = value;
        else if (name == "maxAreaEntries")
            options.maxAreaEntries = value;
    }
    CORBA::Object_var obj = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::Servant_var<ServerImpl> server = new ServerImpl(options);
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("ServerObject");
    poa->activate_object_with_id(id, server);
    obj = poa->id_to_reference(id);
    server->refuseAsCallback(obj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    orb->run();
}
