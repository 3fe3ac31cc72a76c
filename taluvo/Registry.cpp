// Registry configuration of the modem driver.
#include "Registry.h"

#include "Driver.h"
#include "Trace.h"

#include <stddef.h>

namespace
{

NTSTATUS OpenDriverKey(WDFDEVICE Device, ACCESS_MASK Access, WDFKEY* Key)
{
    return WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DRIVER, Access, WDF_NO_OBJECT_ATTRIBUTES, Key);
}

NTSTATUS QueryKeyULong(PVOID Source, PCUNICODE_STRING Name, PULONG Value)
{
    return WdfRegistryQueryULong(static_cast<WDFKEY>(Source), Name, Value);
}

NTSTATUS QueryConfigurationULong(PVOID Source, PCUNICODE_STRING Name, PULONG Value)
{
    return NetConfigurationQueryUlong(static_cast<NETCONFIGURATION>(Source),
                                      NET_CONFIGURATION_QUERY_ULONG_NO_FLAGS, Name, Value);
}

const CONFIG_PROPERTY kDriverProperties[] = {
    {RTL_CONSTANT_STRING(u"_RxPerfOn"), 0, sizeof(ULONG), 0, 0, 1},
};

// "*ModernStandyWoLMagicPacket" is spelled as the installation writes it.
const CONFIG_PROPERTY kAdapterProperties[] = {
    {RTL_CONSTANT_STRING(u"*WakeOnMagicPacket"), offsetof(NETADAPTER_INSTANCE_CONTEXT, WakeOnMagicPacket),
     sizeof(ULONG), 1, 0, 1},
    {RTL_CONSTANT_STRING(u"*ModernStandyWoLMagicPacket"),
     offsetof(NETADAPTER_INSTANCE_CONTEXT, ModernStandyWoLMagicPacket), sizeof(ULONG), 0, 0, 1},
    {RTL_CONSTANT_STRING(u"*DeviceSleepOnDisconnect"),
     offsetof(NETADAPTER_INSTANCE_CONTEXT, DeviceSleepOnDisconnect), sizeof(ULONG), 1, 0, 1},
};

// The driver-wide values the driver table fills.
struct DRIVER_CONFIG_VALUES {
    ULONG RxPerfOn;
};

BOOLEAN ReadDumpConfig(WDFDEVICE Device, PCWSTR Name, LONG Bit)
{
    BOOLEAN enabled = ReadDriverKeyULong(Device, Name) == 1;
    if (enabled)
        InterlockedOr(&DumpFlags, Bit);
    else
        InterlockedAnd(&DumpFlags, ~Bit);
    return enabled;
}

// A COM function and the bit of WWANCIDBufferPortConfig that enables it whatever its own value.
struct FEATURE_ROW {
    ULONG Bit;
    PCWSTR Name;
    WWAN_COM_INDEX Function;
};

// In the order they are read.
const FEATURE_ROW kFeatures[] = {
    {0x080, u"WWANFeatureGNSS", WwanComGnss},       {0x100, u"WWANFeatureTESTGNSS", WwanComTestGnss},
    {0x001, u"WWANFeatureAT", WwanComAt},           {0x008, u"WWANFeatureADB", WwanComAdb},
    {0x010, u"WWANFeatureNPT", WwanComNpt},         {0x002, u"WWANFeatureMDLOG", WwanComMdLog},
    {0x004, u"WWANFeatureSAPLOG", WwanComSapLog},   {0x200, u"WWANFeatureMETAMD", WwanComMetaMd},
    {0x020, u"WWANFeatureMETASAP", WwanComMetaSap}, {0x400, u"WWANFeatureNMEA", WwanComNmea},
};

typedef NTSTATUS QUERY_REGISTRY_VALUES(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                       PVOID Context, PVOID Environment);

// The extended routine where the system has it.
QUERY_REGISTRY_VALUES* QueryRoutine()
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"RtlQueryRegistryValuesEx");
    auto* routine = reinterpret_cast<QUERY_REGISTRY_VALUES*>(MmGetSystemRoutineAddress(&name));
    return routine != NULL ? routine : RtlQueryRegistryValues;
}

