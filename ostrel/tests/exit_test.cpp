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
  // 20 runs with 16 threads, then 10 with 32, more than the pool has slots (as under Wine).
  for (int run = 1; run <= 30; ++run) {
    const char* mode = run % 2 ? "loader" : "factory";
    const std::string threads = run <= 20 ? "16" : "32";
    SCOPED_TRACE("run " + std::to_string(run) + ", " + threads + " threads (" + mode + ")");
    const zephtest::child_result r = zephtest::run_child(POOLEXIT_PATH, {threads, "200", mode});
    ASSERT_TRUE(r.ended) << "it did not end within the deadline:\n" << r.output;
    ASSERT_EQ(r.status, 0) << r.output;
    // Nor did the exit meet a lock of a stopped thread (Windows would end the process there).
    ASSERT_EQ(r.output.find("critical section held by a stopped thread"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("poolexit: the last error survives the pool"), std::string::npos) << r.output;
    ASSERT_NE(r.output.find("poolexit: " + threads + " threads use the pool, exiting"), std::string::npos)
        << r.output;
  }
}

}  // namespace
