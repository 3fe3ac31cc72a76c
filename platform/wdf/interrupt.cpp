// Framework interrupts over the host's interrupt delivery: the resources they take from the device's
// lists, connection around the D0 callbacks, the ISR's DPC, and the lock the ISR runs under.
#include "fxio.h"

#include <host/interrupt.h>
#include <host/verifier.h>

#include <algorithm>
#include <new>

namespace fx
{

struct Interrupt : Object {
    Interrupt(Device* device, const WDF_INTERRUPT_CONFIG& config)
        : Object(Kind::Interrupt), device(device), config(config)
    {
        KeInitializeSpinLock(&lock);
        KeInitializeDpc(&dpc, RunDpc, this);
    }
    WDFINTERRUPT Handle() { return reinterpret_cast<WDFINTERRUPT>(ToHandle(this)); }
    void Dispose() override;
    static void RunDpc(PKDPC, PVOID context, PVOID, PVOID);
    static BOOLEAN Service(host::Interrupt*, PVOID context);
    // Runs EvtInterruptEnable or EvtInterruptDisable at the device IRQL under the interrupt's lock.
    NTSTATUS Notify(bool enable);
    // The lock the ISR runs under, at its IRQL, whether or not the interrupt is connected: the
    // connection names this lock.
    KIRQL AcquireLock();
    void ReleaseLock(KIRQL previous);

