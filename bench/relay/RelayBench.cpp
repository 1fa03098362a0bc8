// Figures for the server's relay, measured side by side in one run against
// a bare two-way omniORB call between two processes (PaintPoint on a peer's
// callback object). The bare call is timed alone, and again while the drawer
// draws and the viewers receive, which is what any call costs on the machine
// under that load. Every process runs on this host: the viewers' own work
// competes for the cores with the drawer's call, as it would not with viewers
// on their own machines; the CPU per op shows how much.
// The viewers run in processes of their own, and then all in one peer
// process (one thread per connection), which is where a limit on connections
// per peer shows.
// Usage: bench_relay [stored_ops (1000000)] [viewers (8)]
// KOLVARO_BENCH_SERVER=path runs another build of the server instead.
// bench_relay --loads [repeats (100000)]: only what one user's repeated
// LoadArea of one area costs the server afterwards, beside the build named by
// KOLVARO_BENCH_BEFORE when given.

#include "ServerProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kolvaro::test;
using namespace std::chrono_literals;

namespace {

int kViewers = 8;
constexpr int kRelayOps = 5000;
constexpr int kReplayOps = 300000;
constexpr int kMemoryDrawers = 4;
// A quick hand on the mouse: one drawing step every 2 ms.
constexpr int kPaceUs = 2000;

// Value of key=... in a peer's answer line.
double field(const std::string& answer, const std::string& key) {
    const auto at = answer.find(key + "=");
    if (at == std::string::npos)
        throw std::runtime_error("no " + key + " in: " + answer);
    return std::stod(answer.substr(at + key.size() + 1));
}

std::string expect(PeerProcess& p, const std::string& cmd, const std::string& prefix,
                   milliseconds timeout = 600000ms) {
    std::string answer = p.call(cmd, timeout);
    if (answer.rfind(prefix, 0) != 0)
        throw std::runtime_error(cmd + " -> " + answer);
    return answer;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    throw std::runtime_error("no VmRSS");
}

// Waits until the peer has served at least n callbacks.
void drain(PeerProcess& p, std::size_t n) {
    const std::string answer =
        expect(p, "wait-count " + std::to_string(n) + " 600000", "COUNT ", 700000ms);
    if (std::stoul(answer.substr(6)) < n)
        throw std::runtime_error("callbacks missing: " + answer);
}

std::unique_ptr<PeerProcess> quietLogin(const ServerProcess& server, const std::string& name) {
    auto p = std::make_unique<PeerProcess>(server);
    expect(*p, "quiet on", "RESULT quiet");
    expect(*p, "login " + name, "RESULT login ");
    return p;
}

// CPU time, in microseconds, used so far by every thread of a process.
double cpuMicros(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double ns = 0;
    for (const auto& task : std::filesystem::directory_iterator(dir)) {
        std::ifstream stat(task.path() / "schedstat");
        double run = 0;
        if (stat >> run)
            ns += run;
    }
    return ns / 1000;
}

struct Figures {
    double medianUs = 0;
    double opsPerS = 0;
    double deliveredPerS = 0; // until every receiver had every op
    double cpuPerOpUs = 0;    // server, drawer and viewers together
};

// One drawing burst with everything the drawer's area reaches.
class Relay {
public:
    explicit Relay(const ServerProcess& server) : server_(server) {
        drawer_ = quietLogin(server, "Drawer");
        expect(*drawer_, "burst 500 Drawer", "RESULT burst"); // warm up
        echoed_ = 500;
    }

    void growTo(int viewers) {
        while (static_cast<int>(viewers_.size()) < viewers) {
            const std::string name = "Viewer" + std::to_string(viewers_.size());
            viewers_.push_back(quietLogin(server_, name));
            expect(*viewers_.back(), "load " + name + " Drawer", "RESULT load");
            received_.push_back(0);
        }
    }

    std::string command(int ops, int paceUs) const {
        return "burst " + std::to_string(ops) + " Drawer" +
               (paceUs ? " 0 0 " + std::to_string(paceUs) : std::string());
    }

    // Posts the burst; finish() collects it.
    void start(int ops, int paceUs) {
        ops_ = ops;
        cpuBefore_ = cpu();
        begin_ = std::chrono::steady_clock::now();
        drawer_->post(command(ops, paceUs));
    }