// TRUE only for a REG_DWORD 1.
BOOLEAN StatusValueIsSet(PCWSTR KeyPath, PCWSTR Name)
{
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(Name);
    table[0].EntryContext = &value;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    NTSTATUS status = QueryRoutine()(RTL_REGISTRY_ABSOLUTE, KeyPath, table, NULL, NULL);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "%S: %!STATUS!, %u", Name, status, value);
    return NT_SUCCESS(status) && value == 1;
}

NTSTATUS WriteStatusValue(PCWSTR KeyPath, PCWSTR Name, ULONG Value)
{
    NTSTATUS status =
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyPath, Name, REG_DWORD, &Value, sizeof(Value));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "%S := %u: %!STATUS!", Name, Value, status);
    return status;
}

} // namespace

void ConfigPropertiesRead(const CONFIG_PROPERTY* Table, ULONG Count, PVOID Target, CONFIG_READ_ULONG* Read,
                          PVOID Source)
{
    for (ULONG i = 0; i < Count; i++) {
        const CONFIG_PROPERTY& row = Table[i];
        ULONG value = row.Default;
        if (Read != NULL && NT_SUCCESS(Read(Source, &row.Name, &value))) {
            if (value < row.Min || value > row.Max)
                value = row.Default;
        } else {
            value = row.Default;
        }
        PUCHAR field = static_cast<PUCHAR>(Target) + row.Offset;
        switch (row.Size) {
        case sizeof(UCHAR):
            *field = (UCHAR)value;
            break;
        case sizeof(USHORT):
            *reinterpret_cast<PUSHORT>(field) = (USHORT)value;
            break;
        case sizeof(ULONG):
            *reinterpret_cast<PULONG>(field) = value;
            break;
        default:
            break;
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "%wZ = %u", &row.Name, value);
    }
}

void DriverConfigProperties_Read(PMBB_DEVICE_CONTEXT Context)
{
    DRIVER_CONFIG_VALUES values = {};
    WDFKEY key = NULL;
    NTSTATUS status = OpenDriverKey(Context->Device, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_REGISTRY, "driver key: %!STATUS!", status);
    ConfigPropertiesRead(kDriverProperties, ARRAYSIZE(kDriverProperties), &values,
                         NT_SUCCESS(status) ? QueryKeyULong : NULL, key);
    if (key != NULL)
        WdfRegistryClose(key);
    RxPerfOn = values.RxPerfOn;
}

NTSTATUS Mbb_ReadConfiguration(PNETADAPTER_INSTANCE_CONTEXT Context)
{
    NETCONFIGURATION configuration;
    NTSTATUS status = NetAdapterOpenConfiguration(Context->Adapter, WDF_NO_OBJECT_ATTRIBUTES, &configuration);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_REGISTRY, "adapter configuration: %!STATUS!", status);
        return status;
    }
    ConfigPropertiesRead(kAdapterProperties, ARRAYSIZE(kAdapterProperties), Context, QueryConfigurationULong,
                         configuration);
    NetConfigurationClose(configuration);
    return STATUS_SUCCESS;
}

ULONG ReadDriverKeyULong(WDFDEVICE Device, PCWSTR Name)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG value = 0;
    WDFKEY key;
    NTSTATUS status = OpenDriverKey(Device, KEY_QUERY_VALUE, &key);
    if (NT_SUCCESS(status)) {
        status = WdfRegistryQueryULong(key, &name, &value);
        WdfRegistryClose(key);
    }
    if (!NT_SUCCESS(status))
        value = 0;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "%S = %u, %s", Name, value,
                NT_SUCCESS(status) ? "success" : "failed");
    return value;
}

