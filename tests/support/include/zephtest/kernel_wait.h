// A kernel wait with a deadline, for the tests and the test driver: a wait that would have no
// time-out ends with STATUS_TIMEOUT instead of hanging the case.
#pragma once

#include <wdm.h>

#include "zephtest/wait.h"

namespace zephtest {

// KeWaitForSingleObject (PASSIVE_LEVEL) within the deadline, measured on the real clock: in short
// relative time-outs, which a test's scaling of the platform's long waits leaves alone.
inline NTSTATUS ke_wait(PVOID object, std::chrono::milliseconds deadline = default_deadline) {
    LARGE_INTEGER slice;
    slice.QuadPart = -50LL * 10000;  // 50 ms
    NTSTATUS st = STATUS_TIMEOUT;
    wait_until(
        [&] { return (st = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &slice)) != STATUS_TIMEOUT; },
        deadline, std::chrono::milliseconds(0));
    return st;
}

}  // namespace zephtest
