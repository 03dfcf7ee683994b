// Helpers shared by the tests that drive the kernel stand-in: the rule breaks it records are taken
// after each case, and an unexpected one fails the case that caused it.
#pragma once

#include <gtest/gtest.h>
#include <standin/kernel.h>

#include <string>
#include <vector>

namespace zephtest {

// One rule break a line, for a failure message.
inline std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& x : lines) s += x + "\n";
    return s;
}

// True when one of the recorded lines mentions text.
inline bool has(const std::vector<std::string>& lines, const char* text) {
    for (const auto& x : lines)
        if (x.find(text) != std::string::npos) return true;
    return false;
}

// Forgets what earlier cases left behind.
inline void forget_violations() { standin::kernel::take_violations(); }

// Fails the current case with every rule break recorded since the last take.
inline void expect_no_violations() {
    const auto v = standin::kernel::take_violations();
    EXPECT_TRUE(v.empty()) << joined(v);
}

}  // namespace zephtest
