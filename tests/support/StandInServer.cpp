// kolvaro-stand-in-server: serves "ServerObject" for corbaloc and prints one
// line per call, so that tests see exactly what a client sent. A drawing call
// owned by "hold", and SendTxt of "hold", wait for ClearAll("release"); one
// owned by "refuse" is refused; SendTxt of "unread" is refused as the real
// server refuses a full mailbox; other messages go to their recipient.
#include "OrbInit.h"
#include "Refusals.h"

#include "TKolvaro.hh"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

using Sh = CORBA::Short;
using C = const char*;

class StandIn : public POA_TKolvaro::Server {
public:
    CORBA::Long Login(C name, TKolvaro::Client_ptr callback) override {
        say("Login " + std::string(name));
        std::lock_guard lock(mutex_);
        if (!users_.emplace(name, TKolvaro::Client::_duplicate(callback)).second)
            return -1;
        for (auto& u : users_) // while Login is in progress, as the server does
            callback->PrintClient(u.first.c_str());
        return CORBA::Long(users_.size());
    }
    void LoadArea(C name, C owner) override { say("LoadArea " + std::string(name) + " " + owner); }
    void Logout(C name) override { say("Logout " + std::string(name)); }
    void SendTxt(C text, C recipient, C sender) override {
        const std::string t = text;
        say("SendTxt " + t + "|" + recipient + "|" + sender);
        if (t == "unread")
            throw CORBA::IMP_LIMIT(kolvaro::kTooManyUnreadMinor, CORBA::COMPLETED_NO);
        TKolvaro::Client_var to;
        if (t == "hold")
            hold();
        else if (std::lock_guard lock(mutex_); users_.count(recipient))
            to = TKolvaro::Client::_duplicate(users_[recipient].in());
        if (!CORBA::is_nil(to.in()))
            to->PrintTxt(text, sender);
        say("SendTxt done " + t);
    }
    void PaintRect(Sh a, Sh b, Sh c, Sh d, C o) override { draw("PaintRect", {a, b, c, d}, o); }
    void PaintLine(Sh a, Sh b, Sh c, Sh d, C o) override { draw("PaintLine", {a, b, c, d}, o); }
    void PaintCirc(Sh a, Sh b, Sh c, Sh d, C o) override { draw("PaintCirc", {a, b, c, d}, o); }
    void PaintPoint(Sh x, Sh y, C o) override { draw("PaintPoint", {x, y}, o); }
    void PaintFill(Sh x, Sh y, C o) override { draw("PaintFill", {x, y}, o); }
    void ClearAll(C owner) override {
        say("ClearAll " + std::string(owner));
        std::lock_guard lock(mutex_);
        releases_ += std::string(owner) == "release";
        released_.notify_all();
    }

private:
    void draw(std::string line, std::initializer_list<int> coords, const std::string& owner) {
        for (int c : coords)
            line += " " + std::to_string(c);
        say(line + " " + owner);
        if (owner == "refuse")
            throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
        if (owner == "hold")
            hold();
    }
    void hold() {
        std::unique_lock lock(mutex_);
        const int seen = releases_;
        released_.wait_for(lock, std::chrono::minutes(1), [&] { return releases_ != seen; });
    }
    static void say(const std::string& line) {
        std::printf("%s\n", line.c_str()); // a whole line per call, even across threads
        std::fflush(stdout);
    }

    std::mutex mutex_;
    std::condition_variable released_;
    int releases_ = 0;
    std::map<std::string, TKolvaro::Client_var> users_;
};

} // namespace

int main(int argc, char** argv) {
    CORBA::ORB_var orb = kolvaro::initOrb(argc, argv, false);
    CORBA::Object_var obj = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var ins = PortableServer::POA::_narrow(obj.in());
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("ServerObject");
    ins->activate_object_with_id(id.in(), new StandIn);
    PortableServer::POAManager_var manager = ins->the_POAManager();
    manager->activate();
    std::printf("ready\n");
    std::fflush(stdout);
    orb->run();
}
