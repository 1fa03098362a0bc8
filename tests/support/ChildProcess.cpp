#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kolvaro::test {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    ::signal(SIGPIPE, SIG_IGN); // writing to a dead child is an error result, not our death
    int in[2], out[2];
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
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    // The site's omniORB configuration could name a naming service on the
    // standard port; children depend on their command line only.
    const std::size_t envAt = strings.size();
    strings.emplace_back("OMNIORB_CONFIG=/dev/null");
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "OMNIORB_CONFIG=", 15) != 0)
            strings.emplace_back(*e);
    std::vector<char*> ptrs;
    for (auto& s : strings)
        ptrs.push_back(s.data());
    ptrs.insert(ptrs.begin() + static_cast<std::ptrdiff_t>(envAt), nullptr);
    ptrs.push_back(nullptr);
    const int rc =
        posix_spawn(&pid_, path.c_str(), &actions, nullptr, ptrs.data(), &ptrs[envAt + 1]);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
    }
    reader_ = std::thread([this, fd = out[0]] {
        std::string pending;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
            pending.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (n < 0 && errno != EINTR)
                break;
            std::lock_guard lock(mutex_);
            std::size_t start = 0;
            for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos;
                 start = nl + 1, ++count_)
                if (keep_)
                    lines_.emplace_back(pending, start, nl - start);
            pending.erase(0, start);
            changed_.notify_all();
        }
        close(fd);
        std::lock_guard lock(mutex_);
        if (!pending.empty() && keep_)
            lines_.push_back(pending);
        ended_ = true;
        changed_.notify_all();
    });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        waitExit(milliseconds(10000));
    }
    closeStdin();
    reader_.join();
    close(errFile_);
}

bool ChildProcess::send(const std::string& line) {
    const std::string data = line + '\n';
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = stdin_ < 0 ? -1 : write(stdin_, data.data() + done, data.size() - done);
        if (n <= 0 && errno != EINTR)
            return false;
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (stdin_ >= 0)
        close(stdin_);
    stdin_ = -1;
}

std::vector<std::string> ChildProcess::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string ChildProcess::line(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < lines_.size() ? lines_[index] : std::string();
}

std::size_t ChildProcess::lineCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

std::optional<std::size_t>
ChildProcess::waitForLine(std::size_t from, const std::function<bool(const std::string&)>& match,
                          milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (std::size_t i = from;; ++i) {
        if (!changed_.wait_until(lock, deadline, [&] { return i < lines_.size() || ended_; }) ||
            i >= lines_.size())
            return std::nullopt;
        if (match(lines_[i]))
            return i;
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
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !status_;) {
        int raw = 0;
        const pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        else if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(milliseconds(10));
    }
    return status_;
}

namespace {

// A loopback TCP socket bound to port (0: any) or connected to it.
bool loopback(int port, bool connecting, int* boundPort = nullptr) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = connecting ? connect(fd, a, len) == 0
                               : bind(fd, a, len) == 0 && getsockname(fd, a, &len) == 0;
    close(fd);
    if (boundPort)
        *boundPort = ntohs(addr.sin_port);
    return ok;
}

} // namespace

int freeLoopbackPort() {
    int port = 0;
    if (!loopback(0, false, &port))
        throw std::runtime_error("cannot find a free port");
    return port;
}

bool waitForListener(int port, milliseconds timeout) {
    for (const auto until = std::chrono::steady_clock::now() + timeout;;
         std::this_thread::sleep_for(milliseconds(50)))
        if (const bool ok = loopback(port, true); ok || std::chrono::steady_clock::now() >= until)
            return ok;
}

} // namespace kolvaro::test
