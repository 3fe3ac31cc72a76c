// Device controls with arbitrary codes and buffers of arbitrary lengths through the device interface:
// every request completes exactly once (a second completion or a request never completed stops the
// run), with a status the code allows. The resets reach only the stand-ins that record them.
//
// Input: byte 0 picks a known code (below 15) or, above, takes bytes 1-4 as the code; bytes 5-6 and
// 7-8 are the input and output lengths (little-endian, at most 4096); the rest fills the input.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <host/io.h>
#include <wwan_guids.h>

#include "DeviceIoctl.h"
#include "IpcContext.h"
#include "taluvo_fuzz_device.h"

namespace
{

const ULONG kCodes[] = {0x170002, 0x221804, 0x221808, 0x22180C, 0x221C04, 0x221C08, 0x221C0C, 0x221C10,
                        0x221C14, 0x221C18, 0x222425, 0x222442, 0x222444, 0x221800, 0x221C1C};

HANDLE OpenDevice()
{
    taluvofuzz::StartDevice();
    WDFDEVICE device = IpcGetCurrentDevice(NULL);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, MBB_DEVICE_CONTEXT);
    PVOID context = NULL;
    taluvofuzz::Check(NT_SUCCESS(WdfObjectAllocateContext(device, &attributes, &context)));
    static_cast<PMBB_DEVICE_CONTEXT>(context)->Device = device;
    taluvofuzz::Check(NT_SUCCESS(MbbDeviceQueueInitialize(device)));
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"GUID_DEVINTERFACE_WWAN_NETADAPTER");
    taluvofuzz::Check(NT_SUCCESS(WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_WWAN_MODEM, &reference)));
    std::vector<std::u16string> paths = host::IoInterfaceList(GUID_DEVINTERFACE_WWAN_MODEM);
    taluvofuzz::Check(paths.size() == 1);
    HANDLE handle = NULL;
    taluvofuzz::Check(host::IoOpen(paths[0], &handle) == STATUS_SUCCESS);
    return handle;
}

ULONG Field(const uint8_t* data, size_t at, size_t bytes)
{
    ULONG value = 0;
    memcpy(&value, data + at, bytes);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static HANDLE handle = OpenDevice();
    if (size < 9)
        return 0;
    ULONG code = data[0] < sizeof(kCodes) / sizeof(kCodes[0]) ? kCodes[data[0]] : Field(data, 1, 4);
    size_t inputLength = Field(data, 5, 2) % 4097;
    size_t outputLength = Field(data, 7, 2) % 4097;
    std::vector<UCHAR> input(inputLength);
    memcpy(input.data(), data + 9, std::min(inputLength, size - 9));
    std::vector<UCHAR> output(outputLength);
    ULONG_PTR returned = 0;
    NTSTATUS status = host::IoDeviceControl(handle, code, input.data(), input.size(), output.data(),
                                            output.size(), &returned);
    taluvofuzz::Check(returned <= outputLength);
    if (inputLength == 0 || outputLength == 0)
        taluvofuzz::Check(status == STATUS_INVALID_PARAMETER);
    return 0;
}
