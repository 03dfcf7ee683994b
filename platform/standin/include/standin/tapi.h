// Test control of the telephony stand-in: messages a real service may send that the simulated
// modems never cause on their own, and what it hands back in its variable-size structures, changed at
// will (sizes, offsets and bytes pointing anywhere), as a faulty service might.
#ifndef STANDIN_TAPI_H
#define STANDIN_TAPI_H

#include <windows.h>

#include <functional>

namespace standin::tapi {

// Posts a LINE_CALLSTATE (state, detail) for every call that stands now; the call takes that state.
void post_call_state(DWORD state, DWORD detail);
// The next LINE_REPLY of any line comes right after one for another request (request, result).
void reply_for_another_request_first(LONG request, LONG result);

// Called when a line function that fills a caller's structure succeeds, with the function's name
// ("lineGetDevCapsA", "lineGetAddressCapsA", "lineGetAddressStatusA", "lineGetCallStatus",
// "lineGetDevConfigA", "lineGetIDA"), the structure and its dwTotalSize. It may rewrite any of those
// bytes; the return value replaces the function's. An empty function removes the hook.
using structure_hook = std::function<LONG(const char *function, void *structure, DWORD total_size, LONG result)>;
void set_structure_hook(structure_hook hook);

}  // namespace standin::tapi

#endif
