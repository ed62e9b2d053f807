// A minimal unit-test harness: CHECK records failures, main() reports
// "N passed, N failed" and exits non-zero on any failure.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qtest {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline int run_all() {
    int passed = 0, failed = 0;
    for (auto& c : registry()) {
        const int before = failures();
        try {
            c.body();
        } catch (const std::exception& e) {
            std::printf("  exception in %s: %s\n", c.name, e.what());
            ++failures();
        }
        if (failures() == before) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace qtest

#define QTEST_CAT2(a, b) a##b
#define QTEST_CAT(a, b) QTEST_CAT2(a, b)
#define TEST_CASE(name)                                                                       \
    static void QTEST_CAT(qtest_fn_, __LINE__)();                                             \
    static ::qtest::Register QTEST_CAT(qtest_reg_, __LINE__)(name,                            \
                                                             QTEST_CAT(qtest_fn_, __LINE__)); \
    static void QTEST_CAT(qtest_fn_, __LINE__)()

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::printf("  %s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            ++::qtest::failures();                                                 \
        }                                                                          \
    } while (0)

#define CHECK_THROWS_AS(expr, type)                                                          \
    do {                                                                                     \
        bool qtest_thrown = false;                                                           \
        try {                                                                                \
            (void)(expr);                                                                    \
        } catch (const type&) {                                                              \
            qtest_thrown = true;                                                             \
        }                                                                                    \
        if (!qtest_thrown) {                                                                 \
            std::printf("  %s:%d: %s did not throw %s\n", __FILE__, __LINE__, #expr, #type); \
            ++::qtest::failures();                                                           \
        }                                                                                    \
    } while (0)

#define QTEST_MAIN \
    int main() { return ::qtest::run_all(); }
