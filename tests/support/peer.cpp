// kolvaro-test-peer: a callback client in a process of its own, driven over a
// pipe. One command per line on stdin, one answer line on stdout:
//   login|login-nil|login-server NAME | logout NAME | load NAME OWNER | clear OWNER
//   line|rect|circ X1 Y1 X2 Y2 OWNER | point|fill X Y OWNER
//   send RECIPIENT SENDER TEXT... | send-size RECIPIENT SENDER BYTES
//   send-flood N RECIPIENT SENDER MS  (N messages at once; the answers within MS)
//   on ACTION PREFIX...  callbacks whose line starts with PREFIX: ACTION is a
//                        delay in ms each (0: none), "stall" until the next rule
//                        for PREFIX, or a system exception they throw unserved
//   burst N OWNER [TAG [PACE_US]]  N lines (x1 = i, y2 = i), one per PACE_US at most
//   quit
// A token "" is the empty string; \xHH is that byte. Answers: "RESULT <cmd>
// [detail]" or "ERROR <cmd> <exception>"; each callback as it is served:
// "EV PaintLine 1 2 3 4 A". "READY" once serving. The benchmarks build it with
// commands of their own (KOLVARO_PEER_MORE).
#include "OrbInit.h"
#include "Refusals.h"
#include "TKolvaro.hh"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cctype>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Words = std::vector<std::string>;

std::mutex outMutex;
std::atomic<bool> quiet{false};

void emit(const std::string& line) {
    std::lock_guard lock(outMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string decode(const std::string& t) {
    if (t == "\"\"")
        return {};
    std::string out;
    for (std::size_t i = 0; i < t.size(); ++i)
        if (t.compare(i, 2, "\\x") == 0 && i + 4 <= t.size()) {
            out += static_cast<char>(std::stoi(t.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else
            out += t[i];
    return out;
}

// The text after the first n words of line, for texts with spaces.
std::string restAfter(const std::string& line, int n) {
    std::size_t at = 0;
    for (int i = 0; i < n && at != std::string::npos; ++i)
        at = line.find(' ', line.find_first_not_of(' ', at));
    return at == std::string::npos ? std::string() : decode(line.substr(at + 1));
}

// What callbacks do, for every servant of the process: a slow or absent
// reader, or a client whose callback fails.
struct Rules {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::string> actions; // prefix -> action

    std::string actionFor(const std::string& line) {
        std::string action;
        for (auto& [prefix, a] : actions)
            if (line.starts_with(prefix))
                action = a;
        return action;
    }
    void set(const std::string& action, const std::string& prefix) {
        std::lock_guard lock(mutex);
        actions[prefix] = action;
        changed.notify_all();
    }
    void failIfAsked(const std::string& line) {
        std::lock_guard lock(mutex);
        const std::string a = actionFor(line);
        if (a.empty() || std::isdigit(static_cast<unsigned char>(a[0])) || a == "stall")
            return;
        if (a == "TRANSIENT")
            throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
        if (a == "INV_OBJREF")
            throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
        throw CORBA::DATA_CONVERSION(0, CORBA::COMPLETED_NO);
    }
    void wait(const std::string& line) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return actionFor(line) != "stall"; });
        const std::string a = actionFor(line);
        if (!a.empty() && std::isdigit(static_cast<unsigned char>(a[0]))) {
            lock.unlock();
            std::this_thread::sleep_for(milliseconds(std::stoi(a)));
        }
    }
} rules;

class Recorder : public POA_TKolvaro::Client {
    using S = CORBA::Short;
    using C = const char*;

public:
    // Not inlined: under the sanitizers GCC then misreads the servant's virtual base
    // (-Warray-bounds).
    [[gnu::noinline]] explicit Recorder(bool printing) : printing_(printing) {}

    std::size_t waitCount(std::size_t n, milliseconds timeout) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return served_ >= n; });
        return served_;
    }

    void AddNewClient(C n) override { serve("AddNewClient", n); }
    void PrintClient(C n) override { serve("PrintClient", n); }
    void PrintTxt(C text, C sender) override {
        serve("PrintTxt", std::string(text) + '|' + sender);
    }
    void CloseClient(C n) override { serve("CloseClient", n); }
    void PaintRect(S a, S b, S c, S d, C o) override { serve("PaintRect", a, b, c, d, o); }
    void PaintLine(S a, S b, S c, S d, C o) override { serve("PaintLine", a, b, c, d, o); }
    void PaintCirc(S a, S b, S c, S d, C o) override { serve("PaintCirc", a, b, c, d, o); }
    void PaintPoint(S x, S y, C o) override { serve("PaintPoint", x, y, o); }
    void PaintFill(S x, S y, C o) override { serve("PaintFill", x, y, o); }
    void ClearAll(C o) override { serve("ClearAll", o); }

