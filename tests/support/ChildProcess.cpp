#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kolvaro::test {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    // Writing to a child that died must be an error result, not our death.
    static const bool ignoringSigpipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignoringSigpipe;
    int in[2], out[2];
    // Standard error goes to a file that nobody else can open.
    char errPath[] = "/tmp/kolvaro-child-XXXXXX";
    errFile_ = mkostemp(errPath, O_CLOEXEC);
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || errFile_ < 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    unlink(errPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFile_, 2);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The site's omniORB configuration could name a naming service on the
    // standard port; children under test depend on their command line only.
    std::vector<std::string> env{"OMNIORB_CONFIG=/dev/null"};
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "OMNIORB_CONFIG=", 15) != 0)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
    }
    outReader_ = std::thread([this, fd = out[0]] { readLines(fd); });
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
    close(errFile_);
}

void ChildProcess::readLines(int fd) {
    std::string pending;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
        pending.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
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

bool ChildProcess::send(const std::string& line) {
    const std::string data = line + '\n';
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = stdin_ < 0 ? -1 : write(stdin_, data.data() + done, data.size() - done);
        if (n <= 0 && errno != EINTR)
            return false;
        done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
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
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = pread(errFile_, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
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

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

} // namespace

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    close(fd);
    if (!ok)
        throw std::runtime_error("cannot find a free port");
    return ntohs(addr.sin_port);
}

bool waitForListener(int port, std::chrono::milliseconds timeout) {
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
