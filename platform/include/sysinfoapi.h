// System information: the system clock as Win32 reads it (UTC from the host clock, local time through
// the host's time zone) and tick counts of the host clock.
#pragma once

#include <windef.h>

extern "C" {
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
DWORD GetTickCount(void);
ULONGLONG GetTickCount64(void);
}
