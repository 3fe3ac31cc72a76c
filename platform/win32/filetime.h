// FILETIME as one 64-bit count of 100 ns units since 1601-01-01 UTC.
#pragma once

#include <windef.h>

namespace host::files
{

inline FILETIME ToFileTime(ULONGLONG value)
{
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

inline ULONGLONG FromFileTime(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace host::files
