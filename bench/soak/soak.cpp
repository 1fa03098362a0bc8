// bench_soak: runs kolvaro-server with scripted test-peer clients drawing, clearing,
// loading areas, sending messages and logging in and out at random, then checks
// that the run left everything sound:
//   - every open display received exactly what a fresh LoadArea replays,
//   - every logout reached the viewers of the leaving area as CloseClient,
//   - every message was shown exactly once,
//   - nobody was dropped: the registry lists exactly the users alive, in login
//     order, and the server logged no logout we did not ask for,
//   - the server's resident memory, once every area is cleared, is back near
//     where it was with the same users logged in before the run.
// Prints the figures; exit status 1 if any check fails.
//
// usage: bench_soak [SECONDS] [--clients N] [--seed S] [--think-ms MS] [--logout-permille P]
//                   [--no-memory-check]
//
// Each login session is a test peer process of its own, as a real client is, so
// nothing from a closed session can leak into the next one.

#include "ServerProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace kolvaro::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const milliseconds kCallTimeout(30000);
const std::string kVerifier = "soak-verify";

struct Options {
    int seconds = 60;
    int clients = 8;
    unsigned seed = 0;
    int thinkMs = 8;
    int logoutPermille = 3;
    bool memoryCheck = true; // off under sanitizers, whose shadow memory swamps the figure
};

