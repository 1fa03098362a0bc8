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

} // namespace kolvaro
