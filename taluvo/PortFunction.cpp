// Port functions: registration of the modem's character ports by name, their open and close rules,
// writes handed down by type, the data callback that brings each port's data up, and the lists of the
// IPC context that hold the records.
#include "PortFunction.h"

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "ModemEvents.h"
#include "QueueCallback.h"
#include "SioPort.h"
#include "Trace.h"
#include "ccci_port.h"
#include "port_kinds.h"

#include <string.h>

namespace
{

constexpr ULONG kSioTag = 0x49534330u;      // '0CSI': port records and the receive buffer
constexpr ULONG kMessageTag = 0x57697369u;  // 'isiW': MBIM/MIPC messages and their entries
constexpr ULONG kNetLinkTag = 0x494E4332u;  // '2CNI': the network-link record
constexpr ULONG kSessionTag = 0x49504332u;  // '2CPI': its session table
constexpr size_t kMessageSize = 0x8000;
constexpr ULONG kReceiveSize = 0x10000;
// Types whose data goes straight to the receive callback: 1, 5 to 13 and 15.
constexpr ULONG kReceiveTypes = 0xBFE2u;
constexpr int kWriteRefusals = 200;
constexpr ULONG kWriteRetryMs = 5;
constexpr ULONG kFlashCloseWatchdogMs = 3000;
constexpr ULONG kMipcHeaderBytes = 16;

BOOLEAN SioOpenOp(PIPC_PORT_FUNCTION Function)
{
    return sio_open(Function);
}

BOOLEAN SioCloseOp(PIPC_PORT_FUNCTION Function)
{
    return sio_close(Function);
}

NTSTATUS SioPostWriteOp(PPORT_REQUEST Request)
{
    return sio_post_write(Request);
}

// What sio_add installs; the other slots are the modem-event handling's.
const IPC_PORT_OPS kSioOps = {SioOpenOp, SioCloseOp, NULL, NULL, NULL, NULL, SioPostWriteOp, NULL, NULL};

struct NAMED_TYPE {
    const char* Name;
    ULONG Type;
};

const NAMED_TYPE kPortTypes[] = {
    {"ttyC0", IPC_FN_AT},
    {"ttyCMdLog", IPC_FN_MD_LOG},
    {"ttyCMdMeta", IPC_FN_META_MD},
    {"ccci_sap_log", IPC_FN_SAP_LOG},
    {"ccci_sap_adb", IPC_FN_ADB},
    {"ccci_sap_meta", IPC_FN_META_SAP},
    {"ccci_sap_gnss", IPC_FN_GNSS},
    {"ccci_sap_test_gnss", IPC_FN_TEST_GNSS},
    {"ttyCMIPC0", IPC_FN_NPT},
    {"ttyCMBIM0", IPC_FN_MBIM},
};

const NAMED_TYPE kBootPortTypes[] = {
    {"brom_download", IPC_FN_FLASH},
    {"ttyDUMP", IPC_FN_FULL_RAM_DUMP},
};

ULONG TypeOfName(const char* Name, const NAMED_TYPE* Types, size_t Count)
{
    for (size_t i = 0; i < Count; i++)
        if (strcmp(Name, Types[i].Name) == 0)
            return Types[i].Type;
    return 0;
}

ULONG TypeInTable(USHORT Minor, const struct ccci_port* Table, size_t Rows, const NAMED_TYPE* Types,
                  size_t Count)
{
    for (size_t row = 0; row < Rows; row++) {
        if (Table[row].minor != Minor || Table[row].name == NULL)
            continue;
        ULONG type = TypeOfName(Table[row].name, Types, Count);
        if (type != 0)
            return type;
    }
    return 0;
}

PIPC_CONTEXT IpcOf(PIPC_PORT_FUNCTION Function)
{
    return Function->Device != NULL ? GetIpcContext(Function->Device) : NULL;
}

ULONG IpcState(PIPC_PORT_FUNCTION Function)
{
    PIPC_CONTEXT ipc = IpcOf(Function);
    return ipc != NULL ? ReadULongAcquire(&ipc->State) : (ULONG)IpcModemStateNone;
}

BOOLEAN IsOpen(PIPC_PORT_FUNCTION Function)
{
    return ReadULongAcquire(&Function->State) == IPC_FN_STATE_OPEN;
}

struct sio_device* SioOf(PIPC_PORT_FUNCTION Function)
{
    return static_cast<struct sio_device*>(Function->Sio);
}

// The port function a port is registered with; the port's lock makes this safe against its release.
PIPC_PORT_FUNCTION FunctionOf(struct sio_device* Sio)
{
    if (Sio == NULL || Sio->sio_lock == NULL)
        return NULL;
    WdfSpinLockAcquire(Sio->sio_lock);
    auto* function = static_cast<PIPC_PORT_FUNCTION>(Sio->port_function);
    WdfSpinLockRelease(Sio->sio_lock);
    return function;
}

// Undoes what sio_add set in the port, so that nothing reaches the record any more.
void DetachSio(struct sio_device* Sio)
{
    if (Sio->sio_lock != NULL)
        WdfSpinLockAcquire(Sio->sio_lock);
    Sio->port_function = NULL;
    Sio->callback_context = NULL;
    if (Sio->sio_lock != NULL)
        WdfSpinLockRelease(Sio->sio_lock);
}

void DeleteSioObjects(struct sio_device* Sio)
{
    for (WDFQUEUE& queue : Sio->io_queues) {
        if (queue != NULL)
            WdfObjectDelete(queue);
        queue = NULL;
    }
    if (Sio->sio_lock != NULL)
        WdfObjectDelete(Sio->sio_lock);
    Sio->sio_lock = NULL;
}

NTSTATUS CreateSioObjects(struct sio_device* Sio, WDFDEVICE Device)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfSpinLockCreate(&attributes, &Sio->sio_lock);
    if (!NT_SUCCESS(status))
        return status;
    for (WDFQUEUE& queue : Sio->io_queues) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        config.PowerManaged = WdfFalse;
        status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

void RunDataCallback(PVOID Argument)
{
    auto* sio = static_cast<struct sio_device*>(Argument);
    if (sio->data_callback != NULL)
        sio->data_callback(sio);
}

void ReadCompleteWorkItem(PVOID Argument)
{
    MbimCpMipcReadCompleteAtPassive(static_cast<PIPC_PORT_FUNCTION>(Argument));
}

// Completes every request a queue holds with STATUS_CANCELLED.
void CancelQueued(WDFQUEUE Queue)
{
    if (Queue == NULL)
        return;
    for (;;) {
        WDFREQUEST request;
        NTSTATUS status = WdfIoQueueRetrieveNextRequest(Queue, &request);
        if (!NT_SUCCESS(status)) {
            if (status != STATUS_NO_MORE_ENTRIES)
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "queue drain stopped: %!STATUS!", status);
            return;
        }
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

// MBIM and MIPC data: one entry on the modem message list and one passive-level work item per read.
// Called with the port's lock held; releases it.
NTSTATUS QueueMessage(PIPC_PORT_FUNCTION Function, struct sio_device* Sio)
{
    WDFDEVICE device = Function->Device;
    PIPC_CONTEXT ipc = IpcOf(Function);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDFMEMORY memory;
    PVOID buffer;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPoolNx, kMessageTag, kMessageSize, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        WdfSpinLockRelease(Sio->sio_lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "no message memory: %!STATUS!", status);
        return status;
    }
    SSIZE_T read = Sio->fops->read(&Sio->file, static_cast<u8*>(buffer), kMessageSize);
    WdfSpinLockRelease(Sio->sio_lock);
    // A failed read leaves nothing to hand on: a negative count must never become a length.
    if (read <= 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "type %u read %lld: nothing queued", Function->FunctionType,
                    (long long)read);
        WdfObjectDelete(memory);
        return STATUS_UNSUCCESSFUL;
    }
    if (Function->FunctionType == IPC_FN_MIPC && (size_t)read >= kMipcHeaderBytes) {
        USHORT fields[3];
        memcpy(fields, static_cast<UCHAR*>(buffer) + 10, sizeof(fields));
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "MIPC message 0x%x, transaction 0x%x, length %u", fields[0],
                    fields[1], fields[2]);
    }
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = memory;
    WDFMEMORY entryMemory;
    PVOID entryBuffer;
    status = WdfMemoryCreate(&attributes, NonPagedPoolNx, kMessageTag, sizeof(MBIM_MESSAGE_ENTRY), &entryMemory,
                             &entryBuffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "no message entry: %!STATUS!", status);
        WdfObjectDelete(memory);
        return status;
    }
    auto* entry = static_cast<PMBIM_MESSAGE_ENTRY>(entryBuffer);
    entry->Buffer = buffer;
    entry->Length = (ULONG64)read;
    entry->Memory = memory;
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&ipc->LastMbimFunction), Function);
    ExInterlockedInsertTailList(&ipc->ModemMessages, &entry->Link, &ipc->ModemMessageLock);
    status = QueueCallback(device, ReadCompleteWorkItem, Function, sizeof(PVOID), TRUE, 0);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "read-complete work item not queued: %!STATUS!", status);
    return STATUS_SUCCESS;
}

