#include "ServerObjectForwarder.h"

#include "TKolvaro.hh"

namespace kolvaro {

ServerObjectForwarder::ServerObjectForwarder(CORBA::Object_ptr target)
    : target_(CORBA::Object::_duplicate(target)) {}

CORBA::Boolean ServerObjectForwarder::_dispatch(omniCallHandle&) {
    // Temporary, not permanent: a client keeps the corbaloc address as its
    // fallback and asks again after a server restart.
    throw omniORB::LOCATION_FORWARD(CORBA::Object::_duplicate(target_), false);
}

const char* ServerObjectForwarder::_mostDerivedRepoId() {
    return TKolvaro::Server::_PD_repoId;
}

} // namespace kolvaro
