#include "OwnProxy.h"

namespace kolvaro {

CORBA::Object_ptr ownProxy(CORBA::ORB_ptr orb, CORBA::Object_ptr ref) {
    CORBA::String_var ior = orb->object_to_string(ref);
    return orb->string_to_object(ior);
}

} // namespace kolvaro
