// The user-mode entry into the I/O manager: what the Win32 layer's CreateFile, DeviceIoControl,
// ReadFile, WriteFile, CloseHandle and the configuration manager's interface lists stand on. Tests use
// it directly. Requests are synchronous: each returns once the driver completed the request.
#pragma once

#include <ntdef.h>

#include <string>
#include <string_view>
#include <vector>

namespace host
{

// Opens a device by name: \\?\<interface path>, \\.\<link>, \??\<link> or \Device\<name>.
// STATUS_OBJECT_NAME_NOT_FOUND when nothing answers to it; otherwise the driver's create status
// (STATUS_ACCESS_DENIED for a second open of an exclusive device).
NTSTATUS IoOpen(std::u16string_view path, HANDLE* handle);
// Cleanup and close go to the driver; the handle is gone afterwards.
NTSTATUS IoClose(HANDLE handle);
// `returned` receives the information the driver completed with (bytes of output for buffered
// requests, never more than `outputLength`).
NTSTATUS IoDeviceControl(HANDLE handle, ULONG code, const void* input, size_t inputLength, void* output,
                         size_t outputLength, ULONG_PTR* returned);
// A device-control request as the driver completed it: its status, its Information and the whole system
// buffer, whatever the status (user mode sees the output only for statuses that are not errors).
struct IoRawResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> buffer;
};
IoRawResult IoDeviceControlRaw(HANDLE handle, ULONG code, const void* input, size_t inputLength, size_t outputLength);
// Cancels the requests that other threads have pending through the handle (each still returns once
// its driver completes it).
NTSTATUS IoCancelRequests(HANDLE handle);
NTSTATUS IoRead(HANDLE handle, void* buffer, size_t length, ULONG_PTR* read);
NTSTATUS IoWrite(HANDLE handle, const void* buffer, size_t length, ULONG_PTR* written);
// The enabled interfaces of a class, as user-mode paths (\\?\...).
std::vector<std::u16string> IoInterfaceList(const GUID& interfaceClass);

} // namespace host
