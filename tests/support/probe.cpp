// kolvaro-probe: a scripted client for process-level tests and benchmarks.
//
// Reads one command per line on stdin and answers on stdout, one line each,
// flushed at once:
//   login NAME | login-nil NAME | login-server NAME | logout NAME | load NAME OWNER
//   line|rect|circ X1 Y1 X2 Y2 OWNER | point|fill X Y OWNER | clear OWNER
//   send RECIPIENT SENDER TEXT...      send-size RECIPIENT SENDER BYTES
//   send-flood N RECIPIENT SENDER MS   (N messages at once; counts the answers
//                                       within MS: ok, refused as too many
//                                       unread, other failures)
//   sync | count | wait-count N MS | events | ior | quit
//   quiet on|off       (stop printing callbacks; they are still counted)
//   msgbox-delay MS    (PrintTxt waits that long, standing in for a reader)
//   burst N OWNER [TAG [WINDOW [PACE_US]]]
//                      (N lines as fast as possible, x2 = TAG, y2 = index;
//                       prints the median call time and the rate; with a
//                       WINDOW, at most that many may be awaiting their echo;
//                       with PACE_US, one call starts every PACE_US at most)
//   bare-burst N IOR [PACE_US]
//                      (N two-way calls on another probe's callback object)
//   timed-load NAME OWNER
//   viewers N PREFIX OWNER
//                      (N more callback objects in this process, quiet, logged
//                       in as PREFIX0.. and displaying OWNER's area)
//   wait-viewers N MS  (until each of them has served N callbacks; the least)
// A token "" stands for the empty string. Results: "RESULT <cmd>[ detail]",
// failures "ERROR <cmd> <exception>"; every callback as it arrives:
// "EV PaintLine 1 2 3 4 A". "READY" once the callback object is serving.

#include "OrbInit.h"
#include "RecordingClient.h"
#include "Refusals.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex outMutex;
// Read by callbacks on ORB threads, which may outlive the command loop.
std::atomic<bool> quiet{false};
std::atomic<int> msgboxDelayMs{0};

void emit(const std::string& line) {
    std::lock_guard lock(outMutex);
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::vector<std::string> tokenize(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string t; in >> t;)
        out.push_back(t == "\"\"" ? std::string() : t);
    return out;
}

// The text after the first n tokens of line (for message texts with spaces).
std::string restAfter(const std::string& line, int n) {
    std::size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos)
            return {};
        pos = line.find(' ', pos);
        if (pos == std::string::npos)
            return {};
    }
    return pos + 1 <= line.size() ? line.substr(pos + 1) : std::string();
}

double medianMicros(std::vector<double>& samples) {
    if (samples.empty())
        return 0;
    auto mid = samples.begin() + samples.size() / 2;
    std::nth_element(samples.begin(), mid, samples.end());
    return *mid;
}

