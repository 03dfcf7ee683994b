/* Path helpers. */
#ifndef WB_SHLWAPI_H
#define WB_SHLWAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Removes "." and ".." components; pszBuf holds MAX_PATH characters. */
BOOL WINAPI PathCanonicalizeW(LPWSTR pszBuf, LPCWSTR pszPath);

#ifdef __cplusplus
}
#endif

#endif /* WB_SHLWAPI_H */
