// Overlapped requests finished with a deadline, instead of GetOverlappedResult's wait without limit.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "zephtest/wait.h"

namespace zephtest {

// GetOverlappedResult(h, &o, n, FALSE) once o's event is signalled and the request has ended (the
// event may be shared with requests that ended before). The deadline is measured on the real clock,
// in short waits that a test's scaling of the platform's long waits leaves alone. A request that does
// not end in time fails the case and is cancelled, so that it writes nothing after the case; the call
// then fails with ERROR_IO_INCOMPLETE.
inline BOOL finish(HANDLE h, OVERLAPPED& o, DWORD* n, std::chrono::milliseconds deadline = default_deadline) {
    auto ended = [&] { return WaitForSingleObject(o.hEvent, 50) == WAIT_OBJECT_0 && HasOverlappedIoCompleted(&o); };
    if (!wait_until(ended, deadline, std::chrono::milliseconds(0))) {
        ADD_FAILURE() << "the request did not end within " << deadline.count() << " ms";
        if (!CancelIoEx(h, &o)) CancelIo(h);
        wait_until(ended, std::chrono::milliseconds(1000), std::chrono::milliseconds(0));
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    return GetOverlappedResult(h, &o, n, FALSE);
}

}  // namespace zephtest
