// catch (...) must let a thread's forced unwinding pass (glibc unwinds a cancelled or exiting thread).
#ifndef W32CPP_SRC_UNWIND_H
#define W32CPP_SRC_UNWIND_H

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#define W32CPP_PASS_FORCED_UNWIND                                                                              \
  catch (abi::__forced_unwind &) {                                                                             \
    throw;                                                                                                     \
  }
#else
#define W32CPP_PASS_FORCED_UNWIND
#endif

#endif
