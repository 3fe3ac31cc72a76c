// The process environment and current directory, kept by the calling thread's process context.
#pragma once

#include <windef.h>

extern "C" {

// Not found: 0 and ERROR_ENVVAR_NOT_FOUND. Buffer too small: the size needed, terminator included.
// Otherwise the length copied, terminator excluded.
DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
// A null value deletes the variable.
BOOL SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
// %NAME% references replaced by their values (unknown names stay as written). Returns the size needed,
// terminator included.
DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
BOOL SetCurrentDirectoryW(LPCWSTR lpPathName);
BOOL SetCurrentDirectoryA(LPCSTR lpPathName);

} // extern "C"

#ifdef UNICODE
#define GetEnvironmentVariable GetEnvironmentVariableW
#define SetEnvironmentVariable SetEnvironmentVariableW
#define ExpandEnvironmentStrings ExpandEnvironmentStringsW
#define GetCurrentDirectory GetCurrentDirectoryW
#define SetCurrentDirectory SetCurrentDirectoryW
#else
#define GetEnvironmentVariable GetEnvironmentVariableA
#define SetEnvironmentVariable SetEnvironmentVariableA
#define GetCurrentDirectory GetCurrentDirectoryA
#define SetCurrentDirectory SetCurrentDirectoryA
#endif
