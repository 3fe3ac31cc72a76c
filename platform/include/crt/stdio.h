// Formatted output with the Windows runtime's semantics (see corecrt.h for how these headers work).
//
// Every function here and the C library's printf, fprintf, vfprintf, vprintf, sprintf, vsprintf,
// snprintf and vsnprintf (defined by `wincrt`) format with the host's Windows formatter: `l` is 32 bits,
// %S and %ls take 16-bit wide text, I64 and friends are sizes. A null format or buffer, and a format the
// formatter refuses (%n, an unknown conversion), go to the invalid-parameter handler and return -1.
#pragma once

#include_next <stdio.h>

#include <corecrt.h>
#include <stdarg.h>
#include <stdio_file.h>

extern "C" {

// Length of the formatted text without its terminator.
int _vscprintf(const char* format, va_list args);
int _scprintf(const char* format, ...);

// Writes at most `count` characters. Text shorter than `count` is terminated and its length returned;
// text of exactly `count` is written without a terminator and its length returned; longer text is cut
// to `count` characters without a terminator and -1 returned. A null buffer with count 0 measures.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _snprintf(char* buffer, size_t count, const char* format, ...);

// Writes at most `count` characters (or, with _TRUNCATE, as many as fit) and always terminates. Text cut
// by `count` or _TRUNCATE returns -1; text that does not fit in `size` otherwise is an invalid parameter
// (ERANGE, empty buffer, -1).
int _vsnprintf_s(char* buffer, size_t size, size_t count, const char* format, va_list args);
int _snprintf_s(char* buffer, size_t size, size_t count, const char* format, ...);

// Text that does not fit is an invalid parameter: the buffer is emptied, errno is ERANGE, -1.
int vsprintf_s(char* buffer, size_t size, const char* format, va_list args);
int sprintf_s(char* buffer, size_t size, const char* format, ...);

} // extern "C"

namespace wincrt16 {

// The 16-bit wide forms, with the same rules in units.
int _vscwprintf(const char16_t* format, va_list args);
int _scwprintf(const char16_t* format, ...);
int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
int _snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...);
int _vsnwprintf_s(char16_t* buffer, size_t size, size_t count, const char16_t* format, va_list args);
int _snwprintf_s(char16_t* buffer, size_t size, size_t count, const char16_t* format, ...);
int vswprintf_s(char16_t* buffer, size_t size, const char16_t* format, va_list args);
int swprintf_s(char16_t* buffer, size_t size, const char16_t* format, ...);

} // namespace wincrt16

// The C++ forms that take the size from an array.
template <size_t N>
int vsprintf_s(char (&buffer)[N], const char* format, va_list args)
{
    return vsprintf_s(buffer, N, format, args);
}

template <size_t N, typename... Args>
int sprintf_s(char (&buffer)[N], const char* format, Args... args)
{
    return sprintf_s(buffer, N, format, args...);
}

template <size_t N, typename... Args>
int _snprintf_s(char (&buffer)[N], size_t count, const char* format, Args... args)
{
    return _snprintf_s(buffer, N, count, format, args...);
}

namespace wincrt16 {

template <size_t N, typename... Args>
int swprintf_s(char16_t (&buffer)[N], const char16_t* format, Args... args)
{
    return swprintf_s(buffer, N, format, args...);
}

template <size_t N, typename... Args>
int _snwprintf_s(char16_t (&buffer)[N], size_t count, const char16_t* format, Args... args)
{
    return _snwprintf_s(buffer, N, count, format, args...);
}

} // namespace wincrt16
