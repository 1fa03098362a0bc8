// kolvaro-test-peer: a callback client in a process of its own, driven over a
// pipe. One command per line on stdin, one answer line on stdout:
//   login NAME | login-nil NAME | login-server NAME | logout NAME | load NAME OWNER
//   line|rect|circ X1 Y1 X2 Y2 OWNER | point|fill X Y OWNER | clear OWNER
//   send RECIPIENT SENDER TEXT... | send-size RECIPIENT SENDER BYTES
//   send-flood N RECIPIENT SENDER MS  (N messages at once; the answers within MS)
//   count | wait-count N MS | ior | quiet on|off | quit
//   delay MS [PREFIX]      callbacks whose line starts with PREFIX take MS each
//   stall PREFIX | release such callbacks wait until released
//   fail EXCEPTION EVENT... the callback EVENT throws that system exception
//   burst N OWNER [TAG [WINDOW [PACE_US]]]  N lines (x1 = i, y2 = i); timings
//   bare-burst N IOR [PACE_US]              N calls on another peer's object
//   timed-load NAME OWNER | viewers N PREFIX OWNER | wait-viewers N MS
// A token "" is the empty string; \xHH is that byte. Answers: "RESULT <cmd>
// [detail]", "ERROR <cmd> <exception>", "COUNT n", "IOR ..."; each callback
// as it is served: "EV PaintLine 1 2 3 4 A". "READY" once serving.
#include "OrbInit.h"
#include "Refusals.h"
#include "TKolvaro.hh"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

std::mutex outMutex;
std::atomic<bool> quiet{false};

