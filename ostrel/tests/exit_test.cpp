// A client process that exits while its threads use the pool (the poolexit tool, the same program the
// Windows builds run under Wine): at its exit the platform stops those threads wherever they stand,
// perhaps holding a lock of the pool, and then detaches the library with the process-exit flag.
#include <gtest/gtest.h>

#include <string>

#include "zephtest/child.h"

namespace {

// Each run ends within its deadline, with status 0 and the probe's own lines (so it did run): its
// threads were stopped at the exit wherever they stood, and neither the exiting thread's end (its
// fiber-local callback runs then) nor the library's detach waited for any of them, whether a client still held the pool (its loader) or the library's end was its last use
// (a client of the factory's handle alone). The probe also checks that a block taken and given back
// leaves the last error alone.
TEST(PoolExit, AProcessThatExitsWhileItsThreadsUseThePoolEndsAtOnce) {
  for (int run = 1; run <= 10; ++run) {
    const char* mode = run % 2 ? "loader" : "factory";
    const zephtest::child_result r = zephtest::run_child(POOLEXIT_PATH, {"16", "200", mode});
    ASSERT_TRUE(r.ended) << "run " << run << " (" << mode << ") did not end within the deadline:\n" << r.output;
    ASSERT_EQ(r.status, 0) << "run " << run << " (" << mode << "):\n" << r.output;
    // Nor did the exit meet a lock of a stopped thread (Windows would end the process there).
    EXPECT_EQ(r.output.find("critical section held by a stopped thread"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("poolexit: the last error survives the pool"), std::string::npos) << r.output;
    ASSERT_NE(r.output.find("poolexit: 16 threads use the pool, exiting"), std::string::npos) << r.output;
  }
}

}  // namespace
