// What the native checks share: counting checks and the report every check
// program ends with ("N passed, M failed"; the exit status is non-zero on any
// failure).
#pragma once

#include <cstdio>
#include <string>

namespace native_checks {

inline int passed = 0, failed = 0;

inline void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::fprintf(stdout, "FAIL: %s\n", what.c_str());
    }
}

inline int report() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace native_checks
