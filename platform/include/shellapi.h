/* Shell helpers: splitting a command line into arguments. */
#ifndef WB_SHELLAPI_H
#define WB_SHELLAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One LocalAlloc block (free it with LocalFree): the pointers, then the strings. */
LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs);

#ifdef __cplusplus
}
#endif

#endif /* WB_SHELLAPI_H */
