#pragma once

#include <omniORB4/CORBA.h>

#include <string>

namespace kolvaro {

// A short reason a user can read, followed by the exception's name, e.g.
// "the server cannot be reached (TRANSIENT)".
std::string describeFailure(const CORBA::Exception& e);

// "Could not <what>: <reason>" for the exception in flight; call only from a
// catch block.
std::string failureSentence(const std::string& what);

} // namespace kolvaro
