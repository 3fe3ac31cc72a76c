// Bounded string functions. A result that does not fit is truncated, terminated and reported with
// STATUS_BUFFER_OVERFLOW; a zero-sized or oversized destination is STATUS_INVALID_PARAMETER.
#pragma once

#include <stdarg.h>
#include <ntdef.h>

#define NTSTRSAFE_MAX_CCH 2147483647

extern "C" {

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyNA(PSTR pszDest, size_t cbDest, PCSTR pszSrc, size_t cbToCopy);
NTSTATUS RtlStringCchCopyNA(PSTR pszDest, size_t cchDest, PCSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy);
NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);

} // extern "C"
