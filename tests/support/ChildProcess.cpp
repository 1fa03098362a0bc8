#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace kolvaro::test {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    // Writing to a child that died must be an error result, not our death; and
    // the site's omniORB configuration could name a naming service on the
    // standard port: children under test depend on their command line only.
    [[maybe_unused]] static const bool once =
        ::signal(SIGPIPE, SIG_IGN) != SIG_ERR && setenv("OMNIORB_CONFIG", "/dev/null", 1) == 0;
    int in[2], out[2];
    err_ = std::tmpfile();
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || !err_)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    fcntl(fileno(err_), F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err_), 2);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]), close(out[1]);
    in_ = fdopen(in[1], "w");
    std::FILE* from = fdopen(out[0], "r");
    if (rc != 0) {
        std::fclose(from);
        throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
    }
    reader_ = std::thread([this, from] {
        char* buf = nullptr;
        std::size_t size = 0;
        for (ssize_t n; (n = getline(&buf, &size, from)) > 0; changed_.notify_all()) {
            std::lock_guard lock(mutex_);
            if (keep_)
                lines_.emplace_back(buf, n - (buf[n - 1] == '\n'));
            ++count_;
        }
        std::free(buf), std::fclose(from);
        locked([this] { ended_ = true; });
        changed_.notify_all();
    });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        signal(SIGKILL), signal(SIGCONT);
        waitExit(milliseconds(10000));
    }
    closeStdin();
    if (reader_.joinable())
        reader_.join();
    std::fclose(err_);
}

bool ChildProcess::send(const std::string& line) {
    return in_ && std::fprintf(in_, "%s\n", line.c_str()) > 0 && std::fflush(in_) == 0;
}

void ChildProcess::closeStdin() {
    if (in_)
        std::fclose(std::exchange(in_, nullptr));
}

std::optional<std::size_t> ChildProcess::waitForLine(std::size_t from, const Match& match,
                                                     milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (std::size_t i = from;; ++i) {
        while (i >= lines_.size())
            if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout)
                return std::nullopt;
        if (match(lines_[i]))
            return i;
    }
}

std::string ChildProcess::errorText() const {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = pread(fileno(err_), buf, sizeof buf, off_t(text.size()))) > 0;)
        text.append(buf, std::size_t(n));
    return text;
}

void ChildProcess::stop() const {
    signal(SIGSTOP);
    siginfo_t stopped; // the group stop is reported once its last thread stopped
    waitid(P_PID, pid_, &stopped, WSTOPPED | WNOWAIT);
}

std::optional<int> ChildProcess::waitExit(milliseconds timeout) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !status_;
         std::this_thread::sleep_for(milliseconds(10))) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
    return status_;
}

static sockaddr_in loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int freeLoopbackPort(bool forRestarts) {
    static std::atomic<int> next{20000 + getpid() % 10000};
    for (int tries = 0; tries < 1000; ++tries) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(forRestarts ? 20000 + next++ % 12000 : 0);
        socklen_t len = sizeof addr;
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        close(fd);
        if (ok)
            return ntohs(addr.sin_port);
    }
    throw std::runtime_error("cannot find a free port");
}

bool waitForListener(int port, milliseconds timeout) {
    const sockaddr_in addr = loopback(port);
    for (const auto until = std::chrono::steady_clock::now() + timeout;;
         std::this_thread::sleep_for(milliseconds(50))) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok || std::chrono::steady_clock::now() >= until)
            return ok;
    }
}

} // namespace kolvaro::test
