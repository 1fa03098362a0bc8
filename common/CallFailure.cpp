#include "CallFailure.h"

#include <omniORB4/minorCode.h>

#include <cstdint>

namespace kolvaro {

namespace {

CORBA::Boolean retryUpTo(void* tries, CORBA::ULong retries, const CORBA::COMM_FAILURE&) {
    return retries < reinterpret_cast<std::uintptr_t>(tries);
}

} // namespace

bool timedOut(const CORBA::SystemException& e) {
    if (CORBA::TIMEOUT::_downcast(&e))
        return true;
    return CORBA::TRANSIENT::_downcast(&e) && e.minor() == omni::TRANSIENT_CallTimedout;
}

bool lostContact(const CORBA::SystemException& e) {
    return CORBA::TRANSIENT::_downcast(&e) || CORBA::COMM_FAILURE::_downcast(&e) ||
           CORBA::OBJECT_NOT_EXIST::_downcast(&e) || CORBA::TIMEOUT::_downcast(&e);
}

bool peerGone(const CORBA::SystemException& e) {
    return lostContact(e) || CORBA::INV_OBJREF::_downcast(&e) ||
           CORBA::OBJ_ADAPTER::_downcast(&e) || CORBA::NO_IMPLEMENT::_downcast(&e) ||
           CORBA::BAD_OPERATION::_downcast(&e);
}

void retryOnStaleConnections(CORBA::Object_ptr ref, CORBA::ULong tries) {
    omniORB::installCommFailureExceptionHandler(
        ref, reinterpret_cast<void*>(static_cast<std::uintptr_t>(tries)), retryUpTo);
}

} // namespace kolvaro
