// Framework devices, queues, requests, files and I/O targets over the host's I/O and PnP manager.
// Private to the platform library.
#pragma once

#include "fx.h"
#include "kernel/iomgr.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <atomic>
#include <set>

namespace fx
{

struct Queue;
struct Request;
struct Interrupt;
struct DmaEnabler;
struct IoTarget;
struct FileObject;

struct Device;

// A class extension that a driver binds its device to on the WDFDEVICE_INIT (NetDeviceInitConfig and
// the like). The device tells each bound extension, in binding order, of the points of its life the
// extension must act at: the extension's own callbacks into the driver run there, on the PnP manager's
// thread, serialised with the device's PnP and power callbacks.
struct ClassExtension {
    virtual ~ClassExtension() = default;
    // The device was created from the init the extension is bound to.
    virtual void Created(Device* device) { (void)device; }
    // The device's D0 entry completed (self-managed I/O included), before the stack counts as in D0.
    virtual void D0Entered(Device* device) { (void)device; }
    // The device is about to leave D0 (to `target`; D3-final on stop and removal), before any of its
    // D0 exit: its queues still run and it may still be armed for wake afterwards.
    virtual void D0Leaving(Device* device, WDF_POWER_DEVICE_STATE target) { (void)device, (void)target; }
    // The device is being removed, before its self-managed I/O is flushed and its objects deleted.
    virtual void Removing(Device* device) { (void)device; }
};
using ClassExtensions = std::vector<std::shared_ptr<ClassExtension>>;

template <typename T> T* FindExtension(const ClassExtensions& extensions)
{
    for (auto& extension : extensions)
        if (auto* found = dynamic_cast<T*>(extension.get()))
            return found;
    return nullptr;
}

// The extensions bound to a device init so far (binding adds to the list).
ClassExtensions& DeviceInitExtensions(PWDFDEVICE_INIT init);

// What a driver sets in WDFDEVICE_INIT that its device keeps.
struct DeviceConfig {
    ClassExtensions extensions;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_POWER_POLICY_EVENT_CALLBACKS policy{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    bool hasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES requestAttributes{};
};

struct Device : Object, host::io::DeviceHandler, DeviceConfig {
    Device() : Object(Kind::Device) {}
    WDFDEVICE Handle() { return reinterpret_cast<WDFDEVICE>(ToHandle(this)); }

    // host::io::DeviceHandler
    void Dispatch(host::io::Device* device, host::io::Irp* irp) override;
    NTSTATUS PrepareHardware() override;
    NTSTATUS EnterD0(DEVICE_POWER_STATE previous, bool first) override;
    void LeaveD0(DEVICE_POWER_STATE target, bool final) override;
    void ReleaseHardware() override;
    NTSTATUS QueryStop() override;
    NTSTATUS QueryRemove() override;
    void SurpriseRemoved() override;
    void Removed() override;
    void WakeTriggered() override;

    // The queue that receives requests of a major function, or nullptr.
    Queue* QueueFor(UCHAR major);
    // Sends a request this device does not handle on to the next-lower device, unchanged.
    void Forward(host::io::Irp* irp);
    void DispatchFile(host::io::Irp* irp);
    // Marks whether power-managed queues may present and returns every queue.
    std::vector<Queue*> PowerQueues(bool powered);
    bool PowerManagedByDefault() const { return !filter; }

    Driver* driver = nullptr;
    host::io::Device* wdm = nullptr;
    host::io::Node* node = nullptr;
    bool filter = false;
    bool powerPolicyOwner = true;

    std::mutex ioLock; // queues, dispatching, files
    Queue* defaultQueue = nullptr;
    std::map<UCHAR, Queue*> dispatching;
    std::vector<Queue*> queues;
    std::map<host::io::File*, FileObject*> files;
    IoTarget* defaultTarget = nullptr;

