/* File version information (version.dll): the fixed part of a file's version resource. */
#ifndef WB_WINVER_H
#define WB_WINVER_H

#include <wbase.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VS_FFI_SIGNATURE 0xFEEF04BDL

typedef struct tagVS_FIXEDFILEINFO {
  DWORD dwSignature; /* VS_FFI_SIGNATURE */
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID *lplpBuffer, PUINT puLen);

#ifdef __cplusplus
}
#endif

#endif /* WB_WINVER_H */
