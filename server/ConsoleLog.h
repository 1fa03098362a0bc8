#pragma once

#include <cstdio>
#include <mutex>

namespace kolvaro {

// The server's console: one printf-formatted line per event. Each line is
// written whole and flushed at once, so a pipe or file reader sees it when it
// happens and lines from different threads never interleave.
class ConsoleLog {
public:
    explicit ConsoleLog(std::FILE* out) : out_(out) {}

    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::FILE* out_;
    std::mutex mutex_;
};

} // namespace kolvaro
