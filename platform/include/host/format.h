// The host's one formatter with Windows semantics, behind traces, DbgPrint, the RtlString*Printf
// functions and the Win32 _vsnprintf family.
//
// Conversions d i u x X o c C s S Z p % e E f F g G a A, flags - + space # 0, width and precision
// (also as *). Size prefixes keep their Windows meanings: h short (narrow with c/s), hh char, l 32 bits
// (wide with c/s/Z), ll, I, I64, z, j, t 64 bits, I32 32 bits, L long double, w wide (with c/s/Z).
// %s and %c follow the format's width, %S and %C take the other width; %Z is an ANSI_STRING*, %wZ a
// UNICODE_STRING* (counted). A NULL string or counted string prints "(null)". %p prints 16 upper-case
// hex digits. %n, an unknown conversion and a format ending inside a conversion refuse the whole call.
// Floating-point digits come from the C library; everything around them is ours.
//
// Wide text written into a narrow output becomes UTF-8 and narrow text in a wide output is read as
// UTF-8 (see host/utf.h for malformed input). A string's precision counts units of its source; width
// counts units of the output.
//
// With FormatOptions::wpp the WPP extensions are accepted: %!FUNC! (FormatOptions::function),
// %!STATUS! and %!HRESULT! (a 32-bit value as 0x%08X), %!GUID! (a GUID*), %!bool! (false/true),
// %!BOOLEAN! (FALSE/TRUE), %!IPADDR! (a ULONG holding the address in network order) and %!MACADDR!
// (a pointer to six bytes).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace host {

struct FormatOptions {
    bool wpp = false;
    const char* function = nullptr; // what %!FUNC! prints
};

// Returned when the format is refused; the output then holds an empty string.
inline constexpr size_t kFormatRefused = SIZE_MAX;

// Formats into `out`, which holds `capacity` units including the terminator (0 with a null `out`
// measures only). Writes as much as fits, always terminated when capacity > 0, and returns the length
// of the complete text without the terminator, or kFormatRefused.
size_t FormatV(char* out, size_t capacity, const char* format, va_list args, const FormatOptions& options = {});
size_t FormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args,
               const FormatOptions& options = {});

} // namespace host