// Other types: read into a buffer, hand it to the receive callback and free it. Called with the port's
// lock held; releases it. The port's data reaches the callback only: the result is always a failure.
NTSTATUS PassReceived(PIPC_PORT_FUNCTION Function, struct sio_device* Sio)
{
    auto* buffer = static_cast<u8*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kReceiveSize, kSioTag));
    if (buffer == NULL) {
        WdfSpinLockRelease(Sio->sio_lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "no receive buffer for type %u", Function->FunctionType);
        return STATUS_UNSUCCESSFUL;
    }
    SSIZE_T read = Sio->fops->read(&Sio->file, buffer, kReceiveSize);
    if (read < 0 || read > (SSIZE_T)kReceiveSize)
        read = 0;
    WdfSpinLockRelease(Sio->sio_lock);
    PORT_REQUEST block = {Function, NULL, STATUS_UNSUCCESSFUL, buffer, (ULONG)read};
    PORT_REFERENCE reference = {&block, 0};
    if (Function->Ops.Receive != NULL)
        Function->Ops.Receive(&reference);
    ExFreePoolWithTag(buffer, kSioTag);
    return STATUS_UNSUCCESSFUL;
}

} // namespace

ULONG IpcGetSioFunctionType(USHORT Minor)
{
    ULONG type = TypeInTable(Minor, ccci_boot_port_table, CCCI_BOOT_PORT_COUNT, kBootPortTypes,
                             ARRAYSIZE(kBootPortTypes));
    if (type == 0)
        type = TypeInTable(Minor, ccci_port_table, CCCI_PORT_COUNT, kPortTypes, ARRAYSIZE(kPortTypes));
    return type;
}

