// Runs every registered case and prints the closing count.
#include "check.hpp"

int main() {
    int failed_cases = 0;
    for (const auto& test : check::cases()) {
        const int before = check::failures();
        test.run();
        if (check::failures() != before) {
            ++failed_cases;
            std::fprintf(stderr, "FAILED %s\n", test.name);
        }
    }
    const int total = static_cast<int>(check::cases().size());
    std::printf("%d passed, %d failed\n", total - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}
