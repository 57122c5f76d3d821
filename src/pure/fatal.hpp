// The fatal stop: what the module does when it meets a state it treats as impossible. Such a state never becomes
// a Python exception; the diagnostic goes to standard error and the process aborts.
#pragma once

#include <string_view>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace kavno {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// For compilers whose standard library lacks it (clang 14 with libstdc++ 12, which builds the fuzz targets).
struct SourceLocation {
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                            unsigned column = __builtin_COLUMN()) noexcept {
        return {file, line, column};
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }
    const char* file_;
    unsigned line_;
    unsigned column_;
};
#endif

[[noreturn]] void fatal(std::string_view message, SourceLocation where = SourceLocation::current()) noexcept;

}  // namespace kavno
