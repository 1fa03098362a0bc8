#pragma once

#include <omniORB4/CORBA.h>

namespace kolvaro {

// A call that ran out of time: the peer may be stopped rather than dead.
bool timedOut(const CORBA::SystemException& e);

// The transport lost the peer: its process or object is gone, or it has not
// answered within the call timeout, which we treat alike.
bool lostContact(const CORBA::SystemException& e);

// Contact lost, or the reference can never work (a forged or broken callback
// would otherwise hold its name for ever). Anything else, such as a string
// the peer cannot convert, concerns one call only.
bool peerGone(const CORBA::SystemException& e);

// A peer restarted on the address of an earlier one finds connections to the
// earlier one still open, and dead: a call over one fails before it reaches
// anybody (as "maybe completed"), and omniORB drops that connection. A retry
// takes the next one, or opens a fresh one; a peer that is really gone
// refuses the fresh connection with TRANSIENT, which ends the retries at once.
// What a dead peer may have received died with it, so nothing is made twice.
// Each side retries as often as it may hold connections to the other: the
// client's ORB keeps omniORB's default of 5 to the server, the server keeps
// more to each client (unread messages hold some).
constexpr CORBA::ULong kStaleRetriesToServer = 5;
constexpr CORBA::ULong kStaleRetriesToClient = 10;

// Calls on ref retry a stale connection up to `tries` times.
void retryOnStaleConnections(CORBA::Object_ptr ref, CORBA::ULong tries);

} // namespace kolvaro
