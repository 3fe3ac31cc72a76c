// System information: tick counts of the host clock.
#pragma once

#include <windef.h>

extern "C" {
DWORD GetTickCount(void);
ULONGLONG GetTickCount64(void);
}
