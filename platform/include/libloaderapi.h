// Modules: the process image and the libraries the host has attached (host/process.h registers them).
#pragma once

#include <windef.h>

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

extern "C" {

// NULL names the process image. A buffer too small gets the path truncated and terminated, the result
// is nSize and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// NULL names the process image; otherwise a registered library by its file name (ERROR_MOD_NOT_FOUND).
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// Thread notifications are not delivered by the host, so this only records the wish.
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

} // extern "C"

#ifdef UNICODE
#define GetModuleFileName GetModuleFileNameW
#define GetModuleHandle GetModuleHandleW
#else
#define GetModuleFileName GetModuleFileNameA
#define GetModuleHandle GetModuleHandleA
#endif