    // PnP and power state, touched only on the PnP manager's thread.
    bool selfManagedIoInitialised = false;
    bool preparing = false; // inside EvtDevicePrepareHardware
    Object* rawResources = nullptr;
    Object* translatedResources = nullptr;
    std::vector<Interrupt*> interrupts;    // in creation order
    std::vector<DmaEnabler*> dmaEnablers;  // in creation order
    ULONG alignment = FILE_BYTE_ALIGNMENT; // what common buffers are aligned to (a mask)
    bool idleCanWake = false;
    bool sxWakeEnabled = false;
    bool armedS0 = false;
    bool armedSx = false;
    struct Interface {
        GUID guid;
        std::u16string reference;
        std::u16string path;
        bool enabled = true; // the state the driver wants while the device runs
    };
    std::vector<Interface> interfaces;
    bool started = false;       // interfaces are live while started
    bool queuesPowered = false; // guarded by ioLock: power-managed queues present only in D0
};

// Objects that belong to their device (interrupts, DMA enablers) take no other parent.
inline bool OtherParent(PWDF_OBJECT_ATTRIBUTES attributes, Device* device)
{
    return attributes != nullptr && attributes->ParentObject != nullptr &&
           attributes->ParentObject != ToHandle(device);
}

// The descriptors of one resource list handed to EvtDevicePrepareHardware.
struct ResourceList : Object {
    ResourceList() : Object(Kind::ResourceList) {}
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

// The device's interrupts (interrupt.cpp). Resources go to the interrupts created without any, in
// creation order, before EvtDevicePrepareHardware. Connection follows EvtDeviceD0Entry (on a failure
// to connect, or of EvtInterruptEnable, what had connected is disconnected again) and disconnection
// precedes EvtDeviceD0Exit; the interrupts created in EvtDevicePrepareHardware go after
// EvtDeviceReleaseHardware.
void InterruptsAssign(Device* device);
NTSTATUS InterruptsConnect(Device* device);
void InterruptsDisconnect(Device* device);
void InterruptsRelease(Device* device);

// The device's DMA enablers (dma.cpp) in the D0 sequence: false when one of the callbacks failed.
bool DmaEnablersEnter(Device* device);
void DmaEnablersLeave(Device* device);

struct Request : Object {
    Request();
    ~Request() override;
    WDFREQUEST Handle() { return reinterpret_cast<WDFREQUEST>(ToHandle(this)); }
    // Leaves the queue that presented the request and gives back its power reference.
    void Release();
    // Marks the request completed (or let go of); false when it already was.
    bool MarkCompleted();

    host::io::Irp* irp = nullptr;
    std::unique_ptr<host::io::Irp> ownIrp; // driver-created requests own theirs
    Device* device = nullptr;              // the device that received it (nullptr when driver-created)
    Queue* queue = nullptr;                // the queue it was last presented by
    bool powerReference = false;
    std::atomic<bool> completed{false};
    // Held while the framework hands a request it does not own to the driver (EvtIoStop, EvtIoResume,
    // a purge's cancel), so that no other thread completes it meanwhile; the driver may complete it
    // on the same thread.
    std::recursive_mutex completion;
    ULONG_PTR information = 0;
    PFN_WDF_REQUEST_CANCEL cancel = nullptr;
    bool stopAcknowledged = false;
    Object* inputMemory = nullptr;
    Object* outputMemory = nullptr;

    // Sending.
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
    WDFCONTEXT completionContext = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS completionParams{};
    IoTarget* sentTo = nullptr;
    // What a format asked for, applied when the request is sent: the buffers are read then.
    struct Format {
        bool pending = false;
        UCHAR major = 0;
        ULONG ioctl = 0;
        WDFMEMORY input = nullptr;
        WDFMEMORY_OFFSET inputOffset{};
        bool hasInputOffset = false;
        WDFMEMORY output = nullptr;
        WDFMEMORY_OFFSET outputOffset{};
        bool hasOutputOffset = false;
        LONGLONG offset = 0;
    } format;
    // The time-out of an asynchronous send; while set it holds a reference on the request.
    KTIMER timer{};
    KDPC timerDpc{};
    bool timerSet = false;
};

// A framework request for an arriving request at `device` (nullptr when out of memory).
Request* RequestCreateForIrp(Device* device, host::io::Irp* irp, const void* caller);
// Completes a received request: the verifier reports a second completion.
void RequestComplete(Request* request, NTSTATUS status, ULONG_PTR information);

struct Queue : Object {
    Queue() : Object(Kind::Queue) { KeInitializeEvent(&drained, NotificationEvent, TRUE); }
    WDFQUEUE Handle() { return reinterpret_cast<WDFQUEUE>(ToHandle(this)); }
    void Dispose() override;

