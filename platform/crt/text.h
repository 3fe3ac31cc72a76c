// The string algorithms of the runtime, once over the character type: the narrow functions (string.cpp)
// and the 16-bit wide ones (wide.cpp) are instances of these.
#pragma once

#include <errno.h>
#include <string.h>

#include <type_traits>

#include "runtime.h"

namespace wincrt {

template <typename Char>
size_t Length(const Char* s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n] != 0)
        n++;
    return n;
}

// The C locale's case folding, which on Windows touches ASCII letters only (in wide text too).
template <typename Char>
unsigned FoldCase(Char c)
{
    auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    return unit >= 'A' && unit <= 'Z' ? unit + ('a' - 'A') : unit;
}

template <typename Char>
unsigned Unit(Char c)
{
    return static_cast<std::make_unsigned_t<Char>>(c);
}

// Compares at most `count` characters, optionally folding case; units compare unsigned.
template <typename Char>
int Compare(const Char* a, const Char* b, size_t count, bool ignoreCase)
{
    for (size_t i = 0; i < count; i++) {
        unsigned x = ignoreCase ? FoldCase(a[i]) : Unit(a[i]);
        unsigned y = ignoreCase ? FoldCase(b[i]) : Unit(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            break;
    }
    return 0;
}

// _stricmp and _strnicmp: null strings are an invalid parameter.
template <typename Char>
int CompareIgnoringCase(const char16_t* function, const Char* a, const Char* b, size_t count)
{
    if (a == nullptr || b == nullptr) {
        InvalidParameter(function, EINVAL);
        return _NLSCMPERROR;
    }
    return Compare(a, b, count, true);
}

template <typename Char>
Char* Find(const Char* s, Char c)
{
    for (;; s++) {
        if (*s == c)
            return const_cast<Char*>(s);
        if (*s == 0)
            return nullptr;
    }
}

template <typename Char>
Char* FindLast(const Char* s, Char c)
{
    const Char* found = nullptr;
    for (;; s++) {
        if (*s == c)
            found = s;
        if (*s == 0)
            return const_cast<Char*>(found);
    }
}

template <typename Char>
Char* FindText(const Char* s, const Char* sub)
{
    size_t n = Length(sub, SIZE_MAX);
    for (; *s != 0 || n == 0; s++)
        if (Compare(s, sub, n, false) == 0)
            return const_cast<Char*>(s);
    return nullptr;
}

// The bounded copy and append behind strcpy_s, strncpy_s, strcat_s, strncat_s and their wide forms.
// `append` starts behind the destination's text; `count` limits the characters taken from `src`
// (SIZE_MAX for the unbounded forms, _TRUNCATE to cut instead of failing).
template <typename Char>
errno_t CopyBounded(const char16_t* function, Char* dest, size_t size, const Char* src, size_t count,
                    bool append, bool counted)
{
    if (counted && count == 0 && dest == nullptr && size == 0)
        return 0;
    if (dest == nullptr || size == 0)
        return InvalidParameter(function, EINVAL);
    size_t used = 0;
    if (append) {
        used = Length(dest, size);
        if (used == size) {
            dest[0] = 0;
            return InvalidParameter(function, EINVAL); // not terminated within its size
        }
    }
    if (counted && count == 0) {
        dest[used] = 0;
        return 0;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return InvalidParameter(function, EINVAL);
    }
    bool truncate = counted && count == _TRUNCATE;
    size_t take = Length(src, truncate ? SIZE_MAX : count);
    size_t room = size - used - 1;
    if (take > room) {
        if (!truncate) {
            dest[0] = 0;
            return InvalidParameter(function, ERANGE);
        }
        memcpy(dest + used, src, room * sizeof(Char));
        dest[used + room] = 0;
        return STRUNCATE;
    }
    memcpy(dest + used, src, take * sizeof(Char));
    dest[used + take] = 0;
    return 0;
}

// memcpy_s and wmemcpy_s (sizes in units): a null source or a short destination zeroes the destination.
template <typename Unit>
errno_t CopyMemory(const char16_t* function, Unit* dest, size_t size, const Unit* src, size_t count)
{
    if (count == 0)
        return 0;
    if (dest == nullptr)
        return InvalidParameter(function, EINVAL);
    if (src == nullptr || size < count) {
        memset(dest, 0, size * sizeof(Unit));
        return InvalidParameter(function, src == nullptr ? EINVAL : ERANGE);
    }
    memcpy(dest, src, count * sizeof(Unit));
    return 0;
}

} // namespace wincrt
