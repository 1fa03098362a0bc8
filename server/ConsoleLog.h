#pragma once

#include <cstdio>
#include <mutex>
#include <string>

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

// A client's string as the console may show it: control bytes (below 0x20,
// and 0x7F) as \xNN, so that no text can end a line early or drive the
// terminal. Everything else, 8-bit and UTF-8 included, passes unchanged and,
// in the usual case, uncopied.
class Printable {
public:
    explicit Printable(const char* text);
    const char* c_str() const { return text_; }

private:
    const char* text_;
    std::string escaped_;
};

// True when text holds a control byte that Printable would escape.
bool hasControl(const char* text);

} // namespace kolvaro
