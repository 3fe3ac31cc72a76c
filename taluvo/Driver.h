// The framework driver of the modem: its entry, its context and the values that are one per driver.
#pragma once

#include <wdf.h>

typedef struct _DRIVER_CONTEXT_MBB {
    WDFDRIVER Driver;
    volatile LONG DeviceCount; // modem devices added and not yet released
} DRIVER_CONTEXT_MBB, *PDRIVER_CONTEXT_MBB;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT_MBB, GetDriverContextMbb);

// For the callbacks that have no driver handle; set by DriverEntry and at every device add, cleared
// when the driver object goes.
extern PDRIVER_CONTEXT_MBB g_DriverContextMbb;

// _RxPerfOn as read at device add: 1 selects the receive ring, 0 the list.
extern ULONG RxPerfOn;

// Bit 0: minidump enabled; bit 1: full RAM dump enabled. Changed from several devices and threads, so
// only through interlocked operations.
#define MBB_DUMP_FLAG_MINI 0x1
#define MBB_DUMP_FLAG_FULL_RAM 0x2
extern volatile LONG DumpFlags;
BOOLEAN IsAnyDumpConfigEnabled(void);

// The multi-device guard: device add counts a device in, its release counts it out (never below 0).
// Both return the new count.
ULONG MbbDeviceCountAdd(PDRIVER_CONTEXT_MBB Context);
ULONG MbbDeviceCountRelease(PDRIVER_CONTEXT_MBB Context);

EVT_WDF_DRIVER_UNLOAD Mbb_EvtDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP Mbb_EvtDriverContextCleanup;
// Device add of the modem; its own code comes with the modem device.
EVT_WDF_DRIVER_DEVICE_ADD Mbb_EvtDeviceAdd;
