// Text to integer and integer to text, with Windows' 32-bit long.
#include <errno.h>
#include <stdlib.h>

#include <climits>
#include <cstdint>

#include "text.h"

namespace wincrt {
namespace {

constexpr uint64_t kLongMax = INT32_MAX;
constexpr uint64_t kUlongMax = UINT32_MAX;

template <typename Char>
int DigitValue(Char c)
{
    unsigned u = Unit(c);
    if (u >= '0' && u <= '9')
        return u - '0';
    u = FoldCase(c);
    return u >= 'a' && u <= 'z' ? u - 'a' + 10 : 99;
}

template <typename Char>
struct Parsed {
    uint64_t magnitude = 0;
    bool negative = false;
    bool overflow = false; // the magnitude passed `limit`
    const Char* end;       // the first character not taken; the text itself when there were no digits
};

// Whitespace, a sign, a radix prefix (base 0 or 16), then digits while they are below the base.
template <typename Char>
Parsed<Char> Parse(const Char* text, int base, uint64_t limit)
{
    Parsed<Char> result{};
    result.end = text;
    const Char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '-' || *p == '+')
        result.negative = *p++ == '-';
    bool hexPrefix = p[0] == '0' && FoldCase(p[1]) == 'x' && DigitValue(p[2]) < 16;
    if ((base == 0 || base == 16) && hexPrefix) {
        base = 16;
        p += 2;
    } else if (base == 0) {
        base = *p == '0' ? 8 : 10;
    }
    const Char* digits = p;
    for (int d; (d = DigitValue(*p)) < base; p++) {
        if (result.magnitude > (limit - d) / base)
            result.overflow = true;
        else
            result.magnitude = result.magnitude * base + d;
    }
    if (p != digits)
        result.end = p;
    return result;
}

template <typename Char>
bool ValidBase(const char16_t* function, const Char* text, int base)
{
    if (text != nullptr && (base == 0 || (base >= 2 && base <= 36)))
        return true;
    InvalidParameter(function, EINVAL);
    return false;
}

template <typename Char>
void SetEnd(Char** end, const Char* value)
{
    if (end != nullptr)
        *end = const_cast<Char*>(value);
}

// strtol and its relatives over a signed 32-bit range (atoi's int and Windows' long are both 32 bits).
template <typename Char>
int32_t ToSigned(const char16_t* function, const Char* text, Char** end, int base)
{
    SetEnd(end, text);
    if (!ValidBase(function, text, base))
        return 0;
    Parsed<Char> parsed = Parse(text, base, kLongMax + 1);
    SetEnd(end, parsed.end);
    if (parsed.overflow || (!parsed.negative && parsed.magnitude > kLongMax)) {
        errno = ERANGE;
        return parsed.negative ? INT32_MIN : INT32_MAX;
    }
    return static_cast<int32_t>(parsed.negative ? -static_cast<int64_t>(parsed.magnitude) : parsed.magnitude);
}

template <typename Char>
uint32_t ToUnsigned(const char16_t* function, const Char* text, Char** end, int base)
{
    SetEnd(end, text);
    if (!ValidBase(function, text, base))
        return 0;
    Parsed<Char> parsed = Parse(text, base, kUlongMax);
    SetEnd(end, parsed.end);
    if (parsed.overflow) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    auto value = static_cast<uint32_t>(parsed.magnitude);
    return parsed.negative ? 0u - value : value;
}

template <typename Char>
errno_t ToText(const char16_t* function, uint64_t magnitude, bool negative, Char* buffer, size_t size,
               int radix)
{
    if (buffer == nullptr || size == 0)
        return InvalidParameter(function, EINVAL);
    buffer[0] = 0;
    if (radix < 2 || radix > 36)
        return InvalidParameter(function, EINVAL);
    Char digits[64];
    size_t count = 0;
    do {
        unsigned d = magnitude % radix;
        digits[count++] = static_cast<Char>(d < 10 ? '0' + d : 'a' + d - 10);
        magnitude /= radix;
    } while (magnitude != 0);
    if (count + negative + 1 > size)
        return InvalidParameter(function, ERANGE);
    Char* p = buffer;
    if (negative)
        *p++ = '-';
    while (count > 0)
        *p++ = digits[--count];
    *p = 0;
    return 0;
}

// A value's magnitude and sign as the radix shows it: signed in radix 10, two's complement otherwise.
template <typename Signed>
errno_t SignedToText(const char16_t* function, Signed value, auto* buffer, size_t size, int radix)
{
    using Unsigned = std::make_unsigned_t<Signed>;
    bool negative = radix == 10 && value < 0;
    Unsigned bits = static_cast<Unsigned>(value);
    return ToText(function, negative ? Unsigned(0) - bits : bits, negative, buffer, size, radix);
}

// The C library declares strtol, strtoul, atoi and atol as never taking null, which would let the
// compiler drop the runtime's null checks in their definitions; the text passes through here unseen.
const char* Unchecked(const char* text)
{
    asm("" : "+r"(text));
    return text;
}

} // namespace
} // namespace wincrt

using namespace wincrt;

extern "C" {

long strtol(const char* text, char** end, int base)
{
    return ToSigned(u"strtol", Unchecked(text), end, base);
}

unsigned long strtoul(const char* text, char** end, int base)
{
    return ToUnsigned(u"strtoul", Unchecked(text), end, base);
}

int atoi(const char* text) { return ToSigned<char>(u"atoi", Unchecked(text), nullptr, 10); }
long atol(const char* text) { return ToSigned<char>(u"atol", Unchecked(text), nullptr, 10); }

errno_t _itoa_s(int value, char* buffer, size_t size, int radix)
{
    return SignedToText(u"_itoa_s", value, buffer, size, radix);
}

errno_t _ultoa_s(uint32_t value, char* buffer, size_t size, int radix)
{
    return ToText(u"_ultoa_s", value, false, buffer, size, radix);
}

errno_t _i64toa_s(int64_t value, char* buffer, size_t size, int radix)
{
    return SignedToText(u"_i64toa_s", value, buffer, size, radix);
}

errno_t _ui64toa_s(uint64_t value, char* buffer, size_t size, int radix)
{
    return ToText(u"_ui64toa_s", value, false, buffer, size, radix);
}

} // extern "C"

namespace wincrt16 {

int32_t wcstol(const char16_t* text, char16_t** end, int base)
{
    return ToSigned(u"wcstol", text, end, base);
}

uint32_t wcstoul(const char16_t* text, char16_t** end, int base)
{
    return ToUnsigned(u"wcstoul", text, end, base);
}

int _wtoi(const char16_t* text) { return ToSigned<char16_t>(u"_wtoi", text, nullptr, 10); }
int32_t _wtol(const char16_t* text) { return ToSigned<char16_t>(u"_wtol", text, nullptr, 10); }

errno_t _itow_s(int value, char16_t* buffer, size_t size, int radix)
{
    return SignedToText(u"_itow_s", value, buffer, size, radix);
}

} // namespace wincrt16
