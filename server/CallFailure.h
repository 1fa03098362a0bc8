#pragma once

#include <omniORB4/CORBA.h>

namespace kolvaro {

// A call that ran out of time: the peer may be stopped rather than dead.
inline bool timedOut(const CORBA::SystemException& e) {
    if (dynamic_cast<const CORBA::TIMEOUT*>(&e))
        return true;
    return dynamic_cast<const CORBA::TRANSIENT*>(&e) && e.minor() == omni::TRANSIENT_CallTimedout;
}

// The transport says the peer's process or object is gone (or has not
// answered within the call timeout, which we treat alike), or the reference
// can never work (a forged or broken callback would otherwise hold its name
// for ever). Anything else, such as a string the peer cannot convert,
// concerns one call only.
inline bool peerGone(const CORBA::SystemException& e) {
    return dynamic_cast<const CORBA::TRANSIENT*>(&e) ||
           dynamic_cast<const CORBA::COMM_FAILURE*>(&e) ||
           dynamic_cast<const CORBA::OBJECT_NOT_EXIST*>(&e) ||
           dynamic_cast<const CORBA::TIMEOUT*>(&e) || dynamic_cast<const CORBA::INV_OBJREF*>(&e) ||
           dynamic_cast<const CORBA::OBJ_ADAPTER*>(&e) ||
           dynamic_cast<const CORBA::NO_IMPLEMENT*>(&e) ||
           dynamic_cast<const CORBA::BAD_OPERATION*>(&e);
}

} // namespace kolvaro
