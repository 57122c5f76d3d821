// The diagnostic of the fatal stop, written with plain stdio so that it works whatever state the interpreter
// is in. With KAVNO_BACKTRACE set (to anything but "0") the native stack is printed as well.
#include "pure/fatal.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavno {

namespace {

bool backtrace_requested() noexcept {
    const char* setting = std::getenv("KAVNO_BACKTRACE");
    return setting != nullptr && *setting != '\0' && std::strcmp(setting, "0") != 0;
}

}  // namespace

void fatal(std::string_view message, SourceLocation where) noexcept {
    std::fflush(stdout);
    std::fprintf(stderr, "\nthread '<unnamed>' panicked at %s:%u:%u:\n%.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    if (backtrace_requested()) {
        std::fputs("stack backtrace:\n", stderr);
        std::fflush(stderr);
        void* frames[64];
        backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
    } else {
        std::fputs("note: run with `KAVNO_BACKTRACE=1` environment variable to display a backtrace\n", stderr);
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace kavno
