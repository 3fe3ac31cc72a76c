// What the test driver pair and their tests share: control codes, the interface class and the names
// the drivers trace their callbacks under ("cb <callback> <argument>").
#pragma once

#include <wdf.h>

#define FXTEST_DEVICE 0x8123

// Function driver (top of the stack).
#define IOCTL_FXFUNC_ECHO CTL_CODE(FXTEST_DEVICE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Held, cancelable, until cancelled.
#define IOCTL_FXFUNC_PEND CTL_CODE(FXTEST_DEVICE, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Asks the lower filter to hold a request, waiting 100 ms for it: completes with the send's status.
#define IOCTL_FXFUNC_SEND_TIMED CTL_CODE(FXTEST_DEVICE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes with an informational status.
#define IOCTL_FXFUNC_STATUS CTL_CODE(FXTEST_DEVICE, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Parks the request in a manual queue; IOCTL_FXFUNC_PURGE purges that queue.
#define IOCTL_FXFUNC_PARK CTL_CODE(FXTEST_DEVICE, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FXFUNC_PURGE CTL_CODE(FXTEST_DEVICE, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes the request twice (a driver bug the verifier must catch).
#define IOCTL_FXFUNC_COMPLETE_TWICE CTL_CODE(FXTEST_DEVICE, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Reports the device failed, asking for a restart.
#define IOCTL_FXFUNC_FAIL_RESTART CTL_CODE(FXTEST_DEVICE, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes with the status and information of its FXFUNC_COMPLETION input, the output filled with
// FXFUNC_FILL up to the information.
#define IOCTL_FXFUNC_COMPLETE_WITH CTL_CODE(FXTEST_DEVICE, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Passed to the lower filter by the function driver's default target, as received.
#define IOCTL_FXFUNC_PASS_DOWN CTL_CODE(FXTEST_DEVICE, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Lower filter.
#define IOCTL_FXLOWER_PING CTL_CODE(FXTEST_DEVICE, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FXLOWER_HOLD CTL_CODE(FXTEST_DEVICE, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

// FxPci, the driver on the simulated PCI bus: its bus interfaces. Each answers with a ULONG status.
// Queries an interface: input FXPCI_QUERY, output the query's status.
#define IOCTL_FXPCI_QUERY CTL_CODE(FXTEST_DEVICE, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input a ULONG DEVICE_RESET_TYPE; output DeviceReset's status. A function-level reset is asynchronous
// and traced as "cb ResetDone <status>" when it completes.
#define IOCTL_FXPCI_RESET CTL_CODE(FXTEST_DEVICE, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FXPCI_REENUMERATE CTL_CODE(FXTEST_DEVICE, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct FXFUNC_COMPLETION {
    NTSTATUS status;
    ULONG information;
};
// What the function driver fills read buffers and IOCTL_FXFUNC_COMPLETE_WITH output with; a write
// completes with all its bytes.
#define FXFUNC_FILL 0xA5

struct FXPCI_QUERY {
    GUID guid;
    USHORT size;
    USHORT version;
};

#define FXLOWER_PING_ANSWER 0x1234u
#define FXFUNC_INFO_STATUS ((NTSTATUS)0x40100001L)
#define FXFUNC_LEAK_TAG 0x6b61654cu // "Leak"

// Both drivers' entry: a framework driver with these callbacks.
inline NTSTATUS FxTestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                                  PFN_WDF_DRIVER_DEVICE_ADD deviceAdd, PFN_WDF_DRIVER_UNLOAD unload)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, deviceAdd);
    config.EvtDriverUnload = unload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// A DWORD a test driver reads from its service's Parameters key when it adds its device (0 when absent).
struct FxTestSetting {
    PCWSTR name;
    ULONG* value;
};

template <size_t N> void FxTestReadSettings(WDFDRIVER driver, const FxTestSetting (&settings)[N])
{
    for (const FxTestSetting& setting : settings)
        *setting.value = 0;
    WDFKEY key;
    if (!NT_SUCCESS(WdfDriverOpenParametersRegistryKey(driver, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key)))
        return;
    for (const FxTestSetting& setting : settings) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, setting.name);
        WdfRegistryQueryULong(key, &name, setting.value);
    }
    WdfRegistryClose(key);
}

// Sends a received request on to the next-lower device as it is, letting go of it.
inline void FxTestPassDown(WDFREQUEST request, WDFDEVICE device)
{
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    WdfRequestFormatRequestUsingCurrentType(request);
    if (!WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options))
        WdfRequestComplete(request, WdfRequestGetStatus(request));
}

// {5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}
DEFINE_GUID(GUID_FXTEST_INTERFACE, 0x5b0d3a2e, 0x8f61, 0x4c1e, 0x9b, 0x7a, 0x2d, 0x4e, 0x6f, 0x70, 0x81,
            0x92);

// {0c4e5f1a-7b2d-4d3e-8a9f-1b2c3d4e5f60}
DEFINE_GUID(GUID_FXPCI_INTERFACE, 0x0c4e5f1a, 0x7b2d, 0x4d3e, 0x8a, 0x9f, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60);