    Figures finish() {
        const std::string answer = drawer_->answer(600000ms);
        if (answer.rfind("RESULT burst", 0) != 0)
            throw std::runtime_error("burst -> " + answer);
        echoed_ += ops_;
        drain(*drawer_, echoed_);
        for (std::size_t i = 0; i < viewers_.size(); ++i)
            drain(*viewers_[i], received_[i] += ops_);
        if (host_) {
            hostReceived_ += ops_;
            const std::string least =
                expect(*host_, "wait-viewers " + std::to_string(hostReceived_) + " 600000",
                       "COUNT ", 700000ms);
            if (std::stoul(least.substr(6)) < hostReceived_)
                throw std::runtime_error("callbacks missing: " + least);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin_;
        return {field(answer, "median_us"), field(answer, "ops_per_s"), ops_ / took.count(),
                (cpu() - cpuBefore_) / ops_};
    }

    Figures run(int ops, int paceUs) {
        start(ops, paceUs);
        return finish();
    }

    void dropViewers() {
        viewers_.clear();
        received_.clear();
        host_.reset();
    }

    // n viewers served by one peer process.
    void hostInOne(int n) {
        host_ = std::make_unique<PeerProcess>(server_);
        expect(*host_, "quiet on", "RESULT quiet");
        expect(*host_, "viewers " + std::to_string(n) + " Hosted Drawer", "RESULT viewers");
        hostReceived_ = 0;
    }

private:
    double cpu() const {
        double sum = cpuMicros(server_.pid()) + cpuMicros(drawer_->pid());
        for (const auto& v : viewers_)
            sum += cpuMicros(v->pid());
        if (host_)
            sum += cpuMicros(host_->pid());
        return sum;
    }

    const ServerProcess& server_;
    std::unique_ptr<PeerProcess> drawer_;
    std::vector<std::unique_ptr<PeerProcess>> viewers_;
    std::size_t echoed_ = 0;
    std::vector<std::size_t> received_;
    std::unique_ptr<PeerProcess> host_;
    std::size_t hostReceived_ = 0;
    int ops_ = 0;
    double cpuBefore_ = 0;
    std::chrono::steady_clock::time_point begin_;
};

// A peer calling another peer's callback object directly.
class BarePair {
public:
    BarePair() : caller_(std::vector<std::string>{}), callee_(std::vector<std::string>{}) {
        expect(callee_, "quiet on", "RESULT quiet");
        ior_ = expect(callee_, "ior", "IOR ").substr(4);
        burst(500, 0); // warm up
    }

