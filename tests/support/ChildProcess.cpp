#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kolvaro::test {
namespace {

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
}

} // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    // Writing to a child that died must be an error result, not our death.
    static const bool ignoringSigpipe = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)ignoringSigpipe;
    int in[2], out[2], err[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The site's omniORB configuration file could name a naming service on
    // the standard port; children under test must depend on their command
    // line only.
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "OMNIORB_CONFIG=", 15) != 0)
            envStore.emplace_back(*e);
    envStore.emplace_back("OMNIORB_CONFIG=/dev/null");
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
    }
    stdin_ = in[1];
    outReader_ = std::thread([this, fd = out[0]] { readLines(fd); });
    errReader_ = std::thread([this, fd = err[0]] { readAll(fd); });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        waitExit(milliseconds(10000));
    }
    closeStdin();
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
}

void ChildProcess::readLines(int fd) {
    std::string pending;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        std::lock_guard lock(mutex_);
        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            if (keep_)
                lines_.emplace_back(pending, start, nl - start);
            ++count_;
        }
        pending.erase(0, start);
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    if (!pending.empty() && keep_)
        lines_.push_back(pending);
    outEnded_ = true;
    changed_.notify_all();
}

void ChildProcess::readAll(int fd) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard lock(mutex_);
        errors_.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
}

bool ChildProcess::send(const std::string& line) {
    if (stdin_ < 0)
        return false;
    std::string data = line + '\n';
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = write(stdin_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (stdin_ >= 0) {
        close(stdin_);
        stdin_ = -1;
    }
}

std::vector<std::string> ChildProcess::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::size_t ChildProcess::lineCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

std::string ChildProcess::line(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < lines_.size() ? lines_[index] : std::string();
}

std::optional<std::size_t>
ChildProcess::waitForLine(std::size_t from, const std::function<bool(const std::string&)>& match,
                          milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (std::size_t i = from;;) {
        for (; i < lines_.size(); ++i)
            if (match(lines_[i]))
                return i;
        if (outEnded_)
            return std::nullopt;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && i == lines_.size())
            return std::nullopt;
    }
}

void ChildProcess::discardLines() {
    std::lock_guard lock(mutex_);
    keep_ = false;
    lines_.clear();
}

std::string ChildProcess::errorText() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

void ChildProcess::signal(int sig) const {
    if (pid_ > 0)
        kill(pid_, sig);
}

std::optional<int> ChildProcess::waitExit(milliseconds timeout) {
    if (status_)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool ChildProcess::running() {
    return pid_ > 0 && !waitExit(milliseconds(0));
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool waitForListener(int port, std::chrono::milliseconds timeout) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0)
            close(fd);
        if (ok)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

} // namespace kolvaro::test
