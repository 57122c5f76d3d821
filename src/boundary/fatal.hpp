// The fatal stop: what the module does when it meets a state it treats as impossible. Such a state never becomes
// a Python exception; the diagnostic goes to standard error and the process aborts.
#pragma once

#include <source_location>
#include <string_view>

namespace kavno {

[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current()) noexcept;

}  // namespace kavno