    Device* const device;
    const WDF_INTERRUPT_CONFIG config;
    bool fromPrepare = false; // created in EvtDevicePrepareHardware: released with the hardware
    bool assigned = false;
    CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
    CM_PARTIAL_RESOURCE_DESCRIPTOR translated{};
    ULONG messageNumber = 0;
    host::Interrupt* connection = nullptr;
    KSPIN_LOCK lock = 0;
    KIRQL lockIrql = PASSIVE_LEVEL; // what WdfInterruptAcquireLock raised from, kept by the holder
    KDPC dpc{};
};

namespace
{

bool IsMessage(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d)
{
    return (d.Flags & CM_RESOURCE_INTERRUPT_MESSAGE) != 0;
}

KIRQL Irql(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d)
{
    return static_cast<KIRQL>(IsMessage(d) ? d.u.MessageInterrupt.Translated.Level : d.u.Interrupt.Level);
}

ULONG Vector(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d)
{
    return IsMessage(d) ? d.u.MessageInterrupt.Translated.Vector : d.u.Interrupt.Vector;
}

// Takes the translated descriptor at `index` of the device's list and the raw one beside it; the
// message number counts the message-signalled interrupts before it.
void Assign(Interrupt* interrupt, size_t index)
{
    auto& translated = static_cast<ResourceList*>(interrupt->device->translatedResources)->descriptors;
    auto& raw = static_cast<ResourceList*>(interrupt->device->rawResources)->descriptors;
    interrupt->translated = translated[index];
    interrupt->raw = index < raw.size() ? raw[index] : translated[index];
    interrupt->messageNumber = static_cast<ULONG>(
        std::count_if(translated.begin(), translated.begin() + static_cast<ptrdiff_t>(index),
                      [](const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
                          return d.Type == CmResourceTypeInterrupt && IsMessage(d);
                      }));
    interrupt->assigned = true;
}

// The index of a translated interrupt descriptor in the device's list (matched by vector, so a copy
// the driver made serves as well), or -1.
ptrdiff_t FindTranslated(Device* device, const CM_PARTIAL_RESOURCE_DESCRIPTOR& wanted)
{
    if (device->translatedResources == nullptr || wanted.Type != CmResourceTypeInterrupt)
        return -1;
    auto& list = static_cast<ResourceList*>(device->translatedResources)->descriptors;
    for (size_t i = 0; i < list.size(); i++)
        if (list[i].Type == CmResourceTypeInterrupt && Vector(list[i]) == Vector(wanted))
            return static_cast<ptrdiff_t>(i);
    return -1;
}

void Disconnect(Interrupt* interrupt)
{
    if (interrupt->connection == nullptr)
        return;
    host::InterruptDisable(interrupt->connection);
    interrupt->Notify(false);
    host::InterruptDisconnect(interrupt->connection);
    interrupt->connection = nullptr;
}

} // namespace

void Interrupt::Dispose()
{
    Disconnect(this);
    KeRemoveQueueDpc(&dpc);
    KeFlushQueuedDpcs();
    auto& list = device->interrupts;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

BOOLEAN Interrupt::Service(host::Interrupt*, PVOID context)
{
    auto* interrupt = static_cast<Interrupt*>(context);
    return interrupt->config.EvtInterruptIsr(interrupt->Handle(), interrupt->messageNumber);
}

void Interrupt::RunDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* interrupt = static_cast<Interrupt*>(context);
    Reference(interrupt);
    {
        CallbackScope scope(interrupt, "EvtInterruptDpc", interrupt->config.AutomaticSerialization != FALSE);
        interrupt->config.EvtInterruptDpc(interrupt->Handle(), ToHandle(interrupt->device));
    }
    RunDeferredDeletions();
    Dereference(interrupt);
}

NTSTATUS Interrupt::Notify(bool enable)
{
    auto callback = enable ? config.EvtInterruptEnable : config.EvtInterruptDisable;
    if (callback == nullptr)
        return STATUS_SUCCESS;
    KIRQL previous = AcquireLock();
    NTSTATUS status;
    {
        CallbackScope scope(this, enable ? "EvtInterruptEnable" : "EvtInterruptDisable", false);
        status = callback(Handle(), device->Handle());
    }
    ReleaseLock(previous);
    RunDeferredDeletions();
    return status;
}

KIRQL Interrupt::AcquireLock()
{
    KIRQL previous;
    KeRaiseIrql(assigned ? Irql(translated) : static_cast<KIRQL>(DISPATCH_LEVEL + 1), &previous);
    KeAcquireSpinLockAtDpcLevel(&lock);
    return previous;
}

void Interrupt::ReleaseLock(KIRQL previous)
{
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(previous);
}

void InterruptsAssign(Device* device)
{
    auto& list = static_cast<ResourceList*>(device->translatedResources)->descriptors;
    size_t next = 0;
    for (Interrupt* interrupt : device->interrupts) {
        if (interrupt->fromPrepare)
            continue;
        while (next < list.size() && list[next].Type != CmResourceTypeInterrupt)
            next++;
        if (next == list.size())
            interrupt->assigned = false; // the bus gave fewer interrupts than the driver created
        else
            Assign(interrupt, next++);
    }
}

// Connected disabled, then enabled once EvtInterruptEnable has let the device interrupt: a message
// the device raised meanwhile is held until then.
NTSTATUS InterruptsConnect(Device* device)
{
    for (Interrupt* interrupt : device->interrupts) {
        if (!interrupt->assigned)
            continue;
        host::InterruptConnection connection;
        connection.vector = Vector(interrupt->translated);
        connection.irql = Irql(interrupt->translated);
        connection.service = Interrupt::Service;
        connection.context = interrupt;
        connection.spinLock = &interrupt->lock;
        connection.enabled = false;
        NTSTATUS status = host::InterruptConnect(connection, &interrupt->connection);
        if (NT_SUCCESS(status)) {
            status = interrupt->Notify(true);
            if (NT_SUCCESS(status))
                host::InterruptEnable(interrupt->connection);
            else
                Disconnect(interrupt);
        } else {
            interrupt->connection = nullptr;
        }
        if (!NT_SUCCESS(status)) {
            InterruptsDisconnect(device);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Disconnection waits for a running ISR; the DPCs it queued run before this returns.
void InterruptsDisconnect(Device* device)
{
    for (auto it = device->interrupts.rbegin(); it != device->interrupts.rend(); ++it)
        Disconnect(*it);
    KeFlushQueuedDpcs();
}

void InterruptsRelease(Device* device)
{
    std::vector<Interrupt*> released;
    for (Interrupt* interrupt : device->interrupts)
        if (interrupt->fromPrepare)
            released.push_back(interrupt);
    for (Interrupt* interrupt : released)
        Delete(interrupt);
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfInterruptCreate(WDFDEVICE Device, PWDF_INTERRUPT_CONFIG Configuration,
                            PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* Interrupt)
{
    if (Interrupt != nullptr)
        *Interrupt = nullptr;
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfInterruptCreate");
    if (device == nullptr || Configuration == nullptr || Interrupt == nullptr ||
        Configuration->Size != sizeof(WDF_INTERRUPT_CONFIG) || Configuration->EvtInterruptIsr == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (OtherParent(Attributes, device))
        return STATUS_INVALID_PARAMETER;
    // Before the device starts (EvtDriverDeviceAdd) or inside EvtDevicePrepareHardware; the latter
    // names its descriptors.
    bool withResources = Configuration->InterruptTranslated != nullptr;
    if (device->translatedResources != nullptr && !device->preparing)
        return STATUS_INVALID_DEVICE_STATE;
    if (withResources != device->preparing || (withResources && Configuration->InterruptRaw == nullptr))
        return STATUS_INVALID_PARAMETER;
    ptrdiff_t index = withResources ? FindTranslated(device, *Configuration->InterruptTranslated) : 0;
    if (index < 0)
        return STATUS_INVALID_PARAMETER;
    auto* interrupt = new (std::nothrow) fx::Interrupt(device, *Configuration);
    WDFINTERRUPT created = nullptr;
    NTSTATUS status = Publish(interrupt, Attributes, device, _ReturnAddress(), &created);
    if (!NT_SUCCESS(status))
        return status;
    status = CheckSerialization(interrupt, Configuration->AutomaticSerialization, false);
    if (!NT_SUCCESS(status))
        return status;
    if (withResources) {
        Assign(interrupt, static_cast<size_t>(index));
        interrupt->raw = *Configuration->InterruptRaw;
        interrupt->fromPrepare = true;
    }
    device->interrupts.push_back(interrupt);
    *Interrupt = created;
    return STATUS_SUCCESS;
}

BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT Interrupt)
{
    auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptQueueDpcForIsr");
    if (interrupt == nullptr || interrupt->config.EvtInterruptDpc == nullptr)
        return FALSE;
    return KeInsertQueueDpc(&interrupt->dpc, nullptr, nullptr);
}

void WdfInterruptGetInfo(WDFINTERRUPT Interrupt, PWDF_INTERRUPT_INFO Info)
{
    auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptGetInfo");
    if (interrupt == nullptr || Info == nullptr || Info->Size != sizeof(WDF_INTERRUPT_INFO))
        return;
    WDF_INTERRUPT_INFO_INIT(Info);
    if (!interrupt->assigned)
        return;
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = interrupt->translated;
    Info->MessageSignaled = IsMessage(d) ? TRUE : FALSE;
    Info->MessageNumber = IsMessage(d) ? interrupt->messageNumber : 0;
    Info->Vector = Vector(d);
    Info->Irql = Irql(d);
    Info->TargetProcessorSet =
        IsMessage(d) ? d.u.MessageInterrupt.Translated.Affinity : d.u.Interrupt.Affinity;
    Info->Group = IsMessage(d) ? d.u.MessageInterrupt.Translated.Group : d.u.Interrupt.Group;
    Info->Mode = (d.Flags & CM_RESOURCE_INTERRUPT_LATCHED) != 0 ? Latched : LevelSensitive;
    Info->Polarity = InterruptActiveHigh;
    Info->ShareDisposition = d.ShareDisposition;
}

WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT Interrupt)
{
    auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptGetDevice");
    return interrupt == nullptr ? nullptr : interrupt->device->Handle();
}

void WdfInterruptAcquireLock(WDFINTERRUPT Interrupt)
{
    if (auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptAcquireLock"))
        interrupt->lockIrql = interrupt->AcquireLock();
}

void WdfInterruptReleaseLock(WDFINTERRUPT Interrupt)
{
    if (auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptReleaseLock"))
        interrupt->ReleaseLock(interrupt->lockIrql);
}

BOOLEAN WdfInterruptSynchronize(WDFINTERRUPT Interrupt, PFN_WDF_INTERRUPT_SYNCHRONIZE Callback,
                                WDFCONTEXT Context)
{
    if (Callback == nullptr ||
        As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptSynchronize") == nullptr)
        return FALSE;
    WdfInterruptAcquireLock(Interrupt);
    BOOLEAN result = Callback(Interrupt, Context);
    WdfInterruptReleaseLock(Interrupt);
    return result;
}

void WdfInterruptEnable(WDFINTERRUPT Interrupt)
{
    auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptEnable");
    if (interrupt == nullptr || interrupt->connection == nullptr)
        return;
    if (NT_SUCCESS(interrupt->Notify(true)))
        host::InterruptEnable(interrupt->connection);
}

void WdfInterruptDisable(WDFINTERRUPT Interrupt)
{
    auto* interrupt = As<fx::Interrupt>(Interrupt, Kind::Interrupt, "WdfInterruptDisable");
    if (interrupt == nullptr || interrupt->connection == nullptr)
        return;
    host::InterruptDisable(interrupt->connection);
    interrupt->Notify(false);
}

} // extern "C"
