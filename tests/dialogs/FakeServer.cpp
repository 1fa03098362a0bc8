// A small stand-in for the server, run as its own process so that the
// client's calls really cross the network. It prints one line per call on
// standard output and serves "ServerObject" for corbaloc addresses.
//
// Control words: a drawing call whose owner is "hold", and a SendTxt whose
// text is "hold", wait until ClearAll("release") arrives (at most a minute);
// a SendTxt whose text is "unread" is refused as to a recipient with too many.
// SendTxt to a registered name calls PrintTxt on its callback. With a naming
// service configured it binds itself there as "ServerObject" before "ready".
#include "OrbInit.h"
#include "Refusals.h"

#include "TKolvaro.hh"

#include <omniORB4/Naming.hh>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

class FakeServer : public POA_TKolvaro::Server {
public:
    CORBA::Long Login(const char* name, TKolvaro::Client_ptr callback) override {
        std::vector<std::pair<std::string, TKolvaro::Client_var>> users;
        {
            std::lock_guard lock(mutex_);
            print("Login " + std::string(name));
            for (auto& u : users_)
                if (u.first == name)
                    return -1;
            users_.emplace_back(name, TKolvaro::Client::_duplicate(callback));
            for (auto& u : users_)
                users.emplace_back(u.first, TKolvaro::Client::_duplicate(u.second.in()));
        }
        for (auto& u : users)
            callback->PrintClient(u.first.c_str());
        return static_cast<CORBA::Long>(users.size());
    }
    void LoadArea(const char* name, const char* owner) override {
        print("LoadArea " + std::string(name) + " " + owner);
    }
    void Logout(const char* name) override { print("Logout " + std::string(name)); }
    void SendTxt(const char* text, const char* recipient, const char* sender) override {
        print("SendTxt " + std::string(text) + "|" + recipient + "|" + sender);
        if (std::string(text) == "unread")
            throw CORBA::IMP_LIMIT(kolvaro::kTooManyUnreadMinor, CORBA::COMPLETED_NO);
        if (std::string(text) == "hold") {
            hold();
        } else {
            TKolvaro::Client_var target;
            {
                std::lock_guard lock(mutex_);
                for (auto& u : users_)
                    if (u.first == recipient)
                        target = TKolvaro::Client::_duplicate(u.second.in());
            }
            if (!CORBA::is_nil(target.in()))
                target->PrintTxt(text, sender);
        }
        print("SendTxt done " + std::string(text));
    }
    void PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override {
        draw("PaintRect", {x1, y1, x2, y2}, owner);
    }
    void PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override {
        draw("PaintLine", {x1, y1, x2, y2}, owner);
    }
    void PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override {
        draw("PaintCirc", {x1, y1, x2, y2}, owner);
    }
    void PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) override {
        draw("PaintPoint", {x, y}, owner);
    }
    void PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) override {
        draw("PaintFill", {x, y}, owner);
    }
    void ClearAll(const char* owner) override {
        print("ClearAll " + std::string(owner));
        if (std::string(owner) == "release") {
            std::lock_guard lock(mutex_);
            ++releases_;
            released_.notify_all();
        }
    }

private:
    void draw(const char* op, std::vector<int> coords, const std::string& owner) {
        std::string line = op;
        for (int c : coords)
            line += " " + std::to_string(c);
        print(line + " " + owner);
        if (owner == "hold")
            hold();
    }
    void hold() {
        std::unique_lock lock(mutex_);
        const int seen = releases_;
        released_.wait_for(lock, std::chrono::minutes(1), [&] { return releases_ != seen; });
    }
    void print(const std::string& line) {
        std::lock_guard lock(printMutex_);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    std::mutex mutex_;
    std::condition_variable released_;
    int releases_ = 0;
    std::vector<std::pair<std::string, TKolvaro::Client_var>> users_;
    std::mutex printMutex_;
};

} // namespace

int main(int argc, char** argv) {
    try {
        CORBA::ORB_var orb = kolvaro::initOrb(argc, argv, false);
        CORBA::Object_var obj = orb->resolve_initial_references("omniINSPOA");
        PortableServer::POA_var ins = PortableServer::POA::_narrow(obj.in());
        auto* servant = new FakeServer; // lives as long as the process
        PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("ServerObject");
        ins->activate_object_with_id(id.in(), servant);
        PortableServer::POAManager_var manager = ins->the_POAManager();
        manager->activate();
        try {
            CORBA::Object_var ns = orb->resolve_initial_references("NameService");
            CosNaming::NamingContext_var names = CosNaming::NamingContext::_narrow(ns.in());
            CosNaming::Name name;
            name.length(1);
            name[0].id = CORBA::string_dup("ServerObject");
            name[0].kind = CORBA::string_dup("");
            CORBA::Object_var self = ins->id_to_reference(id.in());
            names->rebind(name, self.in());
        } catch (const CORBA::ORB::InvalidName&) {
        } catch (const CORBA::NO_RESOURCES&) {
            // no naming service configured
        }
        obj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var root = PortableServer::POA::_narrow(obj.in());
        manager = root->the_POAManager();
        manager->activate();
        std::printf("ready\n");
        std::fflush(stdout);
        orb->run();
    } catch (const CORBA::Exception& e) {
        std::fprintf(stderr, "fake server: %s\n", e._name());
        return 1;
    }
    return 0;
}