void emit(const std::string& line) {
    std::lock_guard lock(outMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The text after the first n words of line, for texts with spaces.
std::string restAfter(const std::string& line, int n) {
    std::size_t at = 0;
    for (int i = 0; i < n && at != std::string::npos; ++i)
        at = line.find(' ', line.find_first_not_of(' ', at));
    return at == std::string::npos ? std::string() : line.substr(at + 1);
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

// What the test asked callbacks to do, for every servant of the process.
struct Behaviour {
    std::mutex mutex;
    std::condition_variable released;
    std::string delayPrefix, stallPrefix;
    int delayMs = 0;
    bool stalling = false;
    std::map<std::string, std::string> failures; // event -> exception

    // A failure stands for a client whose callback throws; it is not served.
    void fail(const std::string& line) {
        std::lock_guard lock(mutex);
        auto f = failures.find(line);
        if (f == failures.end())
            return;
        const auto no = CORBA::COMPLETED_NO;
        if (f->second == "TRANSIENT")
            throw CORBA::TRANSIENT(0, no);
        if (f->second == "INV_OBJREF")
            throw CORBA::INV_OBJREF(0, no);
        if (f->second == "OBJECT_NOT_EXIST")
            throw CORBA::OBJECT_NOT_EXIST(0, no);
        throw CORBA::DATA_CONVERSION(0, no);
    }
    // A delay or a stall stands for a slow client, or a person reading.
    void wait(const std::string& line) {
        std::unique_lock lock(mutex);
        if (delayMs > 0 && startsWith(line, delayPrefix)) {
            const milliseconds ms(delayMs);
            lock.unlock();
            std::this_thread::sleep_for(ms);
            lock.lock();
        }
        released.wait(lock, [&] { return !stalling || !startsWith(line, stallPrefix); });
    }
} behaviour;

class Recorder : public POA_TKolvaro::Client {
public:
    explicit Recorder(bool printing) : printing_(printing) {}

    std::size_t count() { return waitCount(0, milliseconds(0)); }
    std::size_t waitCount(std::size_t n, milliseconds timeout) {
        std::unique_lock lock(mutex_);
        served_changed_.wait_for(lock, timeout, [&] { return served_ >= n; });
        return served_;
    }

    void AddNewClient(const char* n) override { serve(std::string("AddNewClient ") + n); }
    void PrintClient(const char* n) override { serve(std::string("PrintClient ") + n); }
    void PrintTxt(const char* text, const char* sender) override {
        serve(std::string("PrintTxt ") + text + '|' + sender);
    }
    void CloseClient(const char* n) override { serve(std::string("CloseClient ") + n); }
    void PaintRect(short x1, short y1, short x2, short y2, const char* o) override {
        serve(shape("PaintRect", {x1, y1, x2, y2}, o));
    }
    void PaintLine(short x1, short y1, short x2, short y2, const char* o) override {
        serve(shape("PaintLine", {x1, y1, x2, y2}, o));
    }
    void PaintCirc(short x1, short y1, short x2, short y2, const char* o) override {
        serve(shape("PaintCirc", {x1, y1, x2, y2}, o));
    }
    void PaintPoint(short x, short y, const char* o) override {
        serve(shape("PaintPoint", {x, y}, o));
    }
    void PaintFill(short x, short y, const char* o) override {
        serve(shape("PaintFill", {x, y}, o));
    }
    void ClearAll(const char* o) override { serve(std::string("ClearAll ") + o); }

private:
    static std::string shape(const char* op, std::initializer_list<int> xy, const char* owner) {
        std::string out = op;
        for (int v : xy)
            out += ' ' + std::to_string(v);
        return out + ' ' + owner;
    }
    void serve(const std::string& line) {
        behaviour.fail(line);
        if (printing_ && !quiet)
            emit("EV " + line);
        behaviour.wait(line);
        std::lock_guard lock(mutex_);
        ++served_;
        served_changed_.notify_all();
    }

    const bool printing_;
    std::mutex mutex_;
    std::condition_variable served_changed_;
    std::size_t served_ = 0;
};

std::string fixed(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// Median call time and total time of n calls of f(i), one every paceUs at most.
template <class F> std::string timed(std::size_t n, std::size_t paceUs, F f) {
    std::vector<double> us;
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (paceUs > 0)
            std::this_thread::sleep_until(begin + std::chrono::microseconds(paceUs * i));
        const auto start = Clock::now();
        f(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const std::chrono::duration<double> total = Clock::now() - begin;
    std::nth_element(us.begin(), us.begin() + n / 2, us.end());
    return "n=" + std::to_string(n) + " median_us=" + fixed(n ? us[n / 2] : 0) +
           " ops_per_s=" + fixed(n / total.count()) + " total_us=" + fixed(total.count() * 1e6);
}

class Peer {
public:
    Peer(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa)
        : orb_(CORBA::ORB::_duplicate(orb)), poa_(PortableServer::POA::_duplicate(poa)),
          self_(new Recorder(true)), selfRef_(activate(self_)) {}

    // Runs one command line; false when the peer is to end.
    bool run(const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> t;
        for (std::string w; in >> w;)
            t.push_back(decode(w));
        if (t.empty())
            return true;
        try {
            if (t[0] == "quit")
                return false;
            t.resize(std::max<std::size_t>(t.size(), 7)); // a missing word is ""
            dispatch(t, line);
        } catch (const CORBA::Exception& ex) {
            emit("ERROR " + t[0] + " " + ex._name());
        } catch (const std::exception& ex) {
            emit("ERROR " + t[0] + " " + ex.what());
        }
        return true;
    }

private:
    static short num(const std::string& s) { return static_cast<short>(std::stoi(s)); }
    static std::size_t opt(const std::string& s) { return s.empty() ? 0 : std::stoul(s); }

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

    void dispatch(const std::vector<std::string>& t, const std::string& line) {
        const std::string& cmd = t[0];
        const char* a1 = t[1].c_str();
        std::string detail;
        if (cmd == "login" || cmd == "login-nil" || cmd == "login-server") {
            TKolvaro::Client_var cb = TKolvaro::Client::_duplicate(selfRef_);
            if (cmd == "login-nil")
                cb = TKolvaro::Client::_nil();
            else if (cmd == "login-server")
                cb = TKolvaro::Client::_unchecked_narrow(server());
            detail = std::to_string(server()->Login(a1, cb));
        } else if (cmd == "logout") {
            server()->Logout(a1);
        } else if (cmd == "load") {
            server()->LoadArea(a1, t[2].c_str());
        } else if (cmd == "timed-load") {
            const auto start = Clock::now();
            server()->LoadArea(a1, t[2].c_str());
            detail = "us=" +
                     fixed(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        } else if (cmd == "line") {
            server()->PaintLine(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
        } else if (cmd == "rect") {
            server()->PaintRect(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
        } else if (cmd == "circ") {
            server()->PaintCirc(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
        } else if (cmd == "point") {
            server()->PaintPoint(num(t[1]), num(t[2]), t[3].c_str());
        } else if (cmd == "fill") {
            server()->PaintFill(num(t[1]), num(t[2]), t[3].c_str());
        } else if (cmd == "clear") {
            server()->ClearAll(a1);
        } else if (cmd == "send") {
            server()->SendTxt(decode(restAfter(line, 3)).c_str(), a1, t[2].c_str());
        } else if (cmd == "send-size") {
            server()->SendTxt(std::string(std::stoul(t[3]), 'x').c_str(), a1, t[2].c_str());
        } else if (cmd == "send-flood") {
            detail = sendFlood(std::stoul(t[1]), t[2], t[3], std::stoi(t[4]));
        } else if (cmd == "wait-count") {
            const auto n = self_->waitCount(std::stoul(t[1]), milliseconds(std::stoi(t[2])));
            return emit("COUNT " + std::to_string(n));
        } else if (cmd == "ior") {
            CORBA::String_var ior = orb_->object_to_string(selfRef_);
            return emit(std::string("IOR ") + ior.in());
        } else if (cmd == "quiet") {
            quiet = t[1] == "on";
        } else if (cmd == "delay" || cmd == "stall" || cmd == "release" || cmd == "fail") {
            std::lock_guard lock(behaviour.mutex);
            if (cmd == "delay") {
                behaviour.delayMs = std::stoi(a1);
                behaviour.delayPrefix = t[2];
            } else if (cmd == "fail") {
                behaviour.failures[decode(restAfter(line, 2))] = t[1];
            } else {
                behaviour.stalling = cmd == "stall";
                behaviour.stallPrefix = a1;
                behaviour.released.notify_all();
            }
        } else if (cmd == "burst") {
            detail =
                burst(std::stoul(t[1]), t[2], static_cast<short>(opt(t[3])), opt(t[4]), opt(t[5]));
        } else if (cmd == "bare-burst") {
            CORBA::Object_var obj = orb_->string_to_object(t[2].c_str());
            TKolvaro::Client_var peer = TKolvaro::Client::_narrow(obj);
            detail = timed(std::stoul(t[1]), opt(t[3]), [&](std::size_t i) {
                peer->PaintPoint(static_cast<short>(i % 640), static_cast<short>(i % 480), "bare");
            });
        } else if (cmd == "viewers") {
            for (std::size_t i = 0, n = std::stoul(t[1]); i < n; ++i) {
                viewers_.push_back(new Recorder(false));
                TKolvaro::Client_var ref = activate(viewers_.back());
                const std::string name = t[2] + std::to_string(viewers_.size() - 1);
                server()->Login(name.c_str(), ref);
                server()->LoadArea(name.c_str(), t[3].c_str());
            }
        } else if (cmd == "wait-viewers") {
            std::size_t least = std::stoul(t[1]);
            for (auto& v : viewers_)
                least =
                    std::min(least, v->waitCount(std::stoul(t[1]), milliseconds(std::stoi(t[2]))));
            return emit("COUNT " + std::to_string(least));
        } else {
            throw std::runtime_error("unknown-command");
        }
        emit("RESULT " + cmd + (detail.empty() ? "" : " " + detail));
    }

    // Lines as fast as possible; with a window, at most that many await their echo.
    std::string burst(std::size_t n, const std::string& owner, short tag, std::size_t window,
                      std::size_t paceUs) {
        auto s = server();
        const std::size_t base = self_->count();
        return timed(n, paceUs, [&](std::size_t i) {
            s->PaintLine(static_cast<short>(i % 640), static_cast<short>((i / 640) % 480), tag,
                         static_cast<short>(i), owner.c_str());
            if (window > 0 && i + 1 > window + (self_->count() - base))
                self_->waitCount(base + i + 1 - window / 2, std::chrono::seconds(60));
        });
    }

    std::string sendFlood(std::size_t n, const std::string& to, const std::string& from, int ms) {
        struct Tally {
            std::mutex mutex;
            std::condition_variable changed;
            std::size_t ok = 0, refused = 0, other = 0;
        };
        auto tally = std::make_shared<Tally>();
        for (std::size_t i = 0; i < n; ++i)
            // Unanswered calls stay behind when the command returns.
            std::thread([s = TKolvaro::Server::_duplicate(server()), tally, to, from] {
                TKolvaro::Server_var server = s;
                std::size_t Tally::*which = &Tally::ok;
                try {
                    server->SendTxt("flood", to.c_str(), from.c_str());
                } catch (const CORBA::IMP_LIMIT& e) {
                    which =
                        e.minor() == kolvaro::kTooManyUnreadMinor ? &Tally::refused : &Tally::other;
                } catch (...) {
                    which = &Tally::other;
                }
                std::lock_guard lock(tally->mutex);
                ++(*tally.*which);
                tally->changed.notify_all();
            }).detach();
        std::unique_lock lock(tally->mutex);
        tally->changed.wait_for(lock, milliseconds(ms),
                                [&] { return tally->ok + tally->refused + tally->other == n; });
        return "ok=" + std::to_string(tally->ok) + " refused=" + std::to_string(tally->refused) +
               " other=" + std::to_string(tally->other);
    }

    CORBA::ORB_var orb_;
    PortableServer::POA_var poa_;
    Recorder* self_;
    TKolvaro::Client_var selfRef_;
    TKolvaro::Server_var server_;
    std::vector<Recorder*> viewers_; // held by the POA
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
