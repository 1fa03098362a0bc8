#include "ServerProcess.h"

#include <cstdlib>

namespace kolvaro::test {
namespace {

bool isAnswer(const std::string& line) {
    return line.rfind("EV ", 0) != 0;
}

} // namespace

std::string serverProgram() {
    // Lets a benchmark compare another build of the server with this one.
    const char* other = std::getenv("KOLVARO_BENCH_SERVER");
    return other && *other ? other : KOLVARO_SERVER_PATH;
}
std::string probeProgram() {
    return KOLVARO_PROBE_PATH;
}

ServerProcess::ServerProcess(std::vector<std::string> extraArgs, int port)
    : ServerProcess(port ? port : freeLoopbackPort(), std::move(extraArgs)) {}

ServerProcess::ServerProcess(int port, std::vector<std::string> extraArgs)
    : ChildProcess(serverProgram(), argsFor(port, std::move(extraArgs))), port_(port) {}

std::vector<std::string> ServerProcess::argsFor(int port, std::vector<std::string> extra) {
    std::vector<std::string> args{"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string ServerProcess::corbaloc() const {
    return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/ServerObject";
}

std::vector<std::string> ServerProcess::clientArgs() const {
    return {"-ORBInitRef", "ServerObject=" + corbaloc()};
}

bool ServerProcess::waitStarted(milliseconds timeout) {
    return waitForLine(
               0, [](const std::string& l) { return l == "Start server."; }, timeout)
        .has_value();
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

ProbeProcess::ProbeProcess(const std::vector<std::string>& orbArgs)
    : ChildProcess(probeProgram(), orbArgs) {
    auto ready = waitForLine(
        0, [](const std::string& l) { return l == "READY"; }, milliseconds(20000));
    if (ready)
        answerCursor_ = *ready + 1;
}

void ProbeProcess::post(const std::string& command) {
    send(command);
}

std::string ProbeProcess::answer(milliseconds timeout) {
    auto at = waitForLine(answerCursor_, isAnswer, timeout);
    if (!at)
        return "TIMEOUT";
    std::string text = line(*at);
    answerCursor_ = *at + 1;
    // A listing runs to its END line; its answer is the whole block's head.
    if (text.rfind("EVENTS ", 0) == 0) {
        if (auto end = waitForLine(
                answerCursor_, [](const std::string& l) { return l == "END"; }, timeout))
            answerCursor_ = *end + 1;
    }
    return text;
}

std::string ProbeProcess::call(const std::string& command, milliseconds timeout) {
    post(command);
    return answer(timeout);
}

std::vector<std::string> ProbeProcess::events() const {
    std::vector<std::string> out;
    for (auto& l : lines())
        if (l.rfind("EV ", 0) == 0)
            out.push_back(l.substr(3));
    return out;
}

std::vector<std::string> ProbeProcess::waitEvents(std::size_t n, milliseconds timeout) const {
    std::size_t seen = 0;
    waitForLine(
        0, [&](const std::string& l) { return l.rfind("EV ", 0) == 0 && ++seen >= n; }, timeout);
    return events();
}

bool ProbeProcess::waitEvent(const std::string& event, milliseconds timeout) const {
    const std::string wanted = "EV " + event;
    return waitForLine(
               0, [&](const std::string& l) { return l == wanted; }, timeout)
        .has_value();
}

} // namespace kolvaro::test
