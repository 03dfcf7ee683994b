// Test control of the telephony stand-in: messages a real service may send that the simulated
// modems never cause on their own.
#ifndef STANDIN_TAPI_H
#define STANDIN_TAPI_H

#include <windows.h>

namespace standin::tapi {

// Posts a LINE_CALLSTATE (state, detail) for every call that stands now; the call takes that state.
void post_call_state(DWORD state, DWORD detail);
// The next LINE_REPLY of any line comes right after one for another request (request, result).
void reply_for_another_request_first(LONG request, LONG result);

}  // namespace standin::tapi

#endif
