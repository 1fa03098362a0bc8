// kolvaro-bench-restorer: a client (window, link and callback object, no
// screen) whose restore bench/latency times, built from the tree under test so
// that another build's client can be measured beside this one.
// Arguments: ORB options. Commands on stdin, one answer line each:
//   draw N    logs in as R and draws N shapes on its own area; "DRAWN secs"
//   restore   after the server restarted: logs in again and sends the area
//             again; "RESTORED secs login_secs" once every shape is echoed back
#include "link/ClientCallback.h"
#include "link/ClientOrb.h"
#include "link/CorbaServerLink.h"
#include "widgets/AreaWindow.h"
#include "widgets/MainWindow.h"

#include "ClientBench.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

using kolvaro::bench::Clock;
using kolvaro::bench::pumpUntil;
using kolvaro::bench::secondsSince;
using namespace std::chrono_literals;

using namespace kolvaro;
namespace {

void answer(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MainWindow window;
    auto* servant = new ClientCallback(window); // the window releases it when it closes
    window.adoptServant(servant);
    kolvaro::ClientOrb orb(argc, argv, servant, &window);
    std::unique_ptr<kolvaro::CorbaServerLink> link;
    std::size_t ops = 0;
    std::string relogin;
    answer("READY");
    for (std::string line; std::getline(std::cin, line);) {
        const auto start = Clock::now();
        if (line.rfind("draw ", 0) == 0) {
            std::optional<LoginOutcome> login;
            orb.registerName("R", [&](LoginOutcome o) { login = o; });
            if (!pumpUntil([&] { return login.has_value(); }, 300s) ||
                login->result.value_or(0) < 1)
                return answer("ERROR login"), 1;
            link = orb.makeServerLink(&window);
            window.setServerLink(link.get());
            window.loginAnswered("R", *login->result);
            window.startWork({});
            ops = std::stoul(line.substr(5));
            kolvaro::bench::drawSample(*link, ops);
        } else if (line == "restore" && link) {
            // A check may still meet the connection to the server that died.
            std::optional<kolvaro::ClientOrb::SessionCheck> check;
            for (int tries = 0;
                 tries < 20 &&
                 (!check || check->answer == kolvaro::ClientOrb::SessionCheck::Answer::Unreachable);
                 ++tries) {
                check.reset();
                orb.checkSession(
                    "R", [&] { return servant->Probes(); },
                    [&](kolvaro::ClientOrb::SessionCheck c) { check = c; });
                if (!pumpUntil([&] { return check.has_value(); }, 300s))
                    return answer("ERROR no answer"), 1;
            }
            if (check->answer != kolvaro::ClientOrb::SessionCheck::Answer::Registered)
                return answer("ERROR no new login: " + check->reason), 1;
            relogin = " " + std::to_string(secondsSince(start));
            link->resume(kolvaro::CorbaServerLink::Resume::ServerForgot,
                         [&] { window.restoreSession(check->count); });
        } else {
            answer("ERROR unknown");
            continue;
        }
        AreaWindow& area = *window.areas().front();
        if (!pumpUntil([&] { return area.history().size() == ops; }, 300s))
            return answer("ERROR incomplete"), 1;
        answer((line == "restore" ? "RESTORED " : "DRAWN ") + std::to_string(secondsSince(start)) +
               (line == "restore" ? relogin : ""));
    }
    link->shutdown();
    orb.shutdown();
    std::fflush(stdout);
    std::_Exit(0); // the window and the ORB's servant are let go with the process
}
