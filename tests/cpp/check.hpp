// A minimal test harness: TEST(name) registers a case; CHECK records a failed condition with its place, and
// CHECK_EQ shows both values of a failed comparison.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

// A value as the failure message shows it. Types of the code under test can take part by a `describe(value)`
// found by argument-dependent lookup.
template <class T>
std::string show(const T& value) {
    if constexpr (requires { describe(value); }) {
        return describe(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_enum_v<T>) {
        return "enum value " + std::to_string(static_cast<long long>(value));
    } else if constexpr (std::is_arithmetic_v<T>) {
        std::ostringstream out;
        out.precision(17);
        out << +value;
        return out.str();
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return '"' + std::string(std::string_view(value)) + '"';
    } else {
        return "(a value with no description)";
    }
}

}  // namespace check

#define TEST(name)                                           \
    static void name();                                      \
    static ::check::Register name##_registered(#name, name); \
    static void name()

#define CHECK(condition) \
    ((condition) ? (void)0 : ::check::fail(__FILE__, __LINE__, #condition))

#define CHECK_EQ(actual, expected)                                                                         \
    do {                                                                                                   \
        const auto check_actual = (actual);                                                                \
        const auto check_expected = (expected);                                                            \
        if (!(check_actual == check_expected)) {                                                           \
            ::check::fail(__FILE__, __LINE__,                                                              \
                          #actual " == " #expected ": " + ::check::show(check_actual) + " is not " +       \
                              ::check::show(check_expected));                                              \
        }                                                                                                  \
    } while (0)
