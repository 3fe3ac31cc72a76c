// Conversions between 16-bit wide text and the code pages: UTF-8 and the ANSI code page, which is
// Windows-1252 on this host.
#pragma once

#include <windef.h>

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

extern "C" {

// Both return the units written, or with a zero output size the units needed; a source length of -1
// takes the text up to and including its terminator. 0 on failure, with the last error set:
// ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS, ERROR_INSUFFICIENT_BUFFER, or (with MB_ERR_INVALID_CHARS
// / WC_ERR_INVALID_CHARS) ERROR_NO_UNICODE_TRANSLATION for malformed UTF-8 or an unpaired surrogate.
// Without those flags, malformed input becomes U+FFFD as host/utf.h describes.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// For 1252, a character outside the code page becomes the default character (lpDefaultChar's first byte,
// or '?') and sets *lpUsedDefaultChar; UTF-8 takes neither pointer.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

} // extern "C"