NTSTATUS WriteDriverKeyULong(WDFDEVICE Device, PCWSTR Name, ULONG Value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    // The current value is read first so that a missing one is never created.
    WDFKEY key;
    NTSTATUS status = OpenDriverKey(Device, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    ULONG current;
    status = WdfRegistryQueryULong(key, &name, &current);
    if (NT_SUCCESS(status))
        status = WdfRegistryAssignULong(key, &name, Value);
    WdfRegistryClose(key);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "%S := %u: %!STATUS!", Name, Value, status);
    return status;
}

BOOLEAN GetFullRAMDumpConfig(WDFDEVICE Device)
{
    return ReadDumpConfig(Device, u"WWANCDConfig", MBB_DUMP_FLAG_FULL_RAM);
}

BOOLEAN GetMiniDumpConfig(WDFDEVICE Device)
{
    return ReadDumpConfig(Device, u"WWANMiniConfig", MBB_DUMP_FLAG_MINI);
}

BOOLEAN GetWWANAerDisableUR(WDFDEVICE Device)
{
    return ReadDriverKeyULong(Device, u"WWANAerDisableUR") == 1;
}

void ReadFeatureConfiguration(WDFDEVICE Device)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    context->WwanMbimVersionDowngrade = ReadDriverKeyULong(Device, u"WwanMbimVersionDowngrade");
    context->Functions[WwanComFlash].Enabled = TRUE;
    context->Functions[WwanComFullRamDump].Enabled = TRUE;
    ULONG mask = ReadDriverKeyULong(Device, u"WWANCIDBufferPortConfig");
    for (const FEATURE_ROW& row : kFeatures)
        context->Functions[row.Function].Enabled =
            (mask & row.Bit) != 0 || ReadDriverKeyULong(Device, row.Name) == 1;
    context->MbimTraceEnabled = ReadDriverKeyULong(Device, u"WWANCIDBufferTRACE") == 1;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "port config 0x%x, MBIM trace %u", mask,
                context->MbimTraceEnabled);
    for (ULONG i = 0; i < WWAN_COM_FUNCTION_COUNT; i++)
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "function %u enabled %u", i + 1,
                    context->Functions[i].Enabled);
}

BOOLEAN IsFlashingRequested(void)
{
    return StatusValueIsSet(MBB_FLASH_SERVICE_KEY, u"FlashingStatus");
}

BOOLEAN IsRAMDumpRequested(void)
{
    return StatusValueIsSet(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus");
}

void ClearFlashingStatus(void)
{
    NTSTATUS status = WriteStatusValue(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 0);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_REGISTRY, "flashing status %s",
                NT_SUCCESS(status) ? "cleared" : "failed");
}

NTSTATUS SetRAMDumpStatus(ULONG Value)
{
    return WriteStatusValue(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus", Value);
}

NTSTATUS SetMiniDumpStatus(ULONG Value)
{
    return WriteStatusValue(MBB_TOOL_SERVICE_KEY, u"MiniDumpStatus", Value);
}

NTSTATUS ReadFlashServiceParameter(PCWSTR Name, PULONG Value)
{
    UNICODE_STRING path = RTL_CONSTANT_STRING(MBB_FLASH_PARAMETERS_KEY);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    PKEY_VALUE_PARTIAL_INFORMATION info = NULL;
    status = QueryRegistryValuePartial(key, &name, &info);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;
    if (info->DataLength == sizeof(ULONG))
        memcpy(Value, info->Data, sizeof(ULONG));
    else
        status = STATUS_OBJECT_TYPE_MISMATCH;
    ExFreePoolWithTag(info, MBB_REGISTRY_TAG);
    return status;
}

NTSTATUS QueryRegistryValuePartial(HANDLE Key, PCUNICODE_STRING Name, PKEY_VALUE_PARTIAL_INFORMATION* Buffer)
{
    *Buffer = NULL;
    PUNICODE_STRING name = const_cast<PUNICODE_STRING>(Name);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, name, KeyValuePartialInformation, NULL, 0, &length);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return status;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, length, MBB_REGISTRY_TAG));
    if (info == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(Key, name, KeyValuePartialInformation, info, length, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(info, MBB_REGISTRY_TAG);
        return status;
    }
    *Buffer = info;
    return STATUS_SUCCESS;
}
