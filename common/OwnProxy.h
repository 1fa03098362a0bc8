#pragma once

#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>

#include <string>
#include <vector>

namespace kolvaro {

// A proxy object of its own for what ref designates. A call timeout or a
// failure handler belongs to a proxy object, and _duplicate hands out the
// same one; a round trip through the string form makes a fresh one, which
// also follows any location forward anew rather than sharing ref's.
CORBA::Object_ptr ownProxy(CORBA::ORB_ptr orb, CORBA::Object_ptr ref);

// The same, typed without a remote call: for a ref known to be a T.
template <class T> typename T::_ptr_type ownProxy(CORBA::ORB_ptr orb, CORBA::Object_ptr ref) {
    CORBA::Object_var obj = ownProxy(orb, ref);
    return T::_unchecked_narrow(obj);
}

// The IIOP profiles of ref, in its order; none for nil.
std::vector<IIOP::ProfileBody> iiopProfiles(CORBA::Object_ptr ref);

// host:port of a profile: omniORB keeps its connections per address.
std::string addressOf(const IIOP::ProfileBody& body);

} // namespace kolvaro
