// The C runtime's clock: calendar time from the host's system time, never the Linux clock, so deliverable
// code sees the same time as every Win32 and kernel call.
#include <time.h>

#include <windows.h>

namespace {

// 1970-01-01 in 100 ns units since 1601-01-01.
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;

} // namespace

extern "C" time_t time(time_t* timer)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    time_t seconds = static_cast<time_t>((ticks - kUnixEpochAsFileTime) / 10000000ULL);
    if (timer != nullptr)
        *timer = seconds;
    return seconds;
}
