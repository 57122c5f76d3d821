// A minimal test harness: TEST(name) registers a case, CHECK records a failed condition with its place.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
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

}  // namespace check

#define TEST(name)                                           \
    static void name();                                      \
    static ::check::Register name##_registered(#name, name); \
    static void name()

#define CHECK(condition) \
    ((condition) ? (void)0 : ::check::fail(__FILE__, __LINE__, #condition))

#define CHECK_EQ(actual, expected)                                                                    \
    do {                                                                                              \
        const auto& check_actual = (actual);                                                          \
        const auto& check_expected = (expected);                                                      \
        if (!(check_actual == check_expected)) ::check::fail(__FILE__, __LINE__, #actual " == " #expected); \
    } while (0)
