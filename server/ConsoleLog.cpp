#include "ConsoleLog.h"

#include <cstdarg>

namespace kolvaro {

void ConsoleLog::line(const char* format, ...) {
    if (!out_)
        return;
    std::lock_guard lock(mutex_);
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    std::fflush(out_);
}

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

bool hasControl(const char* text) {
    for (const char* p = text; *p; ++p)
        if (isControl(static_cast<unsigned char>(*p)))
            return true;
    return false;
}

Printable::Printable(const char* text) : text_(text) {
    if (!hasControl(text))
        return;
    static const char hex[] = "0123456789ABCDEF";
    for (const char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (isControl(c)) {
            escaped_ += "\\x";
            escaped_ += hex[c >> 4];
            escaped_ += hex[c & 0xF];
        } else {
            escaped_ += *p;
        }
    }
    text_ = escaped_.c_str();
}

} // namespace kolvaro
