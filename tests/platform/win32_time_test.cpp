// Win32 time: conversions with Windows' field checks, the fixed time-zone bias, and the clock.
#include <gtest/gtest.h>

#include <host/timezone.h>
#include <wdm.h>
#include <windows.h>

namespace
{

ULONGLONG Value(const FILETIME& time)
{
    return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME Time(ULONGLONG value)
{
    return FILETIME{DWORD(value), DWORD(value >> 32)};
}

TEST(TimeTest, SystemTimeAndFileTimeRoundTrip)
{
    struct Case {
        SYSTEMTIME st; // wDayOfWeek as FileTimeToSystemTime gives it
        ULONGLONG value;
    } cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ULL},
        {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ULL},
        {{2025, 11, 4, 27, 8, 30, 15, 250}, 134087058152500000ULL},
        {{9999, 12, 5, 31, 23, 59, 59, 999}, 2650467743999990000ULL},
    };
    for (const Case& c : cases) {
        FILETIME ft;
        ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft)) << c.st.wYear;
        EXPECT_EQ(Value(ft), c.value) << c.st.wYear;
        SYSTEMTIME back;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(memcmp(&back, &c.st, sizeof(back)), 0) << c.st.wYear;
    }
}

TEST(TimeTest, RefusesInvalidFields)
{
    SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0},   {1900, 2, 0, 29, 0, 0, 0, 0},
        {2024, 0, 0, 1, 0, 0, 0, 0},   {2024, 13, 0, 1, 0, 0, 0, 0},   {2024, 4, 0, 31, 0, 0, 0, 0},
        {2024, 1, 0, 0, 0, 0, 0, 0},   {2024, 1, 0, 1, 24, 0, 0, 0},   {2024, 1, 0, 1, 0, 60, 0, 0},
        {2024, 1, 0, 1, 0, 0, 60, 0},  {2024, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const SYSTEMTIME& st : bad) {
        FILETIME ft;
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    SYSTEMTIME leap{2024, 2, 0, 29, 0, 0, 0, 0};
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft)); // the day of the week is not checked
    FILETIME high = Time(0x8000000000000000ULL);
    SYSTEMTIME st;
    EXPECT_FALSE(FileTimeToSystemTime(&high, &st));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(TimeTest, LocalTimeAppliesTheFixedBias)
{
    host::TimeZoneSetBias(-120); // two hours east of UTC
    TIME_ZONE_INFORMATION zone;
    EXPECT_EQ(GetTimeZoneInformation(&zone), DWORD(TIME_ZONE_ID_UNKNOWN));
    EXPECT_EQ(zone.Bias, -120);
    EXPECT_EQ(zone.DaylightBias, 0);

    const ULONGLONG hour = 36000000000ULL;
    FILETIME utc = Time(1000 * hour);
    FILETIME local;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Value(local), 1002 * hour);
    FILETIME back;
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Value(back), 1000 * hour);

    FILETIME early = Time(hour); // one hour after 1601 UTC is before 1601 in a zone to the west
    host::TimeZoneSetBias(300);
    EXPECT_FALSE(FileTimeToLocalFileTime(&early, &local));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    SYSTEMTIME system;
    SYSTEMTIME localTime;
    GetSystemTime(&system);
    GetLocalTime(&localTime);
    FILETIME a;
    FILETIME b;
    SystemTimeToFileTime(&system, &a);
    SystemTimeToFileTime(&localTime, &b);
    if (Value(a) >= 5 * hour) { // the host clock may start at 1601, where there is no earlier local time
        EXPECT_EQ(Value(a) - Value(b), 5 * hour);
    }
    host::TimeZoneSetBias(0);
}

TEST(TimeTest, SystemTimeFollowsTheHostClock)
{
    LARGE_INTEGER kernel;
    KeQuerySystemTime(&kernel);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_GE(Value(now), ULONGLONG(kernel.QuadPart));
    EXPECT_LT(Value(now) - ULONGLONG(kernel.QuadPart), 10000000ULL); // virtual time barely moves
}

} // namespace