int sio_add(struct sio_device* sio, u32 minor, u32 value)
{
    ULONG type = IpcGetSioFunctionType((USHORT)minor);
    if (type == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_IPC, "minor %u: no port function", minor & 0xFFFFu);
        return 0;
    }
    WDFDEVICE device = IpcGetCurrentDevice(NULL);
    PIPC_CONTEXT ipc = device != NULL ? GetIpcContext(device) : NULL;
    if (ipc == NULL || ipc->ListLock == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "type %u: no IPC context, port not registered", type);
        return 0;
    }
    auto* function = static_cast<PIPC_PORT_FUNCTION>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(IPC_PORT_FUNCTION), kSioTag));
    if (function == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "type %u: no memory for the port function", type);
        return -12;
    }
    function->Device = device;
    function->Ops = kSioOps;
    function->FunctionType = type;
    function->Sio = sio;
    sio->port_function = function;
    sio->devt = minor;
    sio->sio_arg = value;
    NTSTATUS status = CreateSioObjects(sio, device);
    if (!NT_SUCCESS(status)) {
        // The port must not keep a way to the record that is freed here.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "type %u: port queues not created: %!STATUS!", type, status);
        sio->port_function = NULL;
        sio->data_callback = NULL;
        sio->callback_context = NULL;
        DeleteSioObjects(sio);
        ExFreePoolWithTag(function, kSioTag);
        return -1;
    }
    sio->file.f_flags |= SIO_F_NONBLOCK;
    sio->callback_context = function;
    sio->callback_arg = 0;
    sio->data_callback = IpcSioInPoll;
    function->ComPeer = NULL;
    IpcInsertEntryDevice(function, &ipc->SioFunctions, IPC_FN_KIND_SIO);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "port function type %u registered", type);
    return 0;
}

void sio_delete(struct sio_device* sio)
{
    PIPC_PORT_FUNCTION function = FunctionOf(sio);
    if (function == NULL)
        return;
    IpcDeactivateDevice(function);
    sio->port_function = NULL;
}

PIPC_PORT_FUNCTION IpcGetPortFnContextSio(ULONG Type)
{
    WDFDEVICE device = IpcGetCurrentDevice(NULL);
    PIPC_CONTEXT ipc = device != NULL ? GetIpcContext(device) : NULL;
    if (ipc == NULL || ipc->ListLock == NULL)
        return NULL;
    return RetrieveIpcLinkFnContext(ipc->ListLock, &ipc->SioFunctions, (LONG)Type);
}

