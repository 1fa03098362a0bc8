// How long a client takes to bring its own area back after the server was
// killed and started again: from the new login to the last echo of the
// history it sent again. Beside it, in the same run, the time the same
// operations took to draw the first time through the same link.
// Usage: bench_restore [ops (10000)]

#include "ServerProcess.h"
#include "link/ClientCallback.h"
#include "link/ClientOrb.h"
#include "link/CorbaServerLink.h"
#include "widgets/AreaWindow.h"
#include "widgets/MainWindow.h"

#include "ClientBench.h"

#include <QApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

using namespace std::chrono_literals;
using kolvaro::bench::Clock;
using kolvaro::bench::pumpUntil;
using kolvaro::bench::secondsSince;

using namespace kolvaro;
namespace {} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::size_t ops = argc > 1 ? std::stoul(argv[1]) : 10000;

    auto server = std::make_unique<kolvaro::test::ServerProcess>();
    if (!server->waitStarted())
        return 1;
    const int port = server->port();
    std::string ref = "ServerObject=" + server->corbaloc();
    char program[] = "bench_restore";
    char initRef[] = "-ORBInitRef";
    char* orbArgs[] = {program, initRef, ref.data(), nullptr};

    MainWindow window;
    auto* servant = new ClientCallback(window); // the window releases it when it closes
    window.adoptServant(servant);
    kolvaro::ClientOrb orb(3, orbArgs, servant, &window);
    std::optional<LoginOutcome> login;
    orb.registerName("R", [&](LoginOutcome o) { login = o; });
    if (!pumpUntil([&] { return login.has_value(); }, 120s) || login->result != 1) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    auto link = orb.makeServerLink(&window);
    window.setServerLink(link.get());
    window.loginAnswered("R", 1);
    window.startWork({});
    AreaWindow& area = *window.areas().front();

    auto start = Clock::now();
    kolvaro::bench::drawSample(*link, ops);
    if (!pumpUntil([&] { return area.history().size() == ops; }, 120s))
        return 1;
    const double drawn = secondsSince(start);

    server->signal(SIGKILL);
    server->waitExit(10000ms);
    server = std::make_unique<kolvaro::test::ServerProcess>(std::vector<std::string>{}, port);
    if (!server->waitStarted())
        return 1;
    server->discardLines();

    start = Clock::now();
    std::optional<kolvaro::ClientOrb::SessionCheck> check;
    orb.checkSession(
        "R", [&] { return servant->Probes(); },
        [&](kolvaro::ClientOrb::SessionCheck c) { check = c; });
    if (!pumpUntil([&] { return check.has_value(); }, 120s) ||
        check->answer != kolvaro::ClientOrb::SessionCheck::Answer::Registered) {
        std::fprintf(stderr, "no new login\n");
        return 1;
    }
    const double relogged = secondsSince(start);
    link->resume(kolvaro::CorbaServerLink::Resume::ServerForgot,
                 [&] { window.restoreSession(check->count); });
    if (!pumpUntil([&] { return area.history().size() == ops; }, 120s))
        return 1;
    const double restored = secondsSince(start);

    std::printf("area of %zu operations, loopback, one client:\n", ops);
    std::printf("  drawn the first time (sent, stored, echoed): %.3f s\n", drawn);
    std::printf("  restored after a restart: %.3f s (new login %.3f s), %.2fx the first time\n",
                restored, relogged, restored / drawn);
    link->shutdown();
    orb.shutdown();
    server.reset();
    std::fflush(stdout);
    // The window and the ORB's servant are let go with the process.
    std::_Exit(0);
}
