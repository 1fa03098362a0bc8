#include "CallbackPeer.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kolvaro::test {

CallbackPeer::CallbackPeer(CORBA::ORB_ptr orb) {
    int toPeer[2], fromPeer[2];
    if (pipe(toPeer) != 0 || pipe(fromPeer) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
    posix_spawn_file_actions_addclose(&actions, toPeer[1]);
    posix_spawn_file_actions_addclose(&actions, fromPeer[0]);
    std::string program = CALLBACK_PEER_PATH;
    char arg1[] = "-ORBendPoint", arg2[] = "giop:tcp:127.0.0.1:";
    char* argv[] = {program.data(), arg1, arg2, nullptr};
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toPeer[0]);
    close(fromPeer[1]);
    in_ = toPeer[1];
    out_ = fromPeer[0];
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);
    reader_ = std::thread([this] { readLines(); });

    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !lines_.empty(); }))
        throw std::runtime_error("the callback peer did not start");
    const std::string ior = lines_.front();
    lines_.erase(lines_.begin());
    lock.unlock();
    CORBA::Object_var obj = orb->string_to_object(ior.c_str());
    ref_ = TKolvaro::Client::_narrow(obj);
}

CallbackPeer::~CallbackPeer() {
    kill();
    close(in_);
    reader_.join();
    close(out_);
}

void CallbackPeer::signal(int sig) {
    ::kill(pid_, sig);
}

void CallbackPeer::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void CallbackPeer::stop() {
    ::kill(pid_, SIGSTOP);
    // The signal is delivered asynchronously; a thread still running could
    // answer one more call.
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    for (int i = 0; i < 2000; ++i) {
        bool allStopped = true;
        for (const auto& t : std::filesystem::directory_iterator(tasks)) {
            std::ifstream stat(t.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const auto close = line.rfind(')');
            if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T')
                allStopped = false;
        }
        if (allStopped)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("the callback peer did not stop");
}

void CallbackPeer::readLines() {
    std::string pending;
    char buf[4096];
    for (ssize_t n; (n = read(out_, buf, sizeof buf)) > 0;) {
        pending.append(buf, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            lines_.push_back(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
        changed_.notify_all();
    }
}

std::vector<std::string> CallbackPeer::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool CallbackPeer::waitFor(const std::string& line, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
}

} // namespace kolvaro::test