BOOLEAN sio_open(PIPC_PORT_FUNCTION Function)
{
    if (Function == NULL || Function->Kind != IPC_FN_KIND_SIO || IsOpen(Function))
        return FALSE;
    ULONG needed = IpcModemStateReady;
    if (Function->FunctionType == IPC_FN_FLASH)
        needed = IpcModemStateRomReady;
    else if (Function->FunctionType == IPC_FN_FULL_RAM_DUMP)
        needed = IpcModemStateCdReady;
    ULONG state = IpcState(Function);
    if (state != needed) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "type %u not opened in IPC state %u", Function->FunctionType,
                    state);
        return FALSE;
    }
    if (Function->ComPeer == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "type %u not opened: no peer linked", Function->FunctionType);
        return FALSE;
    }
    return SioOpenDevice(Function);
}

BOOLEAN SioOpenDevice(PIPC_PORT_FUNCTION Function)
{
    if (IsOpen(Function))
        return FALSE;
    struct sio_device* sio = SioOf(Function);
    int r = sio->fops->open(&sio->inode, &sio->file);
    if (r != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "type %u: port open failed: %d", Function->FunctionType, r);
        return FALSE;
    }
    WriteULongRelease(&Function->State, IPC_FN_STATE_OPEN);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "type %u open", Function->FunctionType);
    // The boot ports may hold data from before the open: one poll delivers it.
    if (Function->FunctionType == IPC_FN_FLASH || Function->FunctionType == IPC_FN_FULL_RAM_DUMP) {
        NTSTATUS status = QueueCallback(Function->Device, RunDataCallback, sio, sizeof(PVOID), TRUE, 0);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "first poll not queued: %!STATUS!", status);
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN sio_close(PIPC_PORT_FUNCTION Function)
{
    if (Function == NULL || Function->Kind != IPC_FN_KIND_SIO || !IsOpen(Function) || Function->ComPeer == NULL)
        return FALSE;
    return SioCloseDevice(Function);
}

BOOLEAN SioCloseDevice(PIPC_PORT_FUNCTION Function)
{
    if (!IsOpen(Function))
        return FALSE;
    WriteULongRelease(&Function->State, IPC_FN_STATE_CONNECTED);
    // The firmware download port closes in the ROM stage: the modem must go on from there in time.
    if (Function->FunctionType == IPC_FN_FLASH && IpcState(Function) == IpcModemStateRomReady)
        IpcModemWatchdogStart(IpcOf(Function), kFlashCloseWatchdogMs);
    struct sio_device* sio = SioOf(Function);
    int r = sio->fops->release(&sio->inode, &sio->file);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "type %u closed: %d", Function->FunctionType, r);
    return r == 0;
}

NTSTATUS sio_post_write(PPORT_REQUEST Request)
{
    PIPC_PORT_FUNCTION function = Request->Function;
    if (function == NULL || !IsOpen(function)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "write to a port that is not open");
        return STATUS_UNSUCCESSFUL;
    }
    struct sio_device* sio = SioOf(function);
    const auto* data = static_cast<const u8*>(Request->Buffer);
    ULONG written = 0;
    int refusals = 0;
    do {
        SSIZE_T n = sio->fops->write(&sio->file, data + written, Request->Length - written);
        if (n > 0) {
            written += n < (SSIZE_T)(Request->Length - written) ? (ULONG)n : Request->Length - written;
            refusals = 0;
            continue;
        }
        if (++refusals > kWriteRefusals) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "type %u refused %d writes: %u of %u bytes written",
                        function->FunctionType, refusals, written, Request->Length);
            return STATUS_UNSUCCESSFUL;
        }
        msleep(kWriteRetryMs);
        if (!IsOpen(function))
            return STATUS_UNSUCCESSFUL;
    } while (written < Request->Length);
    Request->Length = written;
    Request->Status = STATUS_SUCCESS;
    PORT_REFERENCE reference = {Request, 0};
    if (function->Ops.RequestComplete != NULL)
        function->Ops.RequestComplete(&reference);
    return STATUS_SUCCESS;
}

NTSTATUS ProcessPortReq(PPORT_REQUEST Request, ULONG Type)
{
    if (Request->Function == NULL) {
        Request->Function = IpcGetPortFnContextSio(Type);
        if (Request->Function == NULL) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "no port function of type %u", Type);
            return STATUS_SUCCESS;
        }
    }
    if (Request->Function->Ops.PostWrite != NULL)
        Request->Function->Ops.PostWrite(Request);
    return STATUS_SUCCESS;
}

