// Bulk transfers over a slow link: every client talks to the server through a
// delaying proxy, and the server's callbacks reach it through another (the
// client publishes the proxy's address), so each round trip costs what it
// would on a network. At each round trip, for this build and, side by side in
// the same run, for another one:
//   replay    LoadArea of a 10,000-operation area, until it returns (the
//             server returns once the replay has reached the viewer)
//   catch-up  the area's owner draws 20,000 operations flat out on loopback
//             while the viewer displays the area: the drawer's time, the
//             time until the viewer has all of them, or that it was dropped
//   restore   a client's own area of 10,000 operations sent again after a
//             server restart, until every shape is echoed back to it
// Usage: bench_latency [round trips in ms, default 0 0.5 2 5]
// KOLVARO_BENCH_OLD=DIR also measures the build in DIR (its kolvaro-server,
// kolvaro-bench-peer and kolvaro-bench-restorer).
#include "ServerProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kolvaro::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using namespace kolvaro;
namespace {

constexpr int kAreaOps = 10000;
constexpr int kFlatOut = 20000;

struct Build {
    std::string name, server, peer, restorer;
};

struct Figures {
    double rtt = -1, replay = -1, drawer = -1, viewer = -1, restore = -1, relogin = -1;
    bool dropped = false;
};

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string expect(PeerProcess& p, const std::string& cmd, const std::string& prefix) {
    std::string answer = p.call(cmd, 600000ms);
    if (answer.rfind(prefix, 0) != 0)
        throw std::runtime_error(cmd + " -> " + answer);
    return answer;
}

// A client's ORB options: the server through `toServer`, callbacks to this
// client through a proxy of their own, returned in `back`.
std::vector<std::string> slowClient(const DelayProxy& toServer, std::unique_ptr<DelayProxy>& back) {
    const int endpoint = freeLoopbackPort();
    back = std::make_unique<DelayProxy>(endpoint);
    return {"-ORBInitRef",         "ServerObject=" + toServer.corbaloc(),
            "-ORBendPoint",        "giop:tcp:127.0.0.1:" + std::to_string(endpoint),
            "-ORBendPointPublish", "giop:tcp:127.0.0.1:" + std::to_string(back->port())};
}

void delay(double rttMs, std::initializer_list<DelayProxy*> proxies) {
    const std::string half = std::to_string(rttMs / 2);
    for (DelayProxy* p : proxies)
        if (!p->command("delay up " + half) || !p->command("delay down " + half))
            throw std::runtime_error("proxy refused a delay");
}

std::size_t served(PeerProcess& viewer, std::size_t n, int waitMs) {
    const std::string answer =
        expect(viewer, "wait-count " + std::to_string(n) + " " + std::to_string(waitMs), "COUNT ");
    return std::stoul(answer.substr(6));
}

Figures measure(const Build& build, double rttMs) {
    setenv("KOLVARO_BENCH_SERVER", build.server.c_str(), 1);
    setenv("KOLVARO_PEER", build.peer.c_str(), 1);
    Figures f;
    // The server's reference names the proxy; the drawer alone reaches the
    // server directly, by the server object's own key.
    const int port = freeLoopbackPort();
    DelayProxy toServer(port);
    const std::vector<std::string> publish{"-ORBendPointPublish",
                                           "giop:tcp:127.0.0.1:" + std::to_string(toServer.port())};
    auto server = std::make_unique<ServerProcess>(publish, port);
    if (!server->waitStarted())
        throw std::runtime_error("server did not start: " + server->errorText());
    PeerProcess drawer({"-ORBInitRef", "ServerObject=corbaloc::127.0.0.1:" + std::to_string(port) +
                                           "/%ffKolvaroServer%00ServerImpl"});
    expect(drawer, "quiet on", "RESULT");
    expect(drawer, "login D", "RESULT login 1");
    expect(drawer, "burst " + std::to_string(kAreaOps) + " D", "RESULT burst");

    std::unique_ptr<DelayProxy> toViewer;
    PeerProcess viewer(slowClient(toServer, toViewer));
    expect(viewer, "quiet on", "RESULT");
    expect(viewer, "login V", "RESULT login 2");
    delay(rttMs, {&toServer, toViewer.get()});
    // The round trip as measured: the proxies add their own latency, and
    // round a delay up to whole milliseconds of their clock.
    std::vector<double> trips;
    for (int i = 0; i < 21; ++i) {
        const auto t = Clock::now();
        expect(viewer, "load V nobody", "RESULT load");
        trips.push_back(since(t) * 1000);
    }
    std::sort(trips.begin(), trips.end());
    f.rtt = trips[trips.size() / 2];
    auto start = Clock::now();
    expect(viewer, "load V D", "RESULT load");
    f.replay = since(start);
    if (served(viewer, kAreaOps, 0) < kAreaOps)
        throw std::runtime_error("replay incomplete");

    start = Clock::now();
    expect(drawer, "burst " + std::to_string(kFlatOut) + " D", "RESULT burst");
    f.drawer = since(start);
    while (served(viewer, kAreaOps + kFlatOut, 200) < kAreaOps + kFlatOut) {
        if (server->shows("Logout of Client: V", 0ms) || since(start) > 300) {
            f.dropped = true;
            break;
        }
    }
    if (!f.dropped)
        f.viewer = since(start);

    std::unique_ptr<DelayProxy> toRestorer;
    const auto restorerArgs = slowClient(toServer, toRestorer);
    delay(0, {&toServer, toRestorer.get()});
    ChildProcess restorer(build.restorer, restorerArgs);
    auto answered = [&](const std::string& cmd, const std::string& prefix) {
        const std::size_t from = restorer.lineCount();
        restorer.send(cmd);
        const auto at = restorer.waitForLine(
            from, [](const std::string& l) { return l.rfind("READY", 0) != 0; }, 600000ms);
        const std::string line = at ? restorer.line(*at) : "TIMEOUT";
        if (line.rfind(prefix, 0) != 0)
            throw std::runtime_error(cmd + " -> " + line + " " + restorer.errorText());
        return line.substr(prefix.size());
    };
    answered("draw " + std::to_string(kAreaOps), "DRAWN ");
    delay(rttMs, {&toServer, toRestorer.get()});
    server->signal(SIGKILL);
    server->waitExit(10000ms);
    server = std::make_unique<ServerProcess>(publish, port);
    if (!server->waitStarted())
        throw std::runtime_error("server did not start again");
    const std::string restored = answered("restore", "RESTORED ");
    f.restore = std::stod(restored);
    f.relogin = std::stod(restored.substr(restored.find(' ')));
    return f;
}

void print(double rttMs, const std::string& build, const Figures& f) {
    std::printf("%4.1f ms (%5.2f)  %-3s  replay %7.3f s  catch-up: drawer %6.3f s, viewer ", rttMs,
                f.rtt, build.c_str(), f.replay, f.drawer);
    if (f.dropped)
        std::printf("%-9s", "dropped");
    else
        std::printf("%7.3f s", f.viewer);
    std::printf("  restore %7.3f s (login %.3f s)\n", f.restore, f.relogin);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<double> rtts;
    for (int i = 1; i < argc; ++i)
        rtts.push_back(std::stod(argv[i]));
    if (rtts.empty())
        rtts = {0, 0.5, 2, 5};
    std::vector<Build> builds{{"new", BENCH_SERVER, BENCH_PEER, BENCH_RESTORER}};
    if (const char* old = std::getenv("KOLVARO_BENCH_OLD"); old && *old)
        builds.push_back({"old", std::string(old) + "/server/kolvaro-server",
                          std::string(old) + "/bench/relay/kolvaro-bench-peer",
                          std::string(old) + "/bench/latency/kolvaro-bench-restorer"});
    std::printf("round trip set (measured median, ms); area %d ops, flat out %d ops\n", kAreaOps,
                kFlatOut);
    try {
        for (double rtt : rtts)
            for (const Build& b : builds)
                print(rtt, b.name, measure(b, rtt));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
    return 0;
}
