// The Windows runtime's conversions and its invalid-parameter handler (see corecrt.h for how these
// headers work).
//
// `wincrt` also defines the C library's atoi, atol, strtol and strtoul with the Windows widths: long is
// 32 bits, so a value out of the 32-bit range saturates (LONG_MAX, LONG_MIN, 0xFFFFFFFF) and sets
// ERANGE, and a negative strtoul wraps within 32 bits.
#pragma once

#include_next <stdlib.h>

#include <corecrt.h>

// Called by a runtime function that finds an invalid parameter; when it returns, the function returns its
// error. `function` names the runtime function; `expression` and `file` are null and `line` 0, as a
// release runtime passes them.
//
// Without a handler installed, a Windows process ends at an invalid parameter. Here the host's verifier
// reports Check::InvalidParameter instead (which fails the test that caused it) and the function then
// returns its error, so a test can expect the report and check the result.
typedef void (*_invalid_parameter_handler)(const char16_t* expression, const char16_t* function,
                                           const char16_t* file, unsigned int line, uintptr_t reserved);

extern "C" {

// Installs a handler for this image's runtime (null restores the default); returns the previous one.
_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler);
_invalid_parameter_handler _get_invalid_parameter_handler(void);

// Integer to text in a radix from 2 to 36 (lower-case digits). A '-' is written only for radix 10; other
// radixes show a negative value's two's complement.
errno_t _itoa_s(int value, char* buffer, size_t size, int radix);
errno_t _ultoa_s(uint32_t value, char* buffer, size_t size, int radix);
errno_t _i64toa_s(int64_t value, char* buffer, size_t size, int radix);
errno_t _ui64toa_s(uint64_t value, char* buffer, size_t size, int radix);

} // extern "C"

namespace wincrt16 {

// 16-bit wide forms; long is 32 bits here too.
int32_t wcstol(const char16_t* text, char16_t** end, int base);
uint32_t wcstoul(const char16_t* text, char16_t** end, int base);
int _wtoi(const char16_t* text);
int32_t _wtol(const char16_t* text);
errno_t _itow_s(int value, char16_t* buffer, size_t size, int radix);

} // namespace wincrt16

template <size_t N>
errno_t _itoa_s(int value, char (&buffer)[N], int radix)
{
    return _itoa_s(value, buffer, N, radix);
}

namespace wincrt16 {

template <size_t N>
errno_t _itow_s(int value, char16_t (&buffer)[N], int radix)
{
    return _itow_s(value, buffer, N, radix);
}

} // namespace wincrt16