    // A request arriving for the queue (or forwarded to it): held, presented, or refused.
    void Enqueue(Request* request, bool front = false);
    // Presents waiting requests while the queue may.
    void Pump();
    // The request left the driver (completed, forwarded, sent and forgotten).
    void Done(Request* request);
    // Stops presenting; `purge` also cancels waiting requests and refuses new ones until started.
    // `powerStop` is the device leaving D0. Driver-owned requests get EvtIoStop; waits until each of
    // those is completed or acknowledged when `wait`.
    void Stop(bool purge, bool powerStop, bool wait);
    void Start(bool powerStart);
    void Acknowledge(Request* request, bool requeue);
    // Takes a request off the queue's list of waiting ones (a manual queue's retrieval): nullptr when
    // none is left.
    Request* Retrieve();
    // A waiting request was cancelled: EvtIoCanceledOnQueue, or completion with STATUS_CANCELLED.
    void Cancelled(Request* request);

    Device* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool powerManaged = true;
    Object* serializer = nullptr; // whose lock the callbacks hold, by the synchronisation scope
    bool passive = false;         // callbacks at PASSIVE_LEVEL
    OwnedWork<Queue> pumpWork{};  // presents from a worker when a request arrives above PASSIVE_LEVEL

    std::mutex lock;
    std::deque<Request*> waiting;
    std::set<Request*> presented;
    bool running = true;
    bool accepting = true;
    bool powered = true; // power-managed queues present only in D0
    bool pumping = false;
    bool pumpAgain = false;
    KEVENT drained; // set while no presented request awaits completion or acknowledgement
};

struct FileObject : Object {
    FileObject() : Object(Kind::FileObject) {}
    Device* device = nullptr;
    host::io::File* file = nullptr;
    UNICODE_STRING name{};
};

struct IoTarget : Object, host::io::RemovalListener {
    IoTarget() : Object(Kind::IoTarget)
    {
        KeInitializeEvent(&drained, NotificationEvent, TRUE);
        KeInitializeEvent(&cancelDone, NotificationEvent, TRUE);
    }
    WDFIOTARGET Handle() { return reinterpret_cast<WDFIOTARGET>(ToHandle(this)); }
    void Dispose() override;

    // The device requests go to: the next-lower device for the default target, the opened stack's top
    // for a remote one; nullptr when closed.
    host::io::Device* Destination();
    // Checks the target's state and registers the request as sent: false with the status otherwise.
    bool BeginSend(host::io::Irp* irp, bool ignoreState, NTSTATUS* status);
    void EndSend(host::io::Irp* irp);
    // Cancels what was sent and, when `wait`, waits until all of it completed.
    void CancelSent(bool wait);
    // Cancels one request if it is still in flight through this target.
    void CancelOne(host::io::Irp* irp);
    void Close(WDF_IO_TARGET_STATE closed);

    // host::io::RemovalListener
    NTSTATUS QueryRemove() override;
    void RemoveCanceled() override;
    void RemoveComplete() override;

    Device* device = nullptr;
    bool isDefault = false;
    host::io::File* file = nullptr; // remote targets
    host::io::Node* watched = nullptr;
    std::u16string name;
    WDF_IO_TARGET_OPEN_PARAMS open{};

    std::mutex lock;
    WDF_IO_TARGET_STATE state = WdfIoTargetStarted;
    std::set<host::io::Irp*> sent;
    KEVENT drained;
    std::multimap<host::io::Irp*, PKTHREAD> cancelling; // being cancelled, outside the lock, by these threads
    KEVENT cancelDone;                                  // set while nothing is being cancelled
};

// The default target of a new device.
IoTarget* IoTargetCreateDefault(Device* device);

// Makes a framework string hold `text`.
NTSTATUS StringAssign(WDFSTRING string, PCUNICODE_STRING text);

// A value of an open registry key: its data and type.
NTSTATUS RegistryQueryValue(HANDLE key, PCUNICODE_STRING name, std::vector<UCHAR>* data, ULONG* type);

} // namespace fx
