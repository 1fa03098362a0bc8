#include "ServerProcess.h"

#include <cstdlib>

namespace kolvaro::test {
namespace {

// A drawing callback for owner's area, or (owner "EV ") any callback.
bool matches(const std::string& line, const std::string& owner) {
    if (owner == "EV ")
        return line.starts_with("EV ");
    return (line.starts_with("EV Paint") || line.starts_with("EV ClearAll ")) &&
           line.ends_with(' ' + owner);
}

// A program named in the environment, else the one built with the tests: lets
// a benchmark compare another build, or use a peer with commands of its own.
std::string program(const char* variable, const char* built) {
    const char* given = std::getenv(variable);
    return given && *given ? given : built;
}

} // namespace

ServerProcess::ServerProcess(std::vector<std::string> extraArgs, int port)
    : ServerProcess(program("KOLVARO_BENCH_SERVER", KOLVARO_SERVER_PATH), port,
                    std::move(extraArgs)) {}

std::unique_ptr<ServerProcess> ServerProcess::bounded(const std::vector<std::string>& bounds) {
    return std::unique_ptr<ServerProcess>(new ServerProcess(KOLVARO_TEST_SERVER_PATH, 0, bounds));
}

ServerProcess::ServerProcess(const std::string& program, int port, std::vector<std::string> extra)
    : ChildProcess(program,
                   [&] {
                       port = port ? port : freeLoopbackPort();
                       extra.insert(extra.begin(),
                                    {"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
                       return extra;
                   }()),
      port_(port) {}

std::vector<std::string> ServerProcess::consoleLines(std::size_t from, std::size_t n,
                                                     milliseconds timeout) const {
    if (n > 0)
        waitForLine(from + n - 1, timeout, [](const std::string&) { return true; });
    auto all = lines();
    all.resize(std::min(all.size(), from + n));
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}

PeerProcess::PeerProcess(const std::vector<std::string>& orbArgs)
    : ChildProcess(program("KOLVARO_PEER", KOLVARO_PEER_PATH), orbArgs) {
    auto ready =
        waitForLine(0, milliseconds(20000), [](const std::string& l) { return l == "READY"; });
    answerCursor_ = ready ? *ready + 1 : 0;
}

std::string PeerProcess::answer(milliseconds timeout) {
    auto at = waitForLine(answerCursor_, timeout,
                          [](const std::string& l) { return !l.starts_with("EV "); });
    if (!at)
        return "TIMEOUT";
    answerCursor_ = *at + 1;
    return line(*at);
}

std::vector<std::string> PeerProcess::drawing(const std::string& owner, std::size_t n,
                                              milliseconds timeout) const {
    std::size_t seen = 0;
    if (n > 0)
        waitForLine(0, timeout,
                    [&](const std::string& l) { return matches(l, owner) && ++seen >= n; });
    return matching(owner);
}

std::vector<std::string> PeerProcess::matching(const std::string& owner) const {
    std::vector<std::string> out;
    for (auto& l : lines())
        if (matches(l, owner))
            out.push_back(l.substr(3));
    return out;
}

DelayProxy::DelayProxy(int target, int port)
    : ChildProcess(KOLVARO_DELAY_PROXY_PATH, {std::to_string(port), std::to_string(target)}),
      port_(port) {
    waitForLine(0, milliseconds(10000),
                [](const std::string& l) { return l.starts_with("listening"); });
}

bool DelayProxy::command(const std::string& line) {
    std::size_t from = lineCount();
    return send(line) &&
           waitForLine(from, milliseconds(10000), [](const std::string& l) { return l == "ok"; });
}

} // namespace kolvaro::test
