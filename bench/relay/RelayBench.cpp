// Figures for the server's relay, measured side by side in one run against
// a bare two-way omniORB call between two processes.
// Usage: bench_relay [stored_ops (1000000)] [viewers (8)]

#include "ServerProcess.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kolvaro::test;
using namespace std::chrono_literals;

namespace {

int kViewers = 8;
constexpr int kRelayOps = 5000;
constexpr int kReplayOps = 10000;
constexpr int kMemoryDrawers = 4;
// A quick hand on the mouse: one drawing step every 2 ms.
constexpr int kPaceUs = 2000;

// Value of key=... in a probe's answer line.
double field(const std::string& answer, const std::string& key) {
    const auto at = answer.find(key + "=");
    if (at == std::string::npos)
        throw std::runtime_error("no " + key + " in: " + answer);
    return std::stod(answer.substr(at + key.size() + 1));
}

std::string expect(ProbeProcess& p, const std::string& cmd, const std::string& prefix,
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

// Waits until probe has served at least n callbacks.
void drain(ProbeProcess& p, std::size_t n) {
    const std::string answer =
        expect(p, "wait-count " + std::to_string(n) + " 600000", "COUNT ", 700000ms);
    if (std::stoul(answer.substr(6)) < n)
        throw std::runtime_error("callbacks missing: " + answer);
}

std::unique_ptr<ProbeProcess> quietLogin(const ServerProcess& server, const std::string& name) {
    auto p = std::make_unique<ProbeProcess>(server);
    expect(*p, "quiet on", "RESULT quiet");
    expect(*p, "login " + name, "RESULT login ");
    return p;
}

void run(long storedOps) {
    ServerProcess server;
    if (!server.waitStarted())
        throw std::runtime_error("server did not start: " + server.errorText());
    server.discardLines(); // a million console lines are only counted

    // A bare pair: one probe calls the other's callback object directly.
    ProbeProcess caller(std::vector<std::string>{}), callee(std::vector<std::string>{});
    expect(callee, "quiet on", "RESULT quiet");
    const std::string ior = expect(callee, "ior", "IOR ").substr(4);
    expect(caller, "bare-burst 500 " + ior, "RESULT bare-burst"); // warm up

    // Drawer with 8 viewers of its area.
    auto drawer = quietLogin(server, "Drawer");
    std::vector<std::unique_ptr<ProbeProcess>> viewers;
    for (int i = 0; i < kViewers; ++i) {
        viewers.push_back(quietLogin(server, "Viewer" + std::to_string(i)));
        expect(*viewers.back(), "load Viewer" + std::to_string(i) + " Drawer", "RESULT load");
    }
    expect(*drawer, "burst 500 Drawer", "RESULT burst"); // warm up
    for (auto& v : viewers)
        drain(*v, 500);

    // Flat out, the drawer competes for the cores with nine receivers; paced,
    // it is compared with a bare call at the same pace (a sleeping process
    // wakes more slowly than a busy one).
    const std::string drawn =
        expect(*drawer, "burst " + std::to_string(kRelayOps) + " Drawer", "RESULT burst");
    for (auto& v : viewers)
        drain(*v, 500 + kRelayOps);
    const std::string paced = expect(
        *drawer, "burst " + std::to_string(kRelayOps) + " Drawer 0 0 " + std::to_string(kPaceUs),
        "RESULT burst");
    for (auto& v : viewers)
        drain(*v, 500 + 2 * kRelayOps);
    const std::string bare =
        expect(caller, "bare-burst " + std::to_string(kRelayOps) + " " + ior, "RESULT bare-burst");
    const std::string barePaced = expect(caller,
                                         "bare-burst " + std::to_string(kRelayOps) + " " + ior +
                                             " " + std::to_string(kPaceUs),
                                         "RESULT bare-burst");
    const double barePacedUs = field(barePaced, "median_us");
    const double drawUs = field(drawn, "median_us");
    const double pacedUs = field(paced, "median_us");
    const double bareUs = field(bare, "median_us");

    // Replay of a stored area against as many bare callbacks.
    auto owner = quietLogin(server, "Owner");
    expect(*owner, "burst " + std::to_string(kReplayOps) + " Owner 0 2000", "RESULT burst");
    drain(*owner, kReplayOps + 1);
    auto reader = quietLogin(server, "Reader");
    const std::string replay = expect(*reader, "timed-load Reader Owner", "RESULT timed-load");
    const std::string bareReplay =
        expect(caller, "bare-burst " + std::to_string(kReplayOps) + " " + ior, "RESULT bare-burst");
    const double replayUs = field(replay, "us");
    const double bareReplayUs = field(bareReplay, "total_us");

    printf("Kolvaro relay on loopback, %d viewers\n", kViewers);
    printf("  flat out: drawer call median %9.1f us  (%d ops, %.0f ops/s)\n", drawUs, kRelayOps,
           field(drawn, "ops_per_s"));
    printf("            bare call median   %9.1f us\n", bareUs);
    printf("            drawer / bare      %9.2f     (target <= 1.5)\n", drawUs / bareUs);
    printf("  paced:    drawer call median %9.1f us  (%d ops, %.0f ops/s)\n", pacedUs, kRelayOps,
           field(paced, "ops_per_s"));
    printf("            bare call median   %9.1f us\n", barePacedUs);
    printf("            drawer / bare      %9.2f     (target <= 1.5)\n", pacedUs / barePacedUs);
    printf("  LoadArea replay, %d ops   %9.1f ms\n", kReplayOps, replayUs / 1000);
    printf("  %d bare callbacks         %9.1f ms\n", kReplayOps, bareReplayUs / 1000);
    printf("  replay / bare                %9.2f     (target <= 1.3)\n", replayUs / bareReplayUs);
    fflush(stdout);

    // Memory: the server's growth while its histories take storedOps more.
    viewers.clear();
    std::vector<std::unique_ptr<ProbeProcess>> fillers;
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

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 2)
            kViewers = std::stoi(argv[2]);
        run(argc > 1 ? std::stol(argv[1]) : 1000000);
    } catch (const std::exception& ex) {
        fprintf(stderr, "bench_relay: %s\n", ex.what());
        return 1;
    }
    return 0;
}