NTSTATUS IpcSioInPoll(struct sio_device* Sio)
{
    if (Sio == NULL || Sio->sio_lock == NULL)
        return STATUS_UNSUCCESSFUL;
    // Poll and read are one step per port; the record cannot be released meanwhile.
    WdfSpinLockAcquire(Sio->sio_lock);
    auto* function = static_cast<PIPC_PORT_FUNCTION>(Sio->port_function);
    if (function == NULL || (Sio->fops->poll(&Sio->file, NULL) & (SIO_POLL_IN | SIO_POLL_RDNORM)) == 0) {
        WdfSpinLockRelease(Sio->sio_lock);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG type = function->FunctionType;
    if (type == IPC_FN_MIPC || type == IPC_FN_MBIM)
        return QueueMessage(function, Sio);
    if (type < 32 && (kReceiveTypes & (1u << type)) != 0)
        return PassReceived(function, Sio);
    WdfSpinLockRelease(Sio->sio_lock);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS MbimCpMipcReadCompleteAtPassive(PIPC_PORT_FUNCTION Function)
{
    PIPC_CONTEXT ipc = IpcOf(Function);
    if (ipc == NULL)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    WdfWaitLockAcquire(ipc->ReadCompleteLock, NULL);
    IPC_PORT_READ_COMPLETE* routine = Function->FunctionType == IPC_FN_MBIM   ? Function->Ops.MbimReadComplete
                                      : Function->FunctionType == IPC_FN_MIPC ? Function->Ops.MipcReadComplete
                                                                              : NULL;
    if (routine != NULL)
        status = routine(&ipc->ModemMessages, &ipc->ModemMessageLock, Function->Device);
    WdfWaitLockRelease(ipc->ReadCompleteLock);
    return status;
}

void IpcInsertEntryDevice(PIPC_PORT_FUNCTION Function, PLIST_ENTRY List, ULONG Kind)
{
    Function->State = IPC_FN_STATE_REGISTERED;
    Function->Kind = Kind;
    PIPC_CONTEXT ipc = IpcOf(Function);
    WdfSpinLockAcquire(ipc->ListLock);
    InsertHeadList(List, &Function->Link);
    WdfSpinLockRelease(ipc->ListLock);
}

void IpcRemoveEntryDevice(PIPC_PORT_FUNCTION Function)
{
    PIPC_CONTEXT ipc = IpcOf(Function);
    if (ipc != NULL && ipc->ListLock != NULL)
        WdfSpinLockAcquire(ipc->ListLock);
    if (Function->Link.Flink != NULL) {
        RemoveEntryList(&Function->Link);
        Function->Link.Flink = Function->Link.Blink = NULL;
    }
    if (ipc != NULL && ipc->ListLock != NULL)
        WdfSpinLockRelease(ipc->ListLock);
    Function->State = 0;
    Function->Kind = 0;
}

NTSTATUS IpcReleaseDevice(PIPC_PORT_FUNCTION Function)
{
    if (Function == NULL)
        return STATUS_SUCCESS;
    ULONG kind = Function->Kind;
    if (kind == IPC_FN_KIND_NET_LINK && Function->Sio != NULL)
        ExFreePoolWithTag(Function->Sio, kSessionTag);
    // The port outlives its record (a clean-up releases records before the ports go): it must not
    // lead back here.
    if (kind == IPC_FN_KIND_SIO && Function->Sio != NULL)
        DetachSio(SioOf(Function));
    IpcRemoveEntryDevice(Function);
    ExFreePoolWithTag(Function, kind == IPC_FN_KIND_NET_LINK ? kNetLinkTag : kSioTag);
    return STATUS_SUCCESS;
}

BOOLEAN IpcDeactivateDevice(PIPC_PORT_FUNCTION Function)
{
    BOOLEAN result = TRUE;
    if (Function->Kind == IPC_FN_KIND_SIO && IsOpen(Function)) {
        struct sio_device* sio = SioOf(Function);
        CancelQueued(sio->io_queues[0]);
        CancelQueued(sio->io_queues[2]);
        result = SioCloseDevice(Function);
    }
    IpcFunctionRemove(Function);
    return result;
}

int IpcDeactivateAllDevices(PLIST_ENTRY List)
{
    if (List->Flink == NULL)
        return 0;
    for (PLIST_ENTRY entry = List->Flink, next; entry != List; entry = next) {
        next = entry->Flink;
        IpcDeactivateDevice(CONTAINING_RECORD(entry, IPC_PORT_FUNCTION, Link));
    }
    return 0;
}
