// The I/O manager and PnP manager as the framework sees them: device objects in stacks, the request
// record that travels down a stack and completes back up it, file objects, names, and the device node
// whose stack the PnP manager starts, powers and removes. Private to platform/.
#pragma once

#include <wdm.h>

#include <host/object.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host::io
{

struct Device;
struct Node;
struct File;

// Text as the object manager and the registry compare and store it.
std::u16string Upcase(std::u16string_view text);
// A counted string over `text`'s characters, which must outlive it.
UNICODE_STRING Counted(std::u16string& text);
// The characters of a counted string (empty for none).
std::u16string Text(PCUNICODE_STRING text);
// A string value's text without its terminators.
std::u16string RegistryText(const std::vector<UCHAR>& data);

// One request. Each device it passes pushes a frame; completion pops the frames from the top and runs
// each frame's routine, which may stop the unwinding by returning false (it then owns the request and
// completes it again later).
struct Irp {
    IRP irp{};
    UCHAR major = 0;
    ULONG ioctl = 0;
    size_t inputLength = 0;
    size_t outputLength = 0;
    LONGLONG offset = 0;
    std::vector<UCHAR> buffer; // the system buffer: input on the way down, output on the way up
    File* file = nullptr;

    using Completion = std::function<bool(Irp*)>;
    struct Frame {
        Device* device;
        Completion completion; // the sender's; may be empty
    };
    std::mutex lock; // frames, cancel state
    std::vector<Frame> frames;
    std::function<void(Irp*)> cancelRoutine;
    // Plain devices (plaindev.cpp): the stack location their dispatch routines read, and cancellation
    // decided by the IRP's own CancelRoutine under the cancel spin lock, which also sets `Cancel`.
    IO_STACK_LOCATION stack{};
    bool plain = false;

    Irp();
    // Sizes the system buffer for a request with these lengths and copies `input` into it.
    void Format(UCHAR major, ULONG ioctl, const void* input, size_t inputLength, size_t outputLength,
                LONGLONG offset = 0);
};

// Sends `irp` to `device`: `completion` runs (on the completing thread) when the device completes it.
void Call(Device* device, Irp* irp, Irp::Completion completion);
// Completes the request at its current device; reports a completion with no device holding it.
void Complete(Irp* irp, NTSTATUS status, ULONG_PTR information);
// Marks the request cancelled and runs the cancel routine of the device holding it, if one is set.
void Cancel(Irp* irp);
// Sets the routine unless the request is already cancelled (false). Pass nullptr to clear it: false
// then means the routine already ran or is running (it owns the completion).
bool SetCancelRoutine(Irp* irp, std::function<void(Irp*)> routine);
bool ClearCancelRoutine(Irp* irp);

// A request of a plain device's dispatch routine: the host record around it.
Irp* IrpFrom(PIRP irp);

// Plain devices: requests go to `table` (IRP_MJ_MAXIMUM_FUNCTION + 1 entries, copied; an empty entry
// completes with STATUS_INVALID_DEVICE_REQUEST). The extension is zero-filled and freed with the device.
// `link` may be empty.
NTSTATUS PlainDeviceCreate(PDRIVER_OBJECT driver, std::u16string_view name, std::u16string_view link, ULONG type,
                           const PDRIVER_DISPATCH* table, ULONG extensionSize, Device** device);
void PlainDeviceDelete(Device* device);

// Sends a request and waits for it: the time-out (100 ns units, relative when negative, nullptr for
// none) cancels it, and STATUS_IO_TIMEOUT is returned once it completes as cancelled. `completed` runs
// first thing on completion, before the waiter is released.
NTSTATUS CallSynchronously(Device* device, Irp* irp, const LONGLONG* timeout,
                           const std::function<void(Irp*)>& completed = {});

// What a device's driver answers. Framework devices implement it; the bus's own device is the host's.
struct DeviceHandler {
    virtual ~DeviceHandler() = default;
    // Every request arriving at the device: complete it, queue it, or pass it on.
    virtual void Dispatch(Device* device, Irp* irp) = 0;
    // PnP and power, on the PnP manager's thread, in stack order (see pnp.cpp).
    virtual NTSTATUS PrepareHardware() { return STATUS_SUCCESS; }
    virtual NTSTATUS EnterD0(DEVICE_POWER_STATE previous, bool first) = 0;
    virtual void LeaveD0(DEVICE_POWER_STATE target, bool final) = 0;
    virtual void ReleaseHardware() {}
    virtual NTSTATUS QueryStop() { return STATUS_SUCCESS; }
    virtual NTSTATUS QueryRemove() { return STATUS_SUCCESS; }
    virtual void SurpriseRemoved() {}
    // The last call: the handler deletes itself and its device.
    virtual void Removed() = 0;
    virtual void WakeTriggered() {}
};

struct Device {
    DEVICE_OBJECT object{};
    PDRIVER_OBJECT driver = nullptr;
    Node* node = nullptr;
    Device* lower = nullptr;
    Device* upper = nullptr;
    std::u16string name; // \Device\... or empty
    bool exclusive = false;
    long opens = 0;       // files open through this device
    bool deleted = false; // gone from its stack, kept until its last file closes
    DeviceHandler* handler = nullptr;
    // Run-down: once `removing` is set no new request reaches the handler, and the remover waits for
    // `dispatching` (the calls inside the handler) to drain.
    std::atomic<long> dispatching{0};
    std::atomic<bool> removing{false};
    KEVENT drained{};

    static Device* From(PDEVICE_OBJECT object);
};

// A device object for `driver` (nullptr for the bus's own device). A name that is already taken fails
// with STATUS_OBJECT_NAME_COLLISION.
NTSTATUS DeviceCreate(PDRIVER_OBJECT driver, std::u16string_view name, ULONG type, ULONG characteristics,
                      bool exclusive, DeviceHandler* handler, Device** device);
// Puts `device` on top of `lower`'s stack.
void DeviceAttach(Device* device, Device* lower);
// Stops requests from reaching the device's handler (they fail with STATUS_NO_SUCH_DEVICE; cleanup and
// close succeed) and waits for the calls already inside it to return.
void DeviceRundown(Device* device);
// Takes the device out of its stack, its names with it, and frees it once no file is open on it.
void DeviceDelete(Device* device);
// Counts a file opened on the device: false for a second file on an exclusive device or a deleted one.
bool DeviceOpen(Device* device);
void DeviceClosed(Device* device);
Device* DeviceTop(Device* device);
// The stack from `bottom` up.
std::vector<Device*> DeviceStack(Device* bottom);

// Object names: symbolic links (\DosDevices\X, \??\X, \GLOBAL??\X and \Device\X all resolve) and
// device interfaces.
NTSTATUS LinkCreate(std::u16string_view link, Device* device);
void LinksRemove(Device* device);
// The device a name (a device name, a link, or an interface path) leads to, or nullptr.
Device* Resolve(std::u16string_view name, std::u16string* remainder);

NTSTATUS InterfaceRegister(Device* pdo, const GUID& guid, std::u16string_view reference,
                           std::u16string* path);
NTSTATUS InterfaceSetState(std::u16string_view path, bool enabled);
std::vector<std::u16string> InterfaceList(const GUID& guid, bool enabledOnly);
// Hears of each interface that becomes enabled (`arrived`) or stops being so (disabled, or removed with
// its device), with its \??\ path: on the thread that changed it, outside the names' lock.
using InterfaceWatcher = void (*)(const GUID& guid, const std::u16string& path, bool arrived);
void InterfaceWatch(InterfaceWatcher watcher);

// An open file on a device stack.
struct File : host::Object {
    File() : host::Object(host::ObjectKind::File) {}
    std::mutex pendingLock;
    std::vector<Irp*> pending; // requests sent through the file and not yet returned (IoCancelRequests)
    Device* device = nullptr; // the device the create was sent to (the top of its stack)
    std::u16string name;      // what followed the device in the opened name
    void* context = nullptr;  // the framework's file object
};

// Opens `name` from kernel or user mode: IRP_MJ_CREATE to the top of the stack it leads to.
NTSTATUS FileOpen(std::u16string_view name, KPROCESSOR_MODE mode, File** file);
// Sends IRP_MJ_CLEANUP then IRP_MJ_CLOSE and drops the file.
void FileClose(File* file);
NTSTATUS FileRequest(File* file, UCHAR major, ULONG ioctl, const void* input, size_t inputLength,
                     void* output, size_t outputLength, ULONG_PTR* information, const LONGLONG* timeout);

// ---------------------------------------------------------------------------------------------
// The PnP manager's device node: the stack, its state, and the power policy the function driver set.
struct IdlePolicy {
    bool enabled = false;
    ULONG timeoutMs = 5000;
};

// The node of a device object (its PDO's node).
Node* NodeOf(Device* device);
std::u16string NodeInstanceId(Node* node);
std::vector<std::u16string> NodeHardwareIds(Node* node);
std::u16string NodeEnumKey(Node* node);   // \Registry\Machine\...\Enum\<instance>
std::u16string NodeDriverKey(Node* node); // \Registry\Machine\...\Control\Class\{guid}\NNNN
Device* NodePdo(Node* node);
// The CM_RESOURCE_LIST image the bus assigned (empty when it assigned none).
const std::vector<UCHAR>& NodeResources(Node* node, bool translated);
// The bus's answer to an interface query: STATUS_NOT_SUPPORTED when it offers none.
NTSTATUS NodeQueryInterface(Node* node, const GUID& guid, USHORT size, USHORT version, PINTERFACE interface);
POWER_ACTION NodePowerAction(Node* node);
// Asks the PnP manager to restart the stack (or leave it failed) after the driver reported a failure.
void NodeSetFailed(Node* node, bool restart);
void NodeSetIdlePolicy(Node* node, const IdlePolicy& policy);
// Power references: while any is held the stack stays in (or returns to) D0. Acquire with `wait`
// blocks until the stack is in D0 (false when it cannot get there: removed or failed).
bool NodePowerReference(Node* node, bool wait);
void NodePowerDereference(Node* node);
bool NodeInD0(Node* node);

// Holders of files on a stack (remote I/O targets) hear of its removal: the query comes before the
// drivers' own (a failure vetoes it), the outcome after.
struct RemovalListener {
    virtual ~RemovalListener() = default;
    virtual NTSTATUS QueryRemove() = 0;
    virtual void RemoveCanceled() = 0;
    virtual void RemoveComplete() = 0;
};
void NodeAddListener(Node* node, RemovalListener* listener);
void NodeRemoveListener(Node* node, RemovalListener* listener);

} // namespace host::io