std::string fixed(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

class Probe {
public:
    Probe(CORBA::ORB_ptr orb, TKolvaro::Client_ptr self, kolvaro::test::RecordingClient* recorder)
        : orb_(CORBA::ORB::_duplicate(orb)), self_(TKolvaro::Client::_duplicate(self)),
          recorder_(recorder) {
        recorder_->setHook([](const std::string& line) {
            if (!quiet)
                emit("EV " + line);
            if (line.rfind("PrintTxt ", 0) == 0 && msgboxDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(msgboxDelayMs.load()));
        });
    }

    // Runs one command; false when the probe is to end.
    bool run(const std::string& line) {
        auto t = tokenize(line);
        if (t.empty())
            return true;
        const std::string& cmd = t[0];
        try {
            return dispatch(cmd, t, line);
        } catch (const CORBA::Exception& ex) {
            emit("ERROR " + cmd + " " + ex._name());
        } catch (const std::exception& ex) {
            emit("ERROR " + cmd + " " + ex.what());
        }
        return true;
    }

private:
    static short num(const std::string& s) { return static_cast<short>(std::stoi(s)); }

    TKolvaro::Server_ptr server() {
        if (CORBA::is_nil(server_)) {
            CORBA::Object_var obj = orb_->resolve_initial_references("ServerObject");
            server_ = TKolvaro::Server::_narrow(obj);
            if (CORBA::is_nil(server_))
                throw std::runtime_error("not-a-server");
        }
        return server_;
    }

    void need(const std::vector<std::string>& t, std::size_t n) {
        if (t.size() < n)
            throw std::runtime_error("usage");
    }

    bool dispatch(const std::string& cmd, const std::vector<std::string>& t,
                  const std::string& line) {
        if (cmd == "quit")
            return false;
        if (cmd == "login") {
            need(t, 2);
            emit("RESULT login " + std::to_string(server()->Login(t[1].c_str(), self_)));
        } else if (cmd == "login-nil") {
            need(t, 2);
            emit("RESULT login-nil " +
                 std::to_string(server()->Login(t[1].c_str(), TKolvaro::Client::_nil())));
        } else if (cmd == "login-server") {
            need(t, 2);
            TKolvaro::Client_var forged = TKolvaro::Client::_unchecked_narrow(server());
            emit("RESULT login-server " + std::to_string(server()->Login(t[1].c_str(), forged)));
        } else if (cmd == "logout") {
            need(t, 2);
            server()->Logout(t[1].c_str());
            emit("RESULT logout");
        } else if (cmd == "load") {
            need(t, 3);
            server()->LoadArea(t[1].c_str(), t[2].c_str());
            emit("RESULT load");
        } else if (cmd == "timed-load") {
            need(t, 3);
            auto start = Clock::now();
            server()->LoadArea(t[1].c_str(), t[2].c_str());
            std::chrono::duration<double, std::micro> took = Clock::now() - start;
            emit("RESULT timed-load us=" + fixed(took.count()));
        } else if (cmd == "line" || cmd == "rect" || cmd == "circ") {
            need(t, 6);
            auto s = server();
            if (cmd == "line")
                s->PaintLine(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
            else if (cmd == "rect")
                s->PaintRect(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
            else
                s->PaintCirc(num(t[1]), num(t[2]), num(t[3]), num(t[4]), t[5].c_str());
            emit("RESULT " + cmd);
        } else if (cmd == "point" || cmd == "fill") {
            need(t, 4);
            if (cmd == "point")
                server()->PaintPoint(num(t[1]), num(t[2]), t[3].c_str());
            else
                server()->PaintFill(num(t[1]), num(t[2]), t[3].c_str());
            emit("RESULT " + cmd);
        } else if (cmd == "clear") {
            need(t, 2);
            server()->ClearAll(t[1].c_str());
            emit("RESULT clear");
        } else if (cmd == "send") {
            need(t, 3);
            server()->SendTxt(restAfter(line, 3).c_str(), t[1].c_str(), t[2].c_str());
            emit("RESULT send");
        } else if (cmd == "send-size") {
            need(t, 4);
            std::string text(std::stoul(t[3]), 'x');
            server()->SendTxt(text.c_str(), t[1].c_str(), t[2].c_str());
            emit("RESULT send-size");
        } else if (cmd == "send-flood") {
            need(t, 5);
            sendFlood(std::stoul(t[1]), t[2], t[3], std::stoi(t[4]));
        } else if (cmd == "sync") {
            emit("ok");
        } else if (cmd == "count") {
            emit("COUNT " + std::to_string(recorder_->count()));
        } else if (cmd == "wait-count") {
            need(t, 3);
            recorder_->waitForCount(std::stoul(t[1]), std::chrono::milliseconds(std::stoi(t[2])));
            emit("COUNT " + std::to_string(recorder_->count()));
        } else if (cmd == "events") {
            auto events = recorder_->events();
            std::lock_guard lock(outMutex);
            printf("EVENTS %zu\n", events.size());
            for (auto& e : events)
                printf("E %s\n", e.c_str());
            printf("END\n");
            fflush(stdout);
        } else if (cmd == "quiet") {
            need(t, 2);
            quiet = t[1] == "on";
            recorder_->setKeepEvents(!quiet);
            emit("RESULT quiet");
        } else if (cmd == "msgbox-delay") {
            need(t, 2);
            msgboxDelayMs = std::stoi(t[1]);
            emit("RESULT msgbox-delay");
        } else if (cmd == "ior") {
            CORBA::String_var ior = orb_->object_to_string(self_);
            emit(std::string("IOR ") + ior.in());
        } else if (cmd == "burst") {
            need(t, 3);
            burst(std::stoul(t[1]), t[2], t.size() > 3 ? num(t[3]) : short{0},
                  t.size() > 4 ? std::stoul(t[4]) : 0, t.size() > 5 ? std::stoul(t[5]) : 0);
        } else if (cmd == "viewers") {
            need(t, 4);
            addViewers(std::stoul(t[1]), t[2], t[3]);
        } else if (cmd == "wait-viewers") {
            need(t, 3);
            std::size_t least = std::stoul(t[1]);
            for (auto& v : viewers_) {
                v->waitForCount(std::stoul(t[1]), std::chrono::milliseconds(std::stoi(t[2])));
                least = std::min(least, v->count());
            }
            emit("COUNT " + std::to_string(least));
        } else if (cmd == "bare-burst") {
            need(t, 3);
            bareBurst(std::stoul(t[1]), t[2], t.size() > 3 ? std::stoul(t[3]) : 0);
        } else {
            emit("ERROR " + cmd + " unknown-command");
        }
        return true;
    }

    void burst(std::size_t n, const std::string& owner, short tag, std::size_t window,
               std::size_t paceUs) {
        auto s = server();
        const std::size_t base = recorder_->count();
        std::vector<double> samples;
        samples.reserve(n);
        auto begin = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const auto x = static_cast<short>(i % 640);
            const auto y = static_cast<short>((i / 640) % 480);
            if (paceUs > 0)
                std::this_thread::sleep_until(begin + std::chrono::microseconds(paceUs * i));
            auto start = Clock::now();
            s->PaintLine(x, y, tag, static_cast<short>(i), owner.c_str());
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (window > 0 && i + 1 > window + (recorder_->count() - base))
                recorder_->waitForCount(base + i + 1 - window / 2, std::chrono::seconds(60));
        }
        std::chrono::duration<double> total = Clock::now() - begin;
        emit("RESULT burst n=" + std::to_string(n) + " median_us=" + fixed(medianMicros(samples)) +
             " ops_per_s=" + fixed(n / total.count()));
    }

    void sendFlood(std::size_t n, const std::string& to, const std::string& from, int ms) {
        struct Tally {
            std::mutex mutex;
            std::condition_variable changed;
            std::size_t ok = 0, refused = 0, other = 0;
            void add(std::size_t Tally::*which) {
                std::lock_guard lock(mutex);
                ++(this->*which);
                changed.notify_all();
            }
        };
        auto tally = std::make_shared<Tally>();
        for (std::size_t i = 0; i < n; ++i)
            // Unanswered calls stay behind when the command returns.
            std::thread([s = TKolvaro::Server::_duplicate(server()), tally, to, from] {
                TKolvaro::Server_var server = s;
                try {
                    server->SendTxt("flood", to.c_str(), from.c_str());
                    tally->add(&Tally::ok);
                } catch (const CORBA::IMP_LIMIT& e) {
                    tally->add(e.minor() == kolvaro::kTooManyUnreadMinor ? &Tally::refused
                                                                         : &Tally::other);
                } catch (...) {
                    tally->add(&Tally::other);
                }
            }).detach();
        std::unique_lock lock(tally->mutex);
        tally->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                [&] { return tally->ok + tally->refused + tally->other == n; });
        emit("RESULT send-flood ok=" + std::to_string(tally->ok) + " refused=" +
             std::to_string(tally->refused) + " other=" + std::to_string(tally->other));
    }

    void addViewers(std::size_t n, const std::string& prefix, const std::string& owner) {
        CORBA::Object_var obj = orb_->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        for (std::size_t i = 0; i < n; ++i) {
            PortableServer::Servant_var<kolvaro::test::RecordingClient> viewer =
                new kolvaro::test::RecordingClient;
            viewer->setKeepEvents(false);
            PortableServer::ObjectId_var id = poa->activate_object(viewer);
            CORBA::Object_var ref = poa->id_to_reference(id);
            TKolvaro::Client_var client = TKolvaro::Client::_narrow(ref);
            const std::string name = prefix + std::to_string(viewers_.size());
            server()->Login(name.c_str(), client);
            server()->LoadArea(name.c_str(), owner.c_str());
            viewers_.push_back(viewer);
        }
        emit("RESULT viewers");
    }

    void bareBurst(std::size_t n, const std::string& ior, std::size_t paceUs) {
        CORBA::Object_var obj = orb_->string_to_object(ior.c_str());
        TKolvaro::Client_var peer = TKolvaro::Client::_narrow(obj);
        if (CORBA::is_nil(peer))
            throw std::runtime_error("not-a-client");
        std::vector<double> samples;
        samples.reserve(n);
        auto begin = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            if (paceUs > 0)
                std::this_thread::sleep_until(begin + std::chrono::microseconds(paceUs * i));
            auto start = Clock::now();
            peer->PaintPoint(static_cast<short>(i % 640), static_cast<short>(i % 480), "bare");
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::chrono::duration<double, std::micro> total = Clock::now() - begin;
        emit("RESULT bare-burst n=" + std::to_string(n) +
             " median_us=" + fixed(medianMicros(samples)) + " total_us=" + fixed(total.count()));
    }

    CORBA::ORB_var orb_;
    TKolvaro::Client_var self_;
    kolvaro::test::RecordingClient* recorder_;
    TKolvaro::Server_var server_;
    std::vector<PortableServer::Servant_var<kolvaro::test::RecordingClient>> viewers_;
};

} // namespace

int main(int argc, char** argv) {
    CORBA::ORB_var orb;
    try {
        orb = kolvaro::initOrb(argc, argv, /*withDefaultEndpoint*/ false);
    } catch (const CORBA::Exception& ex) {
        fprintf(stderr, "kolvaro-probe: %s\n", ex._name());
        return 1;
    }
    int status = 0;
    try {
        CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
        PortableServer::Servant_var<kolvaro::test::RecordingClient> recorder =
            new kolvaro::test::RecordingClient;
        PortableServer::ObjectId_var id = root->activate_object(recorder);
        CORBA::Object_var selfObj = root->id_to_reference(id);
        TKolvaro::Client_var self = TKolvaro::Client::_narrow(selfObj);
        PortableServer::POAManager_var manager = root->the_POAManager();
        manager->activate();

        Probe probe(orb, self, recorder);
        emit("READY");
        for (std::string line; std::getline(std::cin, line);)
            if (!probe.run(line))
                break;
        root->deactivate_object(id);
    } catch (const CORBA::Exception& ex) {
        fprintf(stderr, "kolvaro-probe: %s\n", ex._name());
        status = 1;
    }
    try {
        orb->destroy();
    } catch (const CORBA::Exception&) {
    }
    return status;
}
