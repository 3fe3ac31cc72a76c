// The driver framework's object model, shared by the kernel-mode and user-mode framework drivers.
#pragma once

#include <ntddk.h>

extern "C" {

// ---------------------------------------------------------------------------------------------
// Handles. WDFOBJECT accepts every typed handle, as the framework's own functions do.
typedef PVOID WDFOBJECT, *PWDFOBJECT;
#define WDF_DECLARE_HANDLE(name) typedef struct name##__ *name, **P##name
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFWORKITEM);
WDF_DECLARE_HANDLE(WDFTIMER);
WDF_DECLARE_HANDLE(WDFDPC);
WDF_DECLARE_HANDLE(WDFMEMORY);
#undef WDF_DECLARE_HANDLE

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL

// ---------------------------------------------------------------------------------------------
// Object attributes and context types.
typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(void);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType; // the identity of the type: contexts are found by it
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_##_contexttype##_TYPE_INFO)

// The type record is an inline variable: one address per image, which is the type's identity.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                   \
    extern "C++" {                                                                                           \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##_contexttype##_TYPE_INFO = {                             \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                           \
        &WDF_##_contexttype##_TYPE_INFO, nullptr};                                                           \
    inline _contexttype* _castingfunction(WDFOBJECT Handle)                                                  \
    {                                                                                                        \
        return static_cast<_contexttype*>(                                                                   \
            WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)));                \
    }                                                                                                        \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                               \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                                    \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                                   \
    do {                                                                                                     \
        WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                             \
        WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype);                                   \
    } while (0)

#define WdfObjectGetTypedContext(handle, type)                                                               \
    (static_cast<type*>(WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type))))

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer);

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
void WdfObjectDelete(WDFOBJECT Object);
void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
#define WdfObjectReference(h) WdfObjectReferenceActual((WDFOBJECT)(h), NULL, __LINE__, __FILE__)
#define WdfObjectDereference(h) WdfObjectDereferenceActual((WDFOBJECT)(h), NULL, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(h, t) WdfObjectReferenceActual((WDFOBJECT)(h), (t), __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(h, t) WdfObjectDereferenceActual((WDFOBJECT)(h), (t), __LINE__, __FILE__)

void WdfObjectAcquireLock(WDFOBJECT Object);
void WdfObjectReleaseLock(WDFOBJECT Object);

// ---------------------------------------------------------------------------------------------
// Driver.
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

// Installs the framework's unload routine in the driver object: it calls EvtDriverUnload and then
// deletes the driver object with everything parented to it.
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
// The driver of the calling image.
WDFDRIVER WdfGetDriver(void);
PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver);
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);

// ---------------------------------------------------------------------------------------------
// Locks.
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
void WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
void WdfSpinLockRelease(WDFSPINLOCK SpinLock);

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
// Timeout: NULL waits forever; otherwise relative (negative) or absolute, in 100 ns units.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
void WdfWaitLockRelease(WDFWAITLOCK Lock);

// ---------------------------------------------------------------------------------------------
// Time-out helpers (100 ns units; negative is relative).
#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)
inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_SEC;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_MS;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_US;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_SEC(ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_SEC;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_MS;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_US(ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_US;
}

// ---------------------------------------------------------------------------------------------
// Work items: PASSIVE_LEVEL, never concurrent with themselves.
typedef void EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

inline void WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem);
void WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
void WdfWorkItemFlush(WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);

// ---------------------------------------------------------------------------------------------
// Timers: the callback runs at DISPATCH_LEVEL, or at PASSIVE_LEVEL when the timer's execution level
// (its own or inherited from its parent) is passive.
typedef void EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period; // milliseconds; 0 for one-shot
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
    BOOLEAN UseHighResolutionTimer;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

inline void WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->AutomaticSerialization = TRUE;
}

inline void WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc, LONG Period)
{
    WDF_TIMER_CONFIG_INIT(Config, EvtTimerFunc);
    Config->Period = (ULONG)Period;
}

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
// TRUE when the timer was already set (it is set again with the new due time).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when the timer was set and is now cancelled. Wait: also wait for a running callback.
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);

// ---------------------------------------------------------------------------------------------
// DPCs.
typedef void EVT_WDF_DPC(WDFDPC Dpc);
typedef EVT_WDF_DPC* PFN_WDF_DPC;

typedef struct _WDF_DPC_CONFIG {
    ULONG Size;
    PFN_WDF_DPC EvtDpcFunc;
    BOOLEAN AutomaticSerialization;
} WDF_DPC_CONFIG, *PWDF_DPC_CONFIG;

inline void WDF_DPC_CONFIG_INIT(PWDF_DPC_CONFIG Config, PFN_WDF_DPC EvtDpcFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_DPC_CONFIG));
    Config->Size = sizeof(WDF_DPC_CONFIG);
    Config->EvtDpcFunc = EvtDpcFunc;
    Config->AutomaticSerialization = TRUE;
}

NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC* Dpc);
BOOLEAN WdfDpcEnqueue(WDFDPC Dpc);
BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait);
WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc);
PKDPC WdfDpcWdmGetDpc(WDFDPC Dpc);

// ---------------------------------------------------------------------------------------------
// Memory objects.
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer);
NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom);
NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo);

} // extern "C"
