// The calling thread's last Win32 error.
#pragma once

#include <windef.h>

extern "C" {
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
}
