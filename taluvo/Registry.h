// The modem driver's registry configuration: the 4-byte values of the device's driver key, the status
// values under the driver's service keys, and the range-checked configuration tables.
#pragma once

#include <wdf.h>

#include "MbbDevice.h"
#include "NetAdapter.h"

// Status values that survive a device restart and that other programs may set.
#define MBB_FLASH_SERVICE_KEY                                                                                \
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Taluvo(X5)\\FwFlashService"
#define MBB_DUMP_SERVICE_KEY                                                                                 \
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Taluvo(X5)\\FwDumpService"
#define MBB_TOOL_SERVICE_KEY                                                                                 \
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Taluvo(X5)\\TelephonyToolService"
#define MBB_FLASH_PARAMETERS_KEY                                                                             \
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WWAN Firmware Flash Service\\Parameters"

// Pool tag of the buffers QueryRegistryValuePartial hands out ("Mreg").
#define MBB_REGISTRY_TAG 0x6765724Du

// One row of a range-checked table: the value named `Name` lands at `Offset` of the target record in
// `Size` bytes (1, 2 or 4; any other width stores nothing); a failed read or a value outside
// [Min, Max] gives `Default`.
typedef struct _CONFIG_PROPERTY {
    UNICODE_STRING Name;
    ULONG Offset;
    ULONG Size;
    ULONG Default;
    ULONG Min;
    ULONG Max;
} CONFIG_PROPERTY, *PCONFIG_PROPERTY;

// How a table reads one value from wherever its configuration lives.
typedef NTSTATUS CONFIG_READ_ULONG(PVOID Source, PCUNICODE_STRING Name, PULONG Value);
void ConfigPropertiesRead(const CONFIG_PROPERTY* Table, ULONG Count, PVOID Target, CONFIG_READ_ULONG* Read,
                          PVOID Source);

// Fills RxPerfOn from the driver table (its defaults when the driver key cannot be opened).
void DriverConfigProperties_Read(PMBB_DEVICE_CONTEXT Context);
// Fills the adapter keywords from the adapter table. A configuration that cannot be opened leaves them
// alone and is the result; a value that cannot be read takes its default.
NTSTATUS Mbb_ReadConfiguration(PNETADAPTER_INSTANCE_CONTEXT Context);

// 0 when the value is missing, not a 4-byte REG_DWORD, or the key cannot be opened.
ULONG ReadDriverKeyULong(WDFDEVICE Device, PCWSTR Name);
// Writes only over a value that exists: never creates one.
NTSTATUS WriteDriverKeyULong(WDFDEVICE Device, PCWSTR Name, ULONG Value);

// WWANCDConfig / WWANMiniConfig = 1; each brings its bit of DumpFlags in line.
BOOLEAN GetFullRAMDumpConfig(WDFDEVICE Device);
BOOLEAN GetMiniDumpConfig(WDFDEVICE Device);
BOOLEAN GetWWANAerDisableUR(WDFDEVICE Device);
// The version downgrade, the enabled COM functions and the MBIM hex-dump switch.
void ReadFeatureConfiguration(WDFDEVICE Device);

BOOLEAN IsFlashingRequested(void);
BOOLEAN IsRAMDumpRequested(void);
void ClearFlashingStatus(void);
NTSTATUS SetRAMDumpStatus(ULONG Value);
NTSTATUS SetMiniDumpStatus(ULONG Value);

// A 4-byte value of the flash service's Parameters key.
NTSTATUS ReadFlashServiceParameter(PCWSTR Name, PULONG Value);
// The value's partial information in a non-paged buffer (MBB_REGISTRY_TAG) that the caller frees.
NTSTATUS QueryRegistryValuePartial(HANDLE Key, PCUNICODE_STRING Name, PKEY_VALUE_PARTIAL_INFORMATION* Buffer);
