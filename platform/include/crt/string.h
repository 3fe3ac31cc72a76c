// The Windows runtime's string functions (see corecrt.h for how these headers work).
//
// The bounded (_s) functions validate first: a null or empty destination, or a null source, is an
// invalid parameter (EINVAL); text that does not fit is an invalid parameter too (ERANGE), except with
// _TRUNCATE, which keeps what fits and returns STRUNCATE. After an error the destination holds an empty
// string (memcpy_s zeroes it). Errors go through the invalid-parameter handler (stdlib.h), then set errno
// and are returned.
#pragma once

#include_next <string.h>

#include <corecrt.h>

extern "C" {

errno_t strcpy_s(char* dest, rsize_t size, const char* src);
errno_t strncpy_s(char* dest, rsize_t size, const char* src, rsize_t count);
errno_t strcat_s(char* dest, rsize_t size, const char* src);
errno_t strncat_s(char* dest, rsize_t size, const char* src, rsize_t count);
errno_t memcpy_s(void* dest, rsize_t size, const void* src, rsize_t count);
errno_t memmove_s(void* dest, rsize_t size, const void* src, rsize_t count);

// Compare without regard to ASCII letter case; a null string returns _NLSCMPERROR.
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);

// The next token of `str` (or, with a null `str`, of the text `*context` keeps).
char* strtok_s(char* str, const char* delimiters, char** context);

// The runtime's text for an error number, cut to fit.
errno_t strerror_s(char* buffer, size_t size, int errnum);

} // extern "C"

namespace wincrt16 {

// 16-bit wide strings.
size_t wcslen(const char16_t* s);
size_t wcsnlen(const char16_t* s, size_t max);
int wcscmp(const char16_t* a, const char16_t* b);
int wcsncmp(const char16_t* a, const char16_t* b, size_t count);
int _wcsicmp(const char16_t* a, const char16_t* b);
int _wcsnicmp(const char16_t* a, const char16_t* b, size_t count);
const char16_t* wcschr(const char16_t* s, char16_t c);
char16_t* wcschr(char16_t* s, char16_t c);
const char16_t* wcsrchr(const char16_t* s, char16_t c);
char16_t* wcsrchr(char16_t* s, char16_t c);
const char16_t* wcsstr(const char16_t* s, const char16_t* sub);
char16_t* wcsstr(char16_t* s, const char16_t* sub);
char16_t* wmemset(char16_t* dest, char16_t c, size_t count);
char16_t* wmemcpy(char16_t* dest, const char16_t* src, size_t count);
errno_t wcscpy_s(char16_t* dest, rsize_t size, const char16_t* src);
errno_t wcsncpy_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count);
errno_t wcscat_s(char16_t* dest, rsize_t size, const char16_t* src);
errno_t wcsncat_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count);
errno_t wmemcpy_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count);

} // namespace wincrt16

// The C++ forms that take the size from an array.
template <size_t N>
errno_t strcpy_s(char (&dest)[N], const char* src)
{
    return strcpy_s(dest, N, src);
}

template <size_t N>
errno_t strncpy_s(char (&dest)[N], const char* src, rsize_t count)
{
    return strncpy_s(dest, N, src, count);
}

template <size_t N>
errno_t strcat_s(char (&dest)[N], const char* src)
{
    return strcat_s(dest, N, src);
}

namespace wincrt16 {

template <size_t N>
errno_t wcscpy_s(char16_t (&dest)[N], const char16_t* src)
{
    return wcscpy_s(dest, N, src);
}

template <size_t N>
errno_t wcsncpy_s(char16_t (&dest)[N], const char16_t* src, rsize_t count)
{
    return wcsncpy_s(dest, N, src, count);
}

template <size_t N>
errno_t wcscat_s(char16_t (&dest)[N], const char16_t* src)
{
    return wcscat_s(dest, N, src);
}

} // namespace wincrt16
