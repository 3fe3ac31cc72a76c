// The performance counter: the host clock at 10 MHz.
#pragma once

#include <windef.h>

extern "C" {
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
}
