/* Base types shared by the user-mode and kernel-mode headers of the Linux stand-in.
   Sizes follow Windows: LONG, ULONG and DWORD are 32 bits on every build. */
#ifndef WBASE_H
#define WBASE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define WB_EXTERN_C extern "C"
#else
#define WB_EXTERN_C extern
#endif

/* Calling conventions mean nothing on x86-64 Linux. */
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __fastcall
#define __fastcall
#endif
#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#define NTAPI
#define FASTCALL
#define STDMETHODCALLTYPE
#define WINBASEAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))

/* __declspec(x) maps onto the GCC attribute that does the same job. */
#define __declspec(x) __wb_declspec_##x
#define __wb_declspec_dllexport __attribute__((visibility("default")))
#define __wb_declspec_dllimport
#define __wb_declspec_noinline __attribute__((noinline))
#define __wb_declspec_noreturn __attribute__((noreturn))
#define __wb_declspec_novtable
#define __wb_declspec_selectany __attribute__((weak))
#define __wb_declspec_thread __thread

#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void

typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID, *PCVOID;
typedef char CHAR, *PCHAR, *LPCH, *PCH;
typedef unsigned char UCHAR, *PUCHAR;
typedef unsigned char BYTE, *PBYTE, *LPBYTE;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef unsigned short WORD, *PWORD, *LPWORD;
typedef int INT, *PINT, *LPINT;
typedef unsigned int UINT, *PUINT;
typedef int LONG, *PLONG, *LPLONG;
typedef unsigned int ULONG, *PULONG;
typedef unsigned int DWORD, *PDWORD, *LPDWORD;
typedef int BOOL, *PBOOL, *LPBOOL;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef uint64_t DWORDLONG, DWORD64, ULONG64, UINT64;
typedef int64_t LONG64, INT64;
typedef uint32_t DWORD32, ULONG32, UINT32;
typedef int32_t LONG32, INT32;
typedef uint16_t UINT16;
typedef uint8_t UINT8;
typedef int8_t INT8;
typedef int16_t INT16;
typedef float FLOAT;
typedef double DOUBLE;

typedef intptr_t INT_PTR, *PINT_PTR;
typedef uintptr_t UINT_PTR, *PUINT_PTR;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef uintptr_t DWORD_PTR, *PDWORD_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef intptr_t SSIZE_T;

typedef char *PSTR, *LPSTR, *NPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;

/* User-mode WCHAR is the compiler's wchar_t; the kernel side decides its own 16-bit width. */
#ifndef WB_WCHAR_DEFINED
#define WB_WCHAR_DEFINED
typedef wchar_t WCHAR, *PWCHAR, *LPWCH, *PWCH;
typedef wchar_t *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR;
#endif

typedef void *HANDLE, **PHANDLE, **LPHANDLE;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void *)0)
#endif
#endif

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif
typedef GUID *LPGUID, *PGUID;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

typedef LONG NTSTATUS, *PNTSTATUS;

#define MAKEWORD(a, b) ((WORD)(((BYTE)((DWORD_PTR)(a) & 0xff)) | ((WORD)((BYTE)((DWORD_PTR)(b) & 0xff))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)((DWORD_PTR)(a) & 0xffff)) | ((DWORD)((WORD)((DWORD_PTR)(b) & 0xffff))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w) & 0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))

#define MAX_PATH 260

#endif /* WBASE_H */
