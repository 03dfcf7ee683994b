/* Wide-character process, path and file calls of the stand-in: the command line, environment, full
   path names, file search and deletion, code-page conversion, and the windowed program's entry.
   Included by windows.h. Wide text is the compiler's wchar_t; the "ANSI" code page is UTF-8. */
#ifndef WB_WIDE_H
#define WB_WIDE_H

#include <wbase.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

/* The whole command line, program name first (quoted when it holds a space). */
LPSTR WINAPI GetCommandLineA(void);
LPWSTR WINAPI GetCommandLineW(void);

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *lpFilePart);
/* C:\WINDOWS, as GetWindowsDirectoryA. */
UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  struct _FILETIME ftCreationTime;
  struct _FILETIME ftLastAccessTime;
  struct _FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

/* Wildcards (* and ?) in the last component, matched without regard to case. */
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
/* A read-only file is not deleted (ERROR_ACCESS_DENIED), as on Windows. */
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);

/* The entry point of a windowed program: the platform's startup calls it with the command-line tail. */
int WINAPI WinMain(struct HINSTANCE__ *hInstance, struct HINSTANCE__ *hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

#ifdef __cplusplus
}
#endif

#endif /* WB_WIDE_H */
