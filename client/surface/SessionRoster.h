#pragma once

#include "Shape.h"

#include <string>
#include <vector>

namespace kolvaro {

// Who this client is and how many are logged in, as the window must show it
// and the rules that follow from it, with no windows: the own name, the count
// of all clients, the newcomers accepted before the user entered, and what of
// the own area goes to the server again after a new login.
class SessionRoster {
public:
    const std::string& ownName() const { return ownName_; }
    int allCount() const { return allCount_; }
    // A message needs someone to read it.
    bool canSend() const { return allCount_ != 1; }

    // The answer to Login for `name`: the count of clients, or -1 when the
    // name is taken.
    void loginAnswered(const std::string& name, int result);
    // The name is someone else's now: closing must not log it out.
    void forgetOwnName();
    // The user entered: the newcomers accepted meanwhile, to be opened now.
    std::vector<std::string> startWork();

    // The user wants to see a newcomer: true when its area is to open now
    // (the caller then counts it), false when it opens at startWork().
    bool accept(const std::string& name);
    void left(const std::string& name);
    // A newcomer now shown, or one whose area is still shown come back
    // after a lost session.
    void counted() { ++allCount_; }

    // The server began a session under the own name: true when the own
    // area's history is to be set aside now (the server did not keep it).
    bool sessionBegan(bool keptArea);
    // After a new login: true when no session began since the last restore,
    // so the own area has not been set aside yet.
    bool restore(int count);
    // What of the own area goes to the server again.
    void setAside(const std::vector<PaintRecord>& history);
    std::vector<PaintRecord> takeSetAside();
    // Every area closed: nothing is owed to the server.
    void areasClosed();

private:
    std::string ownName_;
    int allCount_ = 0;
    bool working_ = false;
    // Since the last restore: the server began a session, and what of the
    // own area is to be sent to it again.
    bool sessionBegun_ = false;
    std::vector<PaintRecord> toResend_;
    std::vector<std::string> acceptedEarly_;
};

} // namespace kolvaro