Options parse(int argc, char** argv) {
    Options o;
    o.seed = static_cast<unsigned>(std::random_device{}());
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> int {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::atoi(argv[++i]);
        };
        if (a == "--clients")
            o.clients = value();
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(value());
        else if (a == "--think-ms")
            o.thinkMs = value();
        else if (a == "--logout-permille")
            o.logoutPermille = value();
        else if (a == "--no-memory-check")
            o.memoryCheck = false;
        else if (!a.empty() && a[0] != '-')
            o.seconds = std::atoi(a.c_str());
        else {
            std::fprintf(stderr,
                         "usage: %s [SECONDS] [--clients N] [--seed S] [--think-ms MS] "
                         "[--logout-permille P] [--no-memory-check]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    if (o.seconds < 1 || o.clients < 2 || o.clients > 64 || o.thinkMs < 0) {
        std::fprintf(stderr, "bad arguments\n");
        std::exit(2);
    }
    return o;
}

long rssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The owner named by a callback line: the last token ("PaintLine 1 2 3 4 A").
std::string ownerOf(const std::string& event) {
    auto space = event.rfind(' ');
    return space == std::string::npos ? std::string() : event.substr(space + 1);
}

bool isDrawing(const std::string& event) {
    return event.rfind("Paint", 0) == 0;
}

// Failures are collected, not thrown: one run should report all it found.
class Report {
public:
    void fail(const std::string& what) {
        std::lock_guard lock(mutex_);
        if (++count_ <= 30)
            std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    mutable std::mutex mutex_;
    int count_ = 0;
};

struct Counters {
    std::atomic<long> draws{0}, clears{0}, loads{0}, sends{0}, logins{0}, logouts{0};
    std::atomic<long> printTxtSeen{0}; // counted when a session ends
};

class Actor;

// What the driver knows about the registry. Logins and logouts take the lock
// exclusively, loads and messages share it, drawing does not need it: so the
// driver always knows exactly who is logged in and who displays what, while
// drawing still races with everything else.
struct World {
    std::shared_mutex membership;
    std::vector<Actor*> loginOrder;
    std::vector<std::unique_ptr<Actor>> actors;
};

class Actor {
public:
    Actor(std::string name, unsigned seed, const ServerProcess& server, World& world,
          Counters& counters, Report& report, const Options& options)
        : name_(std::move(name)), rng_(seed), server_(server), world_(world), counters_(counters),
          report_(report), options_(options) {}

    const std::string& name() const { return name_; }
    bool loggedIn() const { return peer_ != nullptr; }
    std::size_t displayCount() const { return 1 + displayed_.size(); }
    PeerProcess& peer() { return *peer_; }

    // Logs in and opens some of the other areas, as a starting client does.
    void login() {
        std::unique_lock lock(world_.membership);
        peer_ = std::make_unique<PeerProcess>(server_);
        loginMark_ = peer_->lineCount();
        loadMarks_.clear();
        loadHistory_.clear();
        displayed_.clear();
        const std::string expected = "RESULT login " + std::to_string(world_.loginOrder.size() + 1);
        std::string got = peer_->call("login " + name_, kCallTimeout);
        if (got != expected) {
            std::string why = name_ + ": login answered '" + got + "', expected '" + expected + "'";
            std::vector<std::string> mine;
            for (const auto& l : server_.lines())
                if (l == "Login of new Clinet: " + name_ || l == "Logout of Client: " + name_)
                    mine.push_back(l);
            for (std::size_t i = mine.size() - std::min<std::size_t>(mine.size(), 3);
                 i < mine.size(); ++i)
                why += "\n    server: " + mine[i];
            why += "\n    peer: " + peer_->errorText();
            report_.fail(why);
            peer_.reset();
            return;
        }
        world_.loginOrder.push_back(this);
        ++counters_.logins;
        for (Actor* other : world_.loginOrder)
            if (other != this && pick(2) == 0)
                loadLocked(other->name());
    }

    void logout() {
        std::unique_lock lock(world_.membership);
        expect("logout " + name_, "RESULT logout");
        world_.loginOrder.erase(
            std::find(world_.loginOrder.begin(), world_.loginOrder.end(), this));
        ++counters_.logouts;
        // Every viewer of this area must be told, before anyone may load it again.
        for (Actor* viewer : world_.loginOrder) {
            if (!viewer->displayed_.erase(name_))
                continue;
            const std::string closed = "EV CloseClient " + name_;
            if (!viewer->peer_->waitForLine(
                    viewer->loadMarks_.at(name_), [&](const std::string& l) { return l == closed; },
                    kCallTimeout))
                report_.fail(viewer->name_ + " was not told that " + name_ + " left");
        }
        endSession();
    }

    // Closes the peer: the session's messages are counted first.
    void endSession() {
        for (const auto& e : peer_->events())
            if (e.rfind("PrintTxt ", 0) == 0)
                ++counters_.printTxtSeen;
        peer_->call("quit", milliseconds(2000));
        peer_->closeStdin();
        if (!peer_->waitExit(milliseconds(10000)))
            report_.fail(name_ + ": peer did not end");
        peer_.reset();
    }

    // One random step of a user at work.
    void step() {
        if (!peer_) {
            login();
            return;
        }
        const int r = pick(1000);
        if (r < options_.logoutPermille) {
            logout();
            return;
        }
        const int dice = pick(100);
        if (dice < 75)
            draw();
        else if (dice < 79)
            clear();
        else if (dice < 90)
            load();
        else
            send();
    }

    // Where the user can draw: the own area and the areas displayed.
    std::string someArea() {
        std::vector<std::string> areas{name_};
        {
            std::shared_lock lock(world_.membership);
            areas.insert(areas.end(), displayed_.begin(), displayed_.end());
        }
        return areas[static_cast<std::size_t>(pick(static_cast<int>(areas.size())))];
    }

    void draw() {
        static const char* kinds[] = {"line", "rect", "circ", "point", "fill"};
        const std::string kind = kinds[pick(5)];
        auto coord = [&] { return std::to_string(pick(1300) - 100); };
        std::string cmd = kind + " " + coord() + " " + coord();
        if (kind != "point" && kind != "fill")
            cmd += " " + coord() + " " + coord();
        expect(cmd + " " + someArea(), "RESULT " + kind);
        ++counters_.draws;
    }

    void clear() {
        expect("clear " + someArea(), "RESULT clear");
        ++counters_.clears;
    }

    void load() {
        std::shared_lock lock(world_.membership);
        std::vector<std::string> candidates;
        for (Actor* other : world_.loginOrder)
            if (other != this && !displayed_.count(other->name()))
                candidates.push_back(other->name());
        if (!candidates.empty())
            loadLocked(
                candidates[static_cast<std::size_t>(pick(static_cast<int>(candidates.size())))]);
    }

    void send() {
        std::shared_lock lock(world_.membership);
        Actor* to = world_.loginOrder[static_cast<std::size_t>(
            pick(static_cast<int>(world_.loginOrder.size())))];
        expect("send " + to->name() + " " + name_ + " note " +
                   std::to_string(counters_.sends.load()),
               "RESULT send");
        ++counters_.sends;
    }

    // The own area as this session's user saw it: every drawing and clear, in order.
    std::vector<std::string> ownStream() {
        std::vector<std::string> out;
        auto lines = peer_->lines();
        for (std::size_t i = loginMark_; i < lines.size(); ++i) {
            if (lines[i].rfind("EV ", 0) != 0)
                continue;
            std::string event = lines[i].substr(3);
            if ((isDrawing(event) || event.rfind("ClearAll ", 0) == 0) && ownerOf(event) == name_)
                out.push_back(std::move(event));
        }
        return out;
    }

    // Checks every open display of this session: since its last clear it must
    // hold what a fresh replay gives, and since it was opened it must have
    // followed the owner's own display operation for operation. Returns how
    // many callbacks were compared.
    long verify(const std::map<std::string, std::vector<std::string>>& replays,
                const std::map<std::string, std::vector<std::string>>& ownStreams) {
        auto lines = peer_->lines();
        std::map<std::size_t, std::string> opens{{loginMark_, name_}};
        for (const auto& [owner, marks] : loadHistory_)
            for (std::size_t m : marks)
                opens.emplace(m, owner);
        // A display starts at its open, restarts at each ClearAll and ends at CloseClient.
        std::map<std::string, std::vector<std::string>> shown, sinceOpen;
        std::set<std::string> open;
        auto nextOpen = opens.begin();
        long compared = 0;
        for (std::size_t i = loginMark_; i <= lines.size(); ++i) {
            while (nextOpen != opens.end() && nextOpen->first == i) {
                open.insert(nextOpen->second);
                shown[nextOpen->second].clear();
                sinceOpen[nextOpen->second].clear();
                ++nextOpen;
            }
            if (i == lines.size() || lines[i].rfind("EV ", 0) != 0)
                continue;
            const std::string event = lines[i].substr(3);
            const std::string owner = ownerOf(event);
            if (event.rfind("CloseClient ", 0) == 0) {
                if (!open.erase(owner))
                    report_.fail(name_ + ": CloseClient for an area it does not display: " + event);
            } else if (event.rfind("ClearAll ", 0) == 0 || isDrawing(event)) {
                if (!open.count(owner)) {
                    report_.fail(name_ +
                                 ": stray callback for an area it does not display: " + event);
                    continue;
                }
                sinceOpen[owner].push_back(event);
                if (isDrawing(event))
                    shown[owner].push_back(event);
                else
                    shown[owner].clear();
            }
        }
        std::set<std::string> expectedOpen(displayed_.begin(), displayed_.end());
        expectedOpen.insert(name_);
        if (open != expectedOpen)
            report_.fail(name_ + ": open displays differ from the areas it loaded");
        for (const auto& owner : open) {
            auto replay = replays.find(owner);
            const std::vector<std::string> none;
            const auto& want = replay == replays.end() ? none : replay->second;
            compared += static_cast<long>(shown[owner].size());
            if (shown[owner] != want) {
                std::ostringstream why;
                why << name_ << ": display of " << owner << " holds " << shown[owner].size()
                    << " operations, a fresh replay " << want.size();
                auto diff = std::mismatch(shown[owner].begin(), shown[owner].end(), want.begin(),
                                          want.end());
                if (diff.first != shown[owner].end())
                    why << "; first difference: got '" << *diff.first << "'";
                report_.fail(why.str());
            }
            if (owner == name_)
                continue;
            // The viewer's part must be the tail of the owner's own sequence,
            // starting where the history it was replayed began.
            const auto& mine = sinceOpen[owner];
            const auto& theirs = ownStreams.at(owner);
            compared += static_cast<long>(mine.size());
            const std::size_t start = theirs.size() - std::min(theirs.size(), mine.size());
            const bool segmentStart = start == 0 || theirs[start - 1].rfind("ClearAll ", 0) == 0;
            if (mine.size() > theirs.size() || !segmentStart ||
                !std::equal(mine.begin(), mine.end(),
                            theirs.begin() + static_cast<std::ptrdiff_t>(start)))
                report_.fail(name_ + ": display of " + owner + " (" + std::to_string(mine.size()) +
                             " callbacks since opened) did not follow its owner's own display (" +
                             std::to_string(theirs.size()) + ")");
        }
        return compared;
    }

    void expect(const std::string& command, const std::string& answer) {
        std::string got = peer_->call(command, kCallTimeout);
        if (got != answer)
            report_.fail(name_ + ": '" + command.substr(0, 60) + "' answered '" + got + "'");
    }

private:
    void loadLocked(const std::string& owner) {
        const std::size_t mark = peer_->lineCount();
        expect("load " + name_ + " " + owner, "RESULT load");
        displayed_.insert(owner);
        loadMarks_[owner] = mark;
        loadHistory_[owner].push_back(mark);
        ++counters_.loads;
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string name_;
    std::mt19937 rng_;
    const ServerProcess& server_;
    World& world_;
    Counters& counters_;
    Report& report_;
    const Options& options_;

    std::unique_ptr<PeerProcess> peer_;
    // Line index of the session's login, and of each load (where a display opens).
    std::size_t loginMark_ = 0;
    std::map<std::string, std::size_t> loadMarks_;
    std::map<std::string, std::vector<std::size_t>> loadHistory_;
    // Areas of other users this session displays; guarded by World::membership.
    std::set<std::string> displayed_;
};

int threadCount(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return -1;
}

std::string mib(long kib) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB", kib / 1024.0);
    return buf;
}

// One run: the server, its scripted clients, and what the checks found.
class Soak {
public:
    // omniORB keeps idle connections to departed clients, with their buffers,
    // until its scan closes them (120 s by default): with thousands of short
    // sessions that cache alone is several MiB. A short scan period keeps it
    // out of the figure, so the memory check sees the server's own state.
    explicit Soak(const Options& options)
        : options_(options), server_({"-ORBoutConScanPeriod", "5", "-ORBscanGranularity", "1"}),
          seeds_(options.seed) {}

    // The server up and every client logged in; false if the server did not start.
    bool start() {
        if (!server_.waitStarted()) {
            std::fprintf(stderr, "kolvaro-server did not start: %s\n", server_.errorText().c_str());
            return false;
        }
        rssStart_ = rssKiB(server_.pid());
        std::printf("soak: %d clients for %d s, seed %u, think time 0-%d ms, server on port %d\n",
                    options_.clients, options_.seconds, options_.seed, options_.thinkMs,
                    server_.port());
        std::fflush(stdout);
        for (int i = 0; i < options_.clients; ++i)
            world_.actors.push_back(std::make_unique<Actor>("soak" + std::to_string(i), seeds_(),
                                                            server_, world_, counters_, report_,
                                                            options_));
        for (auto& a : world_.actors)
            a->login();
        rssPeak_ = rssKiB(server_.pid());
        return true;
    }

    // A warm-up fills the allocator's and the thread library's caches (freed
    // thread stacks, arenas) to their working size; memory measured after it,
    // with the same users logged in and nothing drawn, is what the end is held to.
    void warmUp() {
        warmSeconds_ = std::clamp(options_.seconds / 10, 5, 30);
        runPhase(warmSeconds_);
        rssWarm_ = clearEverything();
        threadsWarm_ = threadCount(server_.pid());
    }

    // The run proper; false if the server ended during it.
    bool run() {
        runPhase(options_.seconds);
        if (server_.running())
            return true;
        std::fprintf(stderr, "FAIL: kolvaro-server ended during the run: %s\n",
                     server_.errorText().c_str());
        return false;
    }

    void verify() {
        PeerProcess verifier(server_);
        verifyRegistry(verifier);
        verifyDisplays(verifier);
        rssCleared_ = clearEverything();
        threadsCleared_ = threadCount(server_.pid());
        verifyMessagesAndLogouts();
        printFigures();
        checkResources();
        // Leave without traces: everyone logs out, the server keeps serving.
        for (Actor* a : std::vector<Actor*>(world_.loginOrder))
            a->logout();
        verifier.call("logout " + kVerifier, kCallTimeout);
        std::printf("server memory with everyone logged out: %s\n",
                    mib(rssKiB(server_.pid())).c_str());
    }

    // The server ends cleanly on SIGTERM; a sanitizer build reports leaks here.
    int finish() {
        server_.signal(SIGTERM);
        auto status = server_.waitExit(milliseconds(20000));
        if (status != 0)
            report_.fail("kolvaro-server did not end with status 0 on SIGTERM: " +
                         (status ? std::to_string(*status) : std::string("still running")));
        if (server_.errorText().find("Sanitizer") != std::string::npos)
            report_.fail("kolvaro-server's sanitizer report:\n" + server_.errorText());
        if (report_.count()) {
            std::printf("soak FAILED: %d problem(s)\n", report_.count());
            return 1;
        }
        std::printf("soak passed\n");
        return 0;
    }

private:
    // Runs every client at random for the given time; the phase ends with
    // everyone logged in, as it began.
    void runPhase(int phaseSeconds) {
        std::atomic<bool> running{true};
        std::thread monitor([&] {
            for (; running; std::this_thread::sleep_for(milliseconds(200)))
                rssPeak_ = std::max(rssPeak_.load(), rssKiB(server_.pid()));
        });
        const auto begin = Clock::now();
        const auto deadline = begin + seconds(phaseSeconds);
        std::vector<std::thread> threads;
        for (auto& a : world_.actors)
            threads.emplace_back([&, actor = a.get(), seed = seeds_()] {
                std::mt19937 rng(seed);
                std::uniform_int_distribution<int> think(0, options_.thinkMs);
                while (Clock::now() < deadline && server_.running()) {
                    actor->step();
                    if (options_.thinkMs)
                        std::this_thread::sleep_for(milliseconds(think(rng)));
                }
                if (!actor->loggedIn())
                    actor->login();
            });
        for (long last = 0; Clock::now() < deadline && server_.running();) {
            std::this_thread::sleep_for(milliseconds(500));
            const long elapsed = std::chrono::duration_cast<seconds>(Clock::now() - begin).count();
            if (elapsed / 60 != last / 60) {
                std::printf("  %ld s: %ld operations, server %s\n", elapsed, operations(),
                            mib(rssKiB(server_.pid())).c_str());
                std::fflush(stdout);
            }
            last = elapsed;
        }
        for (auto& t : threads)
            t.join();
        ran_ += std::chrono::duration<double>(Clock::now() - begin).count();
        running = false;
        monitor.join();
    }

    // Everyone clears the own area: the server should hold no drawing then.
    long clearEverything() {
        for (Actor* a : world_.loginOrder)
            a->expect("clear " + a->name(), "RESULT clear");
        std::this_thread::sleep_for(milliseconds(1000));
        return rssKiB(server_.pid());
    }

    long operations() const {
        return counters_.draws + counters_.clears + counters_.loads + counters_.sends;
    }

    // A newcomer: its list is the registry, and its arrival, queued behind
    // everything else for each user, tells when all deliveries are done.
    void verifyRegistry(PeerProcess& verifier) {
        const std::string loginAnswer = verifier.call("login " + kVerifier, kCallTimeout);
        if (loginAnswer != "RESULT login " + std::to_string(world_.loginOrder.size() + 1))
            report_.fail("verifier login answered '" + loginAnswer + "'");
        std::vector<std::string> listed, alive;
        for (const auto& e : verifier.events())
            if (e.rfind("PrintClient ", 0) == 0)
                listed.push_back(e.substr(12));
        for (Actor* a : world_.loginOrder)
            alive.push_back(a->name());
        alive.push_back(kVerifier);
        if (listed != alive)
            report_.fail("the registry does not list exactly the users alive, in login order");
        for (Actor* a : world_.loginOrder)
            if (!a->peer().waitEvent("AddNewClient " + kVerifier, kCallTimeout))
                report_.fail(a->name() + " never heard of the verifier: its deliveries stalled");
    }

    // Every open display against a fresh replay of its area and its owner's display.
    void verifyDisplays(PeerProcess& verifier) {
        std::map<std::string, std::vector<std::string>> replays, ownStreams;
        for (Actor* a : world_.loginOrder) {
            const std::size_t mark = verifier.lineCount();
            if (verifier.call("load " + kVerifier + " " + a->name(), kCallTimeout) != "RESULT load")
                report_.fail("replay of " + a->name() + " failed");
            auto lines = verifier.lines();
            for (std::size_t i = mark; i < lines.size(); ++i)
                if (lines[i].rfind("EV ", 0) == 0 && isDrawing(lines[i].substr(3)) &&
                    ownerOf(lines[i]) == a->name())
                    replays[a->name()].push_back(lines[i].substr(3));
            ownStreams[a->name()] = a->ownStream();
        }
        for (Actor* a : world_.loginOrder) {
            compared_ += a->verify(replays, ownStreams);
            displays_ += static_cast<long>(a->displayCount());
        }
    }

    // Every message shown once; no logout the clients did not ask for.
    void verifyMessagesAndLogouts() {
        long printTxtAlive = 0;
        for (Actor* a : world_.loginOrder)
            for (const auto& e : a->peer().events())
                printTxtAlive += e.rfind("PrintTxt ", 0) == 0;
        if (counters_.printTxtSeen + printTxtAlive != counters_.sends)
            report_.fail("messages sent " + std::to_string(counters_.sends) + ", shown " +
                         std::to_string(counters_.printTxtSeen + printTxtAlive));
        long serverLogouts = 0;
        for (const auto& l : server_.lines())
            serverLogouts += l.rfind("Logout of Client: ", 0) == 0;
        if (serverLogouts != counters_.logouts)
            report_.fail("the server logged " + std::to_string(serverLogouts) +
                         " logouts, clients asked for " + std::to_string(counters_.logouts) +
                         ": someone was dropped");
    }

    void printFigures() const {
        const long ops = operations();
        std::printf("ran %.0f s: %ld operations (%.0f/s): %ld drawings, %ld clears, %ld loads, "
                    "%ld messages; %ld logins, %ld logouts\n",
                    ran_, ops, ops / ran_, counters_.draws.load(), counters_.clears.load(),
                    counters_.loads.load(), counters_.sends.load(), counters_.logins.load(),
                    counters_.logouts.load());
        std::printf("checked %ld open displays against fresh replays and their owners' displays, "
                    "%ld callbacks compared\n",
                    displays_, compared_);
        std::printf("server memory: at start %s, after a %d s warm-up and clearing %s, peak %s, "
                    "after the run and clearing %s (%+.1f MiB); threads %d before, %d after\n",
                    mib(rssStart_).c_str(), warmSeconds_, mib(rssWarm_).c_str(),
                    mib(rssPeak_).c_str(), mib(rssCleared_).c_str(),
                    (rssCleared_ - rssWarm_) / 1024.0, threadsWarm_, threadsCleared_);
    }

    void checkResources() {
        // Connection threads of sessions that just ended may linger a moment;
        // one leaked thread per session would be hundreds.
        if (threadsCleared_ > threadsWarm_ + 16)
            report_.fail("the server has more threads than before the run with the same users");
        // A leak of even a few bytes per operation or a few hundred per login
        // shows above this over a long run; the warm-up filled the caches.
        const long slackKiB = 8 * 1024;
        if (options_.memoryCheck && rssCleared_ > rssWarm_ + slackKiB)
            report_.fail("server memory after clearing is " + mib(rssCleared_ - rssWarm_) +
                         " above its level before the run");
    }

    const Options options_;
    Report report_;
    Counters counters_;
    ServerProcess server_;
    World world_;
    std::mt19937 seeds_;
    double ran_ = 0;
    long rssStart_ = 0, rssWarm_ = 0, rssCleared_ = 0, compared_ = 0, displays_ = 0;
    std::atomic<long> rssPeak_{0};
    int warmSeconds_ = 0, threadsWarm_ = 0, threadsCleared_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    Soak soak(parse(argc, argv));
    if (!soak.start())
        return 1;
    soak.warmUp();
    if (!soak.run())
        return 1;
    soak.verify();
    return soak.finish();
}
