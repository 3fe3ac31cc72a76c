// Device control from user mode. Requests are synchronous: the call returns once the driver completed
// the request (an OVERLAPPED, when given, receives the status and byte count as well).
#pragma once

#include <windef.h>

extern "C" {

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);

} // extern "C"
