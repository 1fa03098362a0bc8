#include "CorbaFailure.h"

#include <omniORB4/minorCode.h>

#include <cstring>
#include <exception>

namespace kolvaro {

namespace {

const char* reasonFor(const CORBA::SystemException& e) {
    if (CORBA::TRANSIENT::_downcast(&e)) {
        if (e.minor() == omni::TRANSIENT_CallTimedout)
            return "the server did not answer in time";
        // Minor 0: raised by the server itself, which was reached.
        if (e.minor() == 0)
            return "the server could not complete the call";
        return "the server cannot be reached";
    }
    if (CORBA::TIMEOUT::_downcast(&e))
        return "the server did not answer in time";
    if (CORBA::COMM_FAILURE::_downcast(&e))
        return "the connection to the server was lost";
    if (CORBA::OBJECT_NOT_EXIST::_downcast(&e))
        return "the server is no longer there";
    if (CORBA::DATA_CONVERSION::_downcast(&e))
        return "the text cannot be passed to the server in its character set";
    if (CORBA::INV_OBJREF::_downcast(&e))
        return "the server's address is not valid";
    if (CORBA::BAD_PARAM::_downcast(&e))
        return "a value was refused as invalid";
    if (CORBA::INITIALIZE::_downcast(&e))
        return "the ORB could not start with the options given";
    if (CORBA::NO_MEMORY::_downcast(&e) || CORBA::NO_RESOURCES::_downcast(&e) ||
        CORBA::IMP_LIMIT::_downcast(&e))
        return "the server refused the call for lack of resources";
    return "the call failed";
}

} // namespace

std::string describeFailure(const CORBA::Exception& e) {
    const char* name = e._name();
    if (auto sys = CORBA::SystemException::_downcast(&e))
        return std::string(reasonFor(*sys)) + " (" + name + ")";
    return std::string("the server gave an answer this program does not know (") + name + ")";
}

std::string failureSentence(const std::string& what) {
    std::string reason;
    try {
        throw;
    } catch (const CORBA::Exception& e) {
        reason = describeFailure(e);
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "an unknown error";
    }
    return "Could not " + what + ": " + reason;
}

} // namespace kolvaro
