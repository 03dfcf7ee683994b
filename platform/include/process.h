/* C runtime thread start and end, as the Windows C runtime has them. */
#ifndef WB_PROCESS_H
#define WB_PROCESS_H

#include <wbase.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the thread's handle (close it with CloseHandle), or 0 with errno set. */
uintptr_t __cdecl _beginthreadex(void *security, unsigned stack_size, unsigned(__stdcall *start_address)(void *),
                                 void *arglist, unsigned initflag, unsigned *thrdaddr);
DECLSPEC_NORETURN void __cdecl _endthreadex(unsigned retval);

#ifdef __cplusplus
}
#endif

#endif /* WB_PROCESS_H */
