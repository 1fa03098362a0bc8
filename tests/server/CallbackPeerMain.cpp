// A callback object in a process of its own, so that tests can stop or kill
// a real remote peer. Prints its reference, then one line per callback
// served; ends when its standard input closes.
#include "OrbInit.h"
#include "RecordingClient.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
    CORBA::ORB_var orb = kolvaro::initOrb(argc, argv, false);
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();

    PortableServer::Servant_var<kolvaro::test::RecordingClient> servant =
        new kolvaro::test::RecordingClient;
    servant->setHook([](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    PortableServer::ObjectId_var id = poa->activate_object(servant.in());
    CORBA::Object_var ref = poa->id_to_reference(id);
    CORBA::String_var ior = orb->object_to_string(ref);
    std::printf("%s\n", ior.in());
    std::fflush(stdout);

    char c;
    while (read(0, &c, 1) > 0) {
    }
    _exit(0); // no orderly ORB shutdown needed: the test is gone or done
}