    void start(int calls, int paceUs) {
        caller_.post("bare-burst " + std::to_string(calls) + " " + ior_ +
                     (paceUs ? " " + std::to_string(paceUs) : std::string()));
    }
    std::string finish() {
        std::string answer = caller_.answer(600000ms);
        if (answer.rfind("RESULT bare-burst", 0) != 0)
            throw std::runtime_error("bare-burst -> " + answer);
        return answer;
    }
    std::string burst(int calls, int paceUs) {
        start(calls, paceUs);
        return finish();
    }
    double cpu() const { return cpuMicros(caller_.pid()) + cpuMicros(callee_.pid()); }

private:
    PeerProcess caller_, callee_;
    std::string ior_;
};

void printRelay(const char* mode, const Figures& drawn, double bareUs, double loadedBareUs,
                double loadedDrawUs) {
    printf("  %-9s drawer call median %9.1f us  (%d ops, %.0f ops/s; all delivered at %.0f "
           "ops/s)\n",
           mode, drawn.medianUs, kRelayOps, drawn.opsPerS, drawn.deliveredPerS);
    printf("            bare call median   %9.1f us\n", bareUs);
    printf("            drawer / bare      %9.2f     (target <= 1.5)\n", drawn.medianUs / bareUs);
    printf("            under the same load: drawer %.1f us, bare %.1f us, ratio %.2f\n",
           loadedDrawUs, loadedBareUs, loadedDrawUs / loadedBareUs);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " " + five;
}

void run(long storedOps) {
    printf("load average before: %s\n", loadAverage().c_str());
    ServerProcess server;
    if (!server.waitStarted())
        throw std::runtime_error("server did not start: " + server.errorText());
    server.discardLines(); // a million console lines are only counted

    BarePair bare;
    const double bareCpuBefore = bare.cpu();
    const double bareUs = field(bare.burst(kRelayOps, 0), "median_us");
    const double bareCpuUs = (bare.cpu() - bareCpuBefore) / kRelayOps;
    const double barePacedUs = field(bare.burst(kRelayOps, kPaceUs), "median_us");

    // How the drawer's call grows with the callbacks each op causes (its own
    // echo plus one per viewer), and what one op costs all processes in CPU.
    // Flat out, n callbacks per op share the cores with the drawer's call, so
    // no scheme can sustain calls shorter than the op's CPU over the cores.
    Relay relay(server);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    printf("Kolvaro relay on loopback, %u cores; a bare two-way call costs %.1f us of CPU "
           "(both sides)\n",
           cores, bareCpuUs);
    printf("  viewers  flat-out drawer median  / bare   CPU per op (all processes)  "
           "CPU per op / cores\n");
    for (int v : {0, 1, 2, 4}) {
        if (v >= kViewers)
            break;
        relay.growTo(v);
        const Figures f = relay.run(kRelayOps / 2, 0);
        printf("  %7d  %17.1f us  %6.2f  %19.1f us  %17.1f us\n", v, f.medianUs,
               f.medianUs / bareUs, f.cpuPerOpUs, f.cpuPerOpUs / cores);
    }
    relay.growTo(kViewers);

    // Flat out, and paced like a quick hand on the mouse (a sleeping process
    // wakes more slowly than a busy one, so the bare call is paced alike).
    // Then each again with bare calls running at the same time, which shows
    // what any call costs on this machine while the viewers are receiving.
    const Figures drawn = relay.run(kRelayOps, 0);
    printf("  %7d  %17.1f us  %6.2f  %19.1f us  %17.1f us\n", kViewers, drawn.medianUs,
           drawn.medianUs / bareUs, drawn.cpuPerOpUs, drawn.cpuPerOpUs / cores);
    relay.start(kRelayOps, 0);
    bare.start(kRelayOps, 0);
    const double loadedBareUs = field(bare.finish(), "median_us");
    const double loadedDrawUs = relay.finish().medianUs;

    const Figures paced = relay.run(kRelayOps, kPaceUs);
    relay.start(kRelayOps, kPaceUs);
    bare.start(kRelayOps, kPaceUs);
    const double loadedPacedBareUs = field(bare.finish(), "median_us");
    const double loadedPacedDrawUs = relay.finish().medianUs;

    printf("Kolvaro relay on loopback, %d viewers (load average now %s)\n", kViewers,
           loadAverage().c_str());
    printRelay("flat out:", drawn, bareUs, loadedBareUs, loadedDrawUs);
    printRelay("paced:", paced, barePacedUs, loadedPacedBareUs, loadedPacedDrawUs);
    fflush(stdout);

    // The same number of viewers, all in one peer process.
    relay.dropViewers();
    relay.hostInOne(kViewers);
    relay.run(500, 0); // warm up: the departed viewers are dropped meanwhile
    const double oneBareUs = field(bare.burst(kRelayOps, 0), "median_us");
    const Figures one = relay.run(kRelayOps, 0);
    relay.start(kRelayOps, 0);
    bare.start(kRelayOps, 0);
    const double oneLoadedBareUs = field(bare.finish(), "median_us");
    const double oneLoadedDrawUs = relay.finish().medianUs;
    printf("Kolvaro relay on loopback, %d viewers in one peer process\n", kViewers);
    printRelay("flat out:", one, oneBareUs, oneLoadedBareUs, oneLoadedDrawUs);
    printf("            CPU per op         %9.1f us (all processes)\n", one.cpuPerOpUs);
    fflush(stdout);

    // Replay of a stored area against as many bare callbacks.
    auto owner = quietLogin(server, "Owner");
    expect(*owner, "burst " + std::to_string(kReplayOps) + " Owner 0 2000", "RESULT burst",
           3600000ms);
    drain(*owner, kReplayOps + 1);
    auto reader = quietLogin(server, "Reader");
    const std::string replay = expect(*reader, "timed-load Reader Owner", "RESULT timed-load");
    const std::string bareReplay = bare.burst(kReplayOps, 0);
    const double replayUs = field(replay, "median_us");
    const double bareReplayUs = field(bareReplay, "total_us");

    printf("  LoadArea replay, %d ops   %9.1f ms\n", kReplayOps, replayUs / 1000);
    printf("  %d bare callbacks         %9.1f ms\n", kReplayOps, bareReplayUs / 1000);
    printf("  replay / bare                %9.2f     (target <= 1.3)\n", replayUs / bareReplayUs);
    fflush(stdout);

    // Memory: the server's growth while its histories take storedOps more.
    relay.dropViewers();
    std::vector<std::unique_ptr<PeerProcess>> fillers;
    for (int i = 0; i < kMemoryDrawers; ++i)
        fillers.push_back(quietLogin(server, "Filler" + std::to_string(i)));
    const long before = residentKiB(server.pid());
    const long each = storedOps / kMemoryDrawers;
    for (int i = 0; i < kMemoryDrawers; ++i)
        fillers[i]->post("burst " + std::to_string(each) + " Filler" + std::to_string(i) + " " +
                         std::to_string(i) + " 2000");
    for (auto& f : fillers)
        if (f->answer(3600000ms).rfind("RESULT burst", 0) != 0)
            throw std::runtime_error("filler failed");
    for (auto& f : fillers)
        drain(*f, static_cast<std::size_t>(each));
    const long after = residentKiB(server.pid());
    const double perOp = (after - before) * 1024.0 / (each * kMemoryDrawers);
    printf("  server memory per stored op  %9.1f B   (VmRSS %ld -> %ld KiB for %ld ops; target "
           "<= 32)\n",
           perOp, before, after, each * kMemoryDrawers);
}

struct LoadFigures {
    std::string calls; // accepted and refused
    long growthKiB = 0;
    double drawBeforeS = 0, drawAfterS = 0; // 5,000 drawing calls by another user
};

LoadFigures repeatedLoads(int repeats) {
    ServerProcess server;
    if (!server.waitStarted())
        throw std::runtime_error("server did not start: " + server.errorText());
    server.discardLines();
    auto repeater = quietLogin(server, "Repeater");
    auto drawer = quietLogin(server, "Drawer");
    const std::string draw = "burst " + std::to_string(kRelayOps) + " Drawer";
    expect(*drawer, draw, "RESULT burst"); // warm up
    LoadFigures f;
    f.drawBeforeS = field(expect(*drawer, draw, "RESULT burst"), "total_us") / 1e6;
    const long before = residentKiB(server.pid());
    f.calls = expect(*repeater, "repeat-load " + std::to_string(repeats) + " Repeater Owner",
                     "RESULT repeat-load", 3600000ms)
                  .substr(19);
    f.growthKiB = residentKiB(server.pid()) - before;
    f.drawAfterS = field(expect(*drawer, draw, "RESULT burst"), "total_us") / 1e6;
    return f;
}

void runLoads(int repeats) {
    std::vector<std::pair<std::string, LoadFigures>> columns{
        {"this build", repeatedLoads(repeats)}};
    if (const char* before = std::getenv("KOLVARO_BENCH_BEFORE")) {
        setenv("KOLVARO_BENCH_SERVER", before, 1);
        columns.emplace_back("before", repeatedLoads(repeats));
        unsetenv("KOLVARO_BENCH_SERVER");
    }
    printf("%d LoadArea of one area by one user, then %d drawing calls by another\n", repeats,
           kRelayOps);
    printf("  %-32s", "");
    for (const auto& [name, f] : columns)
        printf("  %-24s", name.c_str());
    printf("\n  %-32s", "LoadArea calls");
    for (const auto& c : columns)
        printf("  %-24s", c.second.calls.c_str());
    printf("\n  %-32s", "server memory growth (KiB)");
    for (const auto& c : columns)
        printf("  %-24ld", c.second.growthKiB);
    printf("\n  %-32s", "draws before the loads (s)");
    for (const auto& c : columns)
        printf("  %-24.2f", c.second.drawBeforeS);
    printf("\n  %-32s", "draws after the loads (s)");
    for (const auto& c : columns)
        printf("  %-24.2f", c.second.drawAfterS);
    printf("\n  %-32s", "after / before");
    for (const auto& c : columns)
        printf("  %-24.2f", c.second.drawAfterS / c.second.drawBeforeS);
    printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    try {
        setenv("KOLVARO_PEER", BENCH_PEER, 1); // the peer with the timing commands
        if (argc > 1 && std::string(argv[1]) == "--loads") {
            runLoads(argc > 2 ? std::stoi(argv[2]) : 100000);
            return 0;
        }
        if (argc > 2)
            kViewers = std::stoi(argv[2]);
        run(argc > 1 ? std::stol(argv[1]) : 1000000);
    } catch (const std::exception& ex) {
        fprintf(stderr, "bench_relay: %s\n", ex.what());
        return 1;
    }
    return 0;
}
