// Win32 time: the system time from the host clock (KeQuerySystemTime), local time through the host's
// fixed time-zone bias, and the FILETIME/SYSTEMTIME conversions with Windows' field checks.
#include <windows.h>

#include <host/timezone.h>
#include <wdm.h>

#include <atomic>

#include "filetime.h"

namespace
{

using host::files::FromFileTime;
using host::files::ToFileTime;

constexpr ULONGLONG kTicksPerMillisecond = 10000;
constexpr ULONGLONG kTicksPerMinute = 60 * 1000 * kTicksPerMillisecond;
constexpr ULONGLONG kTicksPerDay = 24 * 60 * kTicksPerMinute;
// FileTimeToSystemTime refuses values with the top bit set, as Windows does.
constexpr ULONGLONG kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;

std::atomic<LONG> g_bias{0};

bool IsLeap(ULONGLONG year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

ULONGLONG DaysInMonth(ULONGLONG year, ULONGLONG month)
{
    static constexpr unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days since 1601-01-01 (a Monday) of the first day of `year`.
ULONGLONG DaysBeforeYear(ULONGLONG year)
{
    ULONGLONG y = year - 1601;
    return y * 365 + y / 4 - y / 100 + y / 400;
}

SYSTEMTIME ToSystemTime(ULONGLONG ticks)
{
    SYSTEMTIME st{};
    ULONGLONG days = ticks / kTicksPerDay;
    ULONGLONG rest = ticks % kTicksPerDay;
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);
    ULONGLONG year = 1601 + days / 366; // never past the year, then step forward
    while (DaysBeforeYear(year + 1) <= days)
        year++;
    days -= DaysBeforeYear(year);
    ULONGLONG month = 1;
    while (days >= DaysInMonth(year, month))
        days -= DaysInMonth(year, month++);
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(days + 1);
    st.wHour = static_cast<WORD>(rest / (60 * kTicksPerMinute));
    st.wMinute = static_cast<WORD>(rest / kTicksPerMinute % 60);
    st.wSecond = static_cast<WORD>(rest / (1000 * kTicksPerMillisecond) % 60);
    st.wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond % 1000);
    return st;
}

ULONGLONG SystemNow()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONGLONG>(now.QuadPart);
}

LONGLONG BiasTicks()
{
    return static_cast<LONGLONG>(g_bias.load()) * static_cast<LONGLONG>(kTicksPerMinute);
}

// Local time = UTC - bias; false when the result leaves the FILETIME range.
bool Shift(ULONGLONG value, LONGLONG delta, ULONGLONG* result)
{
    LONGLONG shifted;
    if (value > kMaxFileTime || __builtin_add_overflow(static_cast<LONGLONG>(value), delta, &shifted) ||
        shifted < 0)
        return false;
    *result = static_cast<ULONGLONG>(shifted);
    return true;
}

BOOL Converted(bool ok, ULONGLONG value, LPFILETIME out)
{
    if (!ok || out == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = ToFileTime(value);
    return TRUE;
}

} // namespace

namespace host
{

void TimeZoneSetBias(LONG minutes)
{
    g_bias.store(minutes);
}

LONG TimeZoneBias()
{
    return g_bias.load();
}

} // namespace host

extern "C" {

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    *lpSystemTimeAsFileTime = ToFileTime(SystemNow());
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    *lpSystemTime = ToSystemTime(SystemNow());
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    ULONGLONG local = 0;
    Shift(SystemNow(), -BiasTicks(), &local);
    *lpSystemTime = ToSystemTime(local);
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime)
{
    ULONGLONG local = 0;
    bool ok = lpFileTime != nullptr && Shift(FromFileTime(*lpFileTime), -BiasTicks(), &local);
    return Converted(ok, local, lpLocalFileTime);
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime)
{
    ULONGLONG utc = 0;
    bool ok = lpLocalFileTime != nullptr && Shift(FromFileTime(*lpLocalFileTime), BiasTicks(), &utc);
    return Converted(ok, utc, lpFileTime);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (lpFileTime == nullptr || lpSystemTime == nullptr || FromFileTime(*lpFileTime) > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpSystemTime = ToSystemTime(FromFileTime(*lpFileTime));
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    const SYSTEMTIME* st = lpSystemTime;
    // The day of the week is not looked at, as on Windows.
    bool valid = st != nullptr && st->wYear >= 1601 && st->wYear <= 30827 && st->wMonth >= 1 &&
                 st->wMonth <= 12 && st->wDay >= 1 && st->wDay <= DaysInMonth(st->wYear, st->wMonth) &&
                 st->wHour < 24 && st->wMinute < 60 && st->wSecond < 60 && st->wMilliseconds < 1000;
    ULONGLONG value = 0;
    if (valid) {
        ULONGLONG days = DaysBeforeYear(st->wYear);
        for (WORD month = 1; month < st->wMonth; month++)
            days += DaysInMonth(st->wYear, month);
        days += st->wDay - 1;
        value = days * kTicksPerDay + st->wHour * 60 * kTicksPerMinute + st->wMinute * kTicksPerMinute +
                (st->wSecond * 1000ULL + st->wMilliseconds) * kTicksPerMillisecond;
    }
    return Converted(valid, value, lpFileTime);
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation)
{
    if (lpTimeZoneInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    static constexpr char16_t kStandard[] = u"Host Standard Time";
    static constexpr char16_t kDaylight[] = u"Host Daylight Time";
    TIME_ZONE_INFORMATION info{};
    info.Bias = g_bias.load();
    memcpy(info.StandardName, kStandard, sizeof(kStandard));
    memcpy(info.DaylightName, kDaylight, sizeof(kDaylight));
    *lpTimeZoneInformation = info;
    return TIME_ZONE_ID_UNKNOWN; // no daylight saving: the zone has no transition dates
}

} // extern "C"