private:
    static std::string text(short v) { return std::to_string(v); }
    static std::string text(const std::string& s) { return s; }
    template <class... A> void serve(std::string line, const A&... fields) {
        ((line += ' ' + text(fields)), ...);
        rules.failIfAsked(line);
        if (printing_ && !quiet)
            emit("EV " + line);
        rules.wait(line);
        std::lock_guard lock(mutex_);
        ++served_;
        changed_.notify_all();
    }

    const bool printing_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t served_ = 0;
};

class Peer {
public:
    Peer(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa)
        : orb_(CORBA::ORB::_duplicate(orb)), poa_(PortableServer::POA::_duplicate(poa)),
          self_(new Recorder(true)), selfRef_(activate(self_)) {}

    // Runs one command line; false when the peer is to end.
    bool run(const std::string& line) {
        std::istringstream in(line);
        Words t;
        for (std::string w; in >> w;)
            t.push_back(decode(w));
        if (t.empty() || t[0] == "quit")
            return t.empty();
        t.resize(std::max<std::size_t>(t.size(), 7)); // a missing word is ""
        try {
            // An answer of its own kind (a benchmark's COUNT) starts with a capital.
            const std::string out = dispatchMore(t, line);
            emit(std::isupper(static_cast<unsigned char>(out[0]))
                     ? out
                     : "RESULT " + t[0] + (out.empty() ? "" : " " + out));
        } catch (const CORBA::Exception& ex) {
            emit("ERROR " + t[0] + " " + ex._name());
        } catch (const std::exception& ex) {
            emit("ERROR " + t[0] + " " + ex.what());
        }
        return true;
    }

private:
    TKolvaro::Client_ptr activate(Recorder* servant) {
        PortableServer::ObjectId_var id = poa_->activate_object(servant);
        CORBA::Object_var ref = poa_->id_to_reference(id);
        servant->_remove_ref(); // the POA keeps it
        return TKolvaro::Client::_narrow(ref);
    }

    TKolvaro::Server_ptr server() {
        if (CORBA::is_nil(server_)) {
            CORBA::Object_var obj = orb_->resolve_initial_references("ServerObject");
            server_ = TKolvaro::Server::_narrow(obj);
            if (CORBA::is_nil(server_))
                throw std::runtime_error("not-a-server");
        }
        return server_;
    }

