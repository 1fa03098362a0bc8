#pragma once

#include <omniORB4/CORBA.h>

namespace kolvaro {

// Serves the well-known key "ServerObject" (the one a corbaloc address names)
// by forwarding every request, _is_a and _non_existent included, to the full
// reference of the real server object. A corbaloc reference carries no code
// sets, so a client would otherwise send names as Latin-1 and fail on any
// other script; after the forward it talks to a reference that negotiates
// UTF-8. Standard GIOP location forwarding, so any ORB follows it.
class ServerObjectForwarder : public virtual PortableServer::ServantBase {
public:
    explicit ServerObjectForwarder(CORBA::Object_ptr target);

    CORBA::Boolean _dispatch(omniCallHandle& handle) override;
    const char* _mostDerivedRepoId() override;

private:
    CORBA::Object_var target_;
};

} // namespace kolvaro
