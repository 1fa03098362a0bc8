#include "OwnProxy.h"

#include <omniORB4/omniIOR.h>

namespace kolvaro {

CORBA::Object_ptr ownProxy(CORBA::ORB_ptr orb, CORBA::Object_ptr ref) {
    CORBA::String_var ior = orb->object_to_string(ref);
    return orb->string_to_object(ior);
}

std::vector<IIOP::ProfileBody> iiopProfiles(CORBA::Object_ptr ref) {
    std::vector<IIOP::ProfileBody> out;
    if (CORBA::is_nil(ref))
        return out;
    omniIOR_var ior = ref->_PR_getobj()->_getIOR();
    const IOP::TaggedProfileList& profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
        if (profiles[i].tag != IOP::TAG_INTERNET_IOP)
            continue;
        IIOP::unmarshalProfile(profiles[i], out.emplace_back());
    }
    return out;
}

std::string addressOf(const IIOP::ProfileBody& body) {
    return std::string(body.address.host) + ':' + std::to_string(body.address.port);
}

} // namespace kolvaro