    std::string dispatch(const Words& t, const std::string& line) {
        const std::string& c = t[0];
        auto s = [&](int i) { return t[i].c_str(); };
        auto n = [&](int i) { return static_cast<short>(std::stoi(t[i])); };
        auto ms = [&](int i) { return milliseconds(std::stoi(t[i])); };
        if (c == "login" || c == "login-nil" || c == "login-server") {
            TKolvaro::Client_var cb = c == "login" ? TKolvaro::Client::_duplicate(selfRef_)
                                      : c == "login-nil"
                                          ? TKolvaro::Client::_nil()
                                          : TKolvaro::Client::_unchecked_narrow(server());
            return std::to_string(server()->Login(s(1), cb));
        } else if (c == "logout") {
            server()->Logout(s(1));
        } else if (c == "load") {
            server()->LoadArea(s(1), s(2));
        } else if (c == "clear") {
            server()->ClearAll(s(1));
        } else if (c == "line") {
            server()->PaintLine(n(1), n(2), n(3), n(4), s(5));
        } else if (c == "rect") {
            server()->PaintRect(n(1), n(2), n(3), n(4), s(5));
        } else if (c == "circ") {
            server()->PaintCirc(n(1), n(2), n(3), n(4), s(5));
        } else if (c == "point") {
            server()->PaintPoint(n(1), n(2), s(3));
        } else if (c == "fill") {
            server()->PaintFill(n(1), n(2), s(3));
        } else if (c == "send" || c == "send-size") {
            const auto text = c == "send" ? restAfter(line, 3) : std::string(std::stoul(t[3]), 'x');
            server()->SendTxt(text.c_str(), s(1), s(2));
        } else if (c == "send-flood") {
            return sendFlood(std::stoul(t[1]), t[2], t[3], ms(4));
        } else if (c == "on") {
            rules.set(t[1], restAfter(line, 2));
        } else if (c == "burst") {
            const auto pace = std::chrono::microseconds(t[4].empty() ? 0 : std::stoi(t[4]));
            const auto begin = Clock::now();
            for (int i = 0, count = std::stoi(t[1]); i < count; ++i) {
                std::this_thread::sleep_until(begin + pace * i);
                server()->PaintLine(short(i % 640), short(i / 640 % 480),
                                    t[3].empty() ? short(0) : n(3), short(i), s(2));
            }
        } else {
            throw std::runtime_error("unknown-command");
        }
        return "";
    }

    std::string sendFlood(std::size_t n, const std::string& to, const std::string& from,
                          milliseconds within) {
        // answered, refused as too many unread, failed otherwise
        auto counts = std::make_shared<std::array<std::atomic<std::size_t>, 3>>();
        for (std::size_t i = 0; i < n; ++i)
            // Unanswered calls stay behind when the command returns.
            std::thread([s = TKolvaro::Server::_duplicate(server()), counts, to, from] {
                TKolvaro::Server_var server = s;
                try {
                    server->SendTxt("flood", to.c_str(), from.c_str());
                    ++(*counts)[0];
                } catch (const CORBA::IMP_LIMIT& e) {
                    ++(*counts)[e.minor() == kolvaro::kTooManyUnreadMinor ? 1 : 2];
                } catch (...) {
                    ++(*counts)[2];
                }
            }).detach();
        auto& c = *counts;
        for (const auto until = Clock::now() + within;
             c[0] + c[1] + c[2] < n && Clock::now() < until;)
            std::this_thread::sleep_for(milliseconds(10));
        return "ok=" + std::to_string(c[0]) + " refused=" + std::to_string(c[1]) +
               " other=" + std::to_string(c[2]);
    }

    CORBA::ORB_var orb_;
    PortableServer::POA_var poa_;
    Recorder* self_;
    TKolvaro::Client_var selfRef_;
    TKolvaro::Server_var server_;

#ifdef KOLVARO_PEER_MORE
#include KOLVARO_PEER_MORE // defines dispatchMore(), which falls back on dispatch()
#else
    std::string dispatchMore(const Words& t, const std::string& line) {
        return dispatch(t, line);
    }
#endif
};

} // namespace

int main(int argc, char** argv) {
    try {
        CORBA::ORB_var orb = kolvaro::initOrb(argc, argv, /*withDefaultEndpoint*/ false);
        CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
        Peer peer(orb, poa);
        emit("READY");
        for (std::string line; std::getline(std::cin, line) && peer.run(line);) {
        }
    } catch (const CORBA::Exception& ex) {
        std::fprintf(stderr, "kolvaro-test-peer: %s\n", ex._name());
        return 1;
    }
    std::fflush(stdout);
    _exit(0); // callbacks may still wait on a stall; nobody needs an orderly ORB shutdown
}
