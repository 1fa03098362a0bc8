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

// A connection kept open to a server that has since died fails the next call
// on it (after the request was written, so as "maybe completed"); this retries
// such a call a few times on a fresh connection. What a dead server may have
// received died with it, so nothing is made twice; a server that is really
// gone refuses the fresh connection, which ends the retries.
void retryOnStaleConnections(CORBA::Object_ptr ref);

} // namespace kolvaro
