#include "ServerProcess.h"

#include <cstdlib>

namespace kolvaro::test {
namespace {

bool isAnswer(const std::string& line) {
    return line.rfind("EV ", 0) != 0;
}

bool isDrawing(const std::string& event, const std::string& owner) {
    return (event.rfind("EV Paint", 0) == 0 || event.rfind("EV ClearAll ", 0) == 0) &&
           event.size() > owner.size() &&
           event.compare(event.size() - owner.size() - 1, std::string::npos, ' ' + owner) == 0;
}

} // namespace

std::string serverProgram() {
    // Lets a benchmark compare another build of the server with this one.
    const char* other = std::getenv("KOLVARO_BENCH_SERVER");
    return other && *other ? other : KOLVARO_SERVER_PATH;
}
std::string peerProgram() {
    return KOLVARO_PEER_PATH;
}

ServerProcess::ServerProcess(std::vector<std::string> extraArgs, int port)
    : ServerProcess(serverProgram(), port, std::move(extraArgs)) {}

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

std::string ServerProcess::corbaloc() const {
    return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/ServerObject";
}

std::vector<std::string> ServerProcess::clientArgs() const {
    return {"-ORBInitRef", "ServerObject=" + corbaloc()};
}

bool ServerProcess::waitStarted(milliseconds timeout) {
    return shows("Start server.", timeout);
}

std::vector<std::string> ServerProcess::consoleLines(std::size_t from, std::size_t n,
                                                     milliseconds timeout) const {
    if (n > 0)
        waitForLine(
            from + n - 1, [](const std::string&) { return true; }, timeout);
    auto all = lines();
    if (from >= all.size())
        return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(from),
            all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), from + n))};
}

bool ServerProcess::shows(const std::string& line, milliseconds timeout) const {
    return waitForLine(
               0, [&](const std::string& l) { return l == line; }, timeout)
        .has_value();
}

PeerProcess::PeerProcess(const std::vector<std::string>& orbArgs)
    : ChildProcess(peerProgram(), orbArgs) {
    auto ready = waitForLine(
        0, [](const std::string& l) { return l == "READY"; }, milliseconds(20000));
    if (ready)
        answerCursor_ = *ready + 1;
}

void PeerProcess::post(const std::string& command) {
    send(command);
}

std::string PeerProcess::answer(milliseconds timeout) {
    auto at = waitForLine(answerCursor_, isAnswer, timeout);
    if (!at)
        return "TIMEOUT";
    answerCursor_ = *at + 1;
    return line(*at);
}

std::string PeerProcess::call(const std::string& command, milliseconds timeout) {
    post(command);
    return answer(timeout);
}

std::vector<std::string> PeerProcess::events() const {
    std::vector<std::string> out;
    for (auto& l : lines())
        if (l.rfind("EV ", 0) == 0)
            out.push_back(l.substr(3));
    return out;
}

std::vector<std::string> PeerProcess::waitEvents(std::size_t n, milliseconds timeout) const {
    std::size_t seen = 0;
    waitForLine(
        0, [&](const std::string& l) { return l.rfind("EV ", 0) == 0 && ++seen >= n; }, timeout);
    return events();
}

bool PeerProcess::waitEvent(const std::string& event, milliseconds timeout) const {
    const std::string wanted = "EV " + event;
    return waitForLine(
               0, [&](const std::string& l) { return l == wanted; }, timeout)
        .has_value();
}

std::vector<std::string> PeerProcess::drawing(const std::string& owner, std::size_t n,
                                              milliseconds timeout) const {
    std::size_t seen = 0;
    if (n > 0)
        waitForLine(
            0, [&](const std::string& l) { return isDrawing(l, owner) && ++seen >= n; }, timeout);
    std::vector<std::string> out;
    for (auto& l : lines())
        if (isDrawing(l, owner))
            out.push_back(l.substr(3));
    return out;
}

} // namespace kolvaro::test
