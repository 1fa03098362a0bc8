#pragma once

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kolvaro::test {

using namespace std::chrono_literals;

inline bool isDrawing(const std::string& event) {
    return event.rfind("Paint", 0) == 0 || event.rfind("ClearAll ", 0) == 0;
}

// The drawing callbacks among events that concern the area of owner.
inline std::vector<std::string> drawingOf(const std::vector<std::string>& events,
                                          const std::string& owner) {
    std::vector<std::string> out;
    const std::string suffix = " " + owner;
    for (auto& e : events)
        if (isDrawing(e) && e.size() >= suffix.size() &&
            e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(e);
    return out;
}

// Waits until probe has received n drawing callbacks for owner's area.
inline std::vector<std::string> waitDrawing(const ProbeProcess& probe, const std::string& owner,
                                            std::size_t n, milliseconds timeout = 30000ms) {
    const std::string suffix = " " + owner;
    std::size_t seen = 0;
    probe.waitForLine(
        0,
        [&](const std::string& l) {
            if (l.rfind("EV ", 0) == 0 && isDrawing(l.substr(3)) && l.size() >= suffix.size() &&
                l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0)
                ++seen;
            return seen >= n;
        },
        timeout);
    return drawingOf(probe.events(), owner);
}

// A running server with its start line seen.
inline std::unique_ptr<ServerProcess> startServer(std::vector<std::string> args = {}) {
    auto server = std::make_unique<ServerProcess>(std::move(args));
    EXPECT_TRUE(server->waitStarted()) << server->errorText();
    return server;
}

// A probe logged in as name; expects the login to succeed.
inline std::unique_ptr<ProbeProcess> loggedIn(const ServerProcess& server,
                                              const std::string& name) {
    auto probe = std::make_unique<ProbeProcess>(server);
    const std::string result = probe->call("login " + name);
    EXPECT_EQ(result.rfind("RESULT login ", 0), 0u) << name << ": " << result;
    return probe;
}

// True once the server printed line (at or after index from).
inline bool consoleShows(const ServerProcess& server, const std::string& line,
                         milliseconds timeout = 20000ms, std::size_t from = 0) {
    return server
        .waitForLine(
            from, [&](const std::string& l) { return l == line; }, timeout)
        .has_value();
}

} // namespace kolvaro::test
