#pragma once

#include <omniORB4/CORBA.h>

namespace kolvaro {

// Minor code of the IMP_LIMIT with which the server refuses a SendTxt whose
// recipient already has as many unread messages as it may hold. The client
// tells this refusal apart from other resource failures by it, so it can name
// the reason to its user.
constexpr CORBA::ULong kTooManyUnreadMinor = 0x4B4C0001;

} // namespace kolvaro
