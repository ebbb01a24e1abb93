// Base types of the Windows API for the Linux build of the platform layer.
// Widths follow Windows (LLP64): LONG, ULONG, DWORD, BOOL and INT are 32-bit
// also where the Linux "long" is 64-bit. Text is UTF-16: WCHAR and OLECHAR are
// char16_t, and OLESTR("...") writes a UTF-16 literal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KELMYR_EXTERN_C extern "C"
#define KELMYR_EXTERN_C_BEGIN extern "C" {
#define KELMYR_EXTERN_C_END }
#else
#define KELMYR_EXTERN_C extern
#define KELMYR_EXTERN_C_BEGIN
#define KELMYR_EXTERN_C_END
#endif

// Calling conventions are meaningless on x86-64 Linux; the names keep
// declarations written for Windows compiling unchanged.
#define WINAPI
#define APIENTRY
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPIV
#define CONST const
#define VOID void
#define FAR
#define NEAR
#define IN
#define OUT
#define OPTIONAL
#define DECLSPEC_NOTHROW
#define WINBASEAPI KELMYR_EXTERN_C
#define WINADVAPI KELMYR_EXTERN_C
#define WINOLEAPI KELMYR_EXTERN_C HRESULT
#define WINOLEAPI_(type) KELMYR_EXTERN_C type
#define WINOLEAUTAPI KELMYR_EXTERN_C HRESULT
#define WINOLEAUTAPI_(type) KELMYR_EXTERN_C type
#define STDAPI KELMYR_EXTERN_C HRESULT
#define STDAPI_(type) KELMYR_EXTERN_C type
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define PURE = 0

typedef void *PVOID, *LPVOID;
typedef const void* LPCVOID;
typedef int8_t CHAR_SIGNED;
typedef char CHAR;
typedef uint8_t BYTE, UCHAR, BOOLEAN;
typedef BYTE *PBYTE, *LPBYTE;
typedef int16_t SHORT;
typedef uint16_t WORD, USHORT;
typedef int32_t LONG, INT, BOOL, INT32;
typedef uint32_t DWORD, ULONG, UINT, UINT32;
typedef int64_t LONGLONG, LONG64, INT64;
typedef uint64_t ULONGLONG, ULONG64, DWORD64, UINT64;
typedef intptr_t INT_PTR, LONG_PTR, SSIZE_T;
typedef uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T;
typedef DWORD *PDWORD, *LPDWORD;
typedef LONG *PLONG, *LPLONG;
typedef ULONG* PULONG;
typedef BOOL *PBOOL, *LPBOOL;
typedef float FLOAT;
typedef double DOUBLE;

typedef char16_t WCHAR;
typedef WCHAR *PWSTR, *LPWSTR, *PWCHAR;
typedef const WCHAR *PCWSTR, *LPCWSTR;
typedef CHAR *PSTR, *LPSTR;
typedef const CHAR *PCSTR, *LPCSTR;

typedef LONG HRESULT;
typedef LONG SCODE;
typedef DWORD LCID;
typedef WORD LANGID;

typedef void* HANDLE;
typedef HANDLE *PHANDLE, *LPHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef INT_PTR(WINAPI* FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define UNREFERENCED_PARAMETER(P) (void)(P)
