#pragma once

#include <omniORB4/CORBA.h>

namespace kolvaro {

// Starts the process's ORB with the settings both programs rely on: UTF-8 as
// native char code set, so names in any script pass between our programs, and
// immediate connection watching, without which a call on a busy connection can
// stall ~40 ms. ORB options from the command line are honoured and consumed.
//
// withDefaultEndpoint adds the standard corbaloc endpoint (TCP 2809, all
// interfaces) unless the command line names an endpoint of its own; omniORB
// adds endpoints rather than replacing them, so this must look first.
//
// One thread serves each connection, so its requests run in arrival order,
// and every reference the process makes declares so (see Pipeline.h) unless
// the command line changed that.
//
// extraDefaults, name/value pairs ending with a null name, adds settings of
// one program's own; the command line still overrides them.
CORBA::ORB_ptr initOrb(int& argc, char** argv, bool withDefaultEndpoint,
                       const char* const (*extraDefaults)[2] = nullptr);

// True when argv carries an -ORBendPoint-family option (any spelling omniORB
// accepts: endPoint, endPointNoListen, endPointPublish, ...).
bool hasEndpointOption(int argc, char** argv);

// The port the standard corbaloc address uses when it names none.
constexpr int kDefaultPort = 2809;

} // namespace kolvaro
