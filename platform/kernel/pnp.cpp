// The PnP and power manager: device nodes on the emulated bus, their stacks composed from the registry,
// and the stack-wide transitions (start, stop, removal, idle, system sleep) that the drivers' handlers
// carry out device by device.
//
// Order across a stack: devices start from the bottom up, each completing its own start (prepare
// hardware, D0 entry) before the device above begins, and enter D0 from the bottom up; they leave D0
// from the top down, so the function driver can still send requests to its lower filter from its D0
// callbacks on the way up and on the way down. Release and removal also run from the top down. The
// transitions call the handlers directly instead of sending PnP and power requests down the stack.
#include "iomgr.h"

#include <powerbase.h>

#include <host/executive.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/power_broadcast.h>
#include <host/registry.h>
#include <host/verifier.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace host::io
{

// The bus's own device at the bottom of each stack: it answers what reaches it, as a bus driver does
// for a function it knows nothing about.
struct BusHandler : DeviceHandler {
    void Dispatch(Device* device, Irp* irp) override;
    NTSTATUS EnterD0(DEVICE_POWER_STATE, bool) override { return STATUS_SUCCESS; }
    void LeaveD0(DEVICE_POWER_STATE, bool) override {}
    void Removed() override {}
};

struct Node;

// A system work item that leads back to its node.
struct NodeWork {
    host::WorkItem item;
    Node* node = nullptr;
    static Node* From(host::WorkItem* item) { return reinterpret_cast<NodeWork*>(item)->node; }
};

struct Node {
    Node()
    {
        KeInitializeEvent(&lock, SynchronizationEvent, TRUE);
        KeInitializeEvent(&d0, NotificationEvent, FALSE);
        KeInitializeTimerEx(&idleTimer, NotificationTimer);
        KeInitializeDpc(&idleDpc, IdleDpc, this);
        using Routine = void (*)(host::WorkItem*);
        for (auto [work, routine] : {std::pair<NodeWork*, Routine>{&idleWork, IdleWork},
                                     std::pair<NodeWork*, Routine>{&powerUpWork, PowerUpWork},
                                     std::pair<NodeWork*, Routine>{&failWork, FailWork}}) {
            work->node = this;
            work->item.routine = routine;
        }
    }
    static void IdleDpc(PKDPC, PVOID context, PVOID, PVOID);
    static void IdleWork(host::WorkItem* item);
    static void PowerUpWork(host::WorkItem* item);
    static void FailWork(host::WorkItem* item);

    PnpBusDevice bus;
    std::u16string enumKey;
    std::u16string driverKey;
    std::u16string service;
    std::vector<std::u16string> lowerFilters;
    std::vector<std::u16string> upperFilters;
    BusHandler busHandler;
    Device* pdo = nullptr;
    std::vector<std::u16string> loaded; // services loaded for the stack

    // Guarded by `lock` (a passive lock: transitions call drivers, which may wait).
    KEVENT lock;
    PnpState state = PnpState::NotStarted;
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;

    // Guarded by `stateLock`, which is never held across a call out.
    std::mutex stateLock;
    bool inD0 = false;
    bool idleOff = false; // in Dx because the idle time-out passed
    POWER_ACTION action = PowerActionNone;
    long references = 0;
    IdlePolicy idle;
    bool restartAfterFailure = false;
    std::vector<RemovalListener*> listeners;

    KEVENT d0; // set while in D0, and when the node can no longer get there
    KTIMER idleTimer;
    KDPC idleDpc;
    NodeWork idleWork;
    NodeWork powerUpWork;
    NodeWork failWork;
};

// Device control is the bus's to answer when it set a handler (see PnpBusDevice::deviceControl).
void BusHandler::Dispatch(Device* device, Irp* irp)
{
    Node* node = device->node;
    if (irp->major == IRP_MJ_DEVICE_CONTROL && node != nullptr && node->bus.deviceControl) {
        ULONG_PTR information = 0;
        NTSTATUS status = node->bus.deviceControl(irp->ioctl, irp->buffer.data(), irp->inputLength,
                                                  irp->outputLength, &information);
        Complete(irp, status, information);
        return;
    }
    bool file = irp->major == IRP_MJ_CREATE || irp->major == IRP_MJ_CLEANUP || irp->major == IRP_MJ_CLOSE;
    Complete(irp, file ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

namespace
{

struct Manager {
    std::mutex lock;
    std::vector<std::unique_ptr<Node>> nodes; // kept after removal: late work items may still look
    KEVENT serial;                            // one PnP operation at a time
    Manager() { KeInitializeEvent(&serial, SynchronizationEvent, TRUE); }
};

Manager& M()
{
    static Manager* manager = new Manager;
    return *manager;
}

void Lock(Node* node)
{
    KeWaitForSingleObject(&node->lock, Executive, KernelMode, FALSE, nullptr);
}

void Unlock(Node* node)
{
    KeSetEvent(&node->lock, IO_NO_INCREMENT, FALSE);
}

Node* FindNode(std::u16string_view instanceId)
{
    std::lock_guard<std::mutex> guard(M().lock);
    for (auto it = M().nodes.rbegin(); it != M().nodes.rend(); ++it)
        if (Upcase((*it)->bus.instanceId) == Upcase(instanceId) && (*it)->state != PnpState::Removed)
            return it->get();
    return nullptr;
}

std::vector<Node*> LiveNodes()
{
    std::lock_guard<std::mutex> guard(M().lock);
    std::vector<Node*> nodes;
    for (auto& node : M().nodes)
        if (node->state != PnpState::Removed)
            nodes.push_back(node.get());
    return nodes;
}

// The drivers' devices, bottom-up (the bus's device excluded).
std::vector<Device*> DriverDevices(Node* node)
{
    if (node->pdo == nullptr)
        return {};
    std::vector<Device*> stack = DeviceStack(node->pdo);
    stack.erase(stack.begin());
    return stack;
}

std::vector<std::u16string> MultiString(std::u16string_view key, std::u16string_view name)
{
    std::vector<std::u16string> strings;
    auto value = RegistryGetValue(key, name);
    if (!value || value->type != REG_MULTI_SZ)
        return strings;
    const auto* text = reinterpret_cast<const char16_t*>(value->data.data());
    size_t length = value->data.size() / sizeof(char16_t);
    std::u16string current;
    for (size_t i = 0; i < length; i++) {
        if (text[i] != 0) {
            current.push_back(text[i]);
        } else if (!current.empty()) {
            strings.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty())
        strings.push_back(current);
    return strings;
}

std::u16string String(std::u16string_view key, std::u16string_view name)
{
    auto value = RegistryGetValue(key, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return {};
    return RegistryText(value->data);
}

std::u16string MatchKey(std::u16string_view hardwareId)
{
    std::u16string id(hardwareId);
    std::replace(id.begin(), id.end(), u'\\', u'#');
    return std::u16string(kDeviceMatchKey) + u"\\" + id;
}

// Finds the drivers for the device and records the installation in its instance and driver keys.
bool Match(Node* node)
{
    constexpr std::u16string_view kDefaultClass = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";
    for (auto& id : node->bus.hardwareIds) {
        std::u16string key = MatchKey(id);
        if (!RegistryKeyExists(key))
            continue;
        node->service = String(key, u"Service");
        node->lowerFilters = MultiString(key, u"LowerFilters");
        node->upperFilters = MultiString(key, u"UpperFilters");
        std::u16string classGuid = String(key, u"ClassGuid");
        if (classGuid.empty())
            classGuid = kDefaultClass;
        RegistrySetMultiString(node->enumKey, u"HardwareID", node->bus.hardwareIds);
        RegistrySetString(node->enumKey, u"Service", node->service);
        RegistrySetString(node->enumKey, u"ClassGUID", classGuid);
        if (!node->lowerFilters.empty())
            RegistrySetMultiString(node->enumKey, u"LowerFilters", node->lowerFilters);
        if (!node->upperFilters.empty())
            RegistrySetMultiString(node->enumKey, u"UpperFilters", node->upperFilters);
        RegistryCreateKey(node->enumKey + u"\\Device Parameters");
        std::u16string driver = String(node->enumKey, u"Driver");
        if (driver.empty()) {
            std::u16string classKey = std::u16string(kClassKey) + u"\\" + classGuid;
            char index[8];
            snprintf(index, sizeof(index), "%04zu", RegistrySubkeys(classKey).size());
            driver = classGuid + u"\\" + std::u16string(index, index + 4);
            RegistrySetString(node->enumKey, u"Driver", driver);
        }
        node->driverKey = std::u16string(kClassKey) + u"\\" + driver;
        RegistryCreateKey(node->driverKey);
        return !node->service.empty();
    }
    return false;
}

void NotifyBus(Node* node, DEVICE_POWER_STATE state)
{
    if (node->bus.powerChanged)
        node->bus.powerChanged(state, node->systemState);
}

void SetInD0(Node* node, bool inD0)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    node->inD0 = inD0;
    if (inD0) {
        node->idleOff = false;
        KeSetEvent(&node->d0, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&node->d0);
    }
}

// Starts the idle time-out when nothing holds the stack in D0 (stateLock held).
void ArmIdleLocked(Node* node)
{
    if (node->idle.enabled && node->references == 0 && node->inD0 && node->state == PnpState::Started) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(node->idle.timeoutMs) * 10000;
        KeSetTimer(&node->idleTimer, due, &node->idleDpc);
    }
}

void CancelIdle(Node* node)
{
    KeCancelTimer(&node->idleTimer);
    KeRemoveQueueDpc(&node->idleDpc);
}

void PowerDown(Node* node, DEVICE_POWER_STATE target, bool final)
{
    CancelIdle(node);
    auto devices = DriverDevices(node);
    for (auto it = devices.rbegin(); it != devices.rend(); ++it)
        (*it)->handler->LeaveD0(target, final);
    SetInD0(node, false);
    NotifyBus(node, PowerDeviceD3);
}

void ReleaseAll(Node* node)
{
    auto devices = DriverDevices(node);
    for (auto it = devices.rbegin(); it != devices.rend(); ++it)
        (*it)->handler->ReleaseHardware();
}

// Unwinds the devices below `failed` that had started, after `failed` itself released its hardware.
void UnwindStart(Node* node, const std::vector<Device*>& devices, size_t failed)
{
    for (size_t i = failed; i-- > 0;)
        devices[i]->handler->LeaveD0(PowerDeviceD3, true);
    for (size_t i = failed; i-- > 0;)
        devices[i]->handler->ReleaseHardware();
    SetInD0(node, false);
    NotifyBus(node, PowerDeviceD3);
}

// A device whose prepare-hardware fails is told to release its hardware (it may have claimed some of it
// before failing), as is one whose first D0 entry fails; the devices below it are stopped again, and
// the stack stays failed until it is started anew.
NTSTATUS Start(Node* node)
{
    auto devices = DriverDevices(node);
    NotifyBus(node, PowerDeviceD0);
    for (size_t i = 0; i < devices.size(); i++) {
        NTSTATUS status = devices[i]->handler->PrepareHardware();
        if (NT_SUCCESS(status))
            status = devices[i]->handler->EnterD0(PowerDeviceD3, true);
        if (!NT_SUCCESS(status)) {
            devices[i]->handler->ReleaseHardware();
            UnwindStart(node, devices, i);
            node->state = PnpState::Failed;
            KeSetEvent(&node->d0, IO_NO_INCREMENT, FALSE); // power waiters give up
            return status;
        }
    }
    node->state = PnpState::Started;
    SetInD0(node, true);
    std::lock_guard<std::mutex> guard(node->stateLock);
    ArmIdleLocked(node);
    return STATUS_SUCCESS;
}

// Back to D0 from idle or sleep. A device that fails its D0 entry fails the stack.
void PowerUp(Node* node)
{
    auto devices = DriverDevices(node);
    NotifyBus(node, PowerDeviceD0);
    for (size_t i = 0; i < devices.size(); i++) {
        NTSTATUS status = devices[i]->handler->EnterD0(PowerDeviceD3, false);
        if (!NT_SUCCESS(status)) {
            for (size_t j = i; j-- > 0;)
                devices[j]->handler->LeaveD0(PowerDeviceD3, true);
            ReleaseAll(node);
            SetInD0(node, false);
            NotifyBus(node, PowerDeviceD3);
            node->state = PnpState::Failed;
            KeSetEvent(&node->d0, IO_NO_INCREMENT, FALSE);
            return;
        }
    }
    SetInD0(node, true);
}

void UnloadDrivers(Node* node)
{
    for (auto it = node->loaded.rbegin(); it != node->loaded.rend(); ++it)
        DriverUnload(*it);
    node->loaded.clear();
}

// Tears down the drivers' devices from the top; the bus's device stays.
void RemoveFunctionStack(Node* node)
{
    CancelIdle(node);
    auto devices = DriverDevices(node);
    for (auto it = devices.rbegin(); it != devices.rend(); ++it)
        (*it)->handler->Removed();
    UnloadDrivers(node);
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        node->inD0 = false;
    }
    KeSetEvent(&node->d0, IO_NO_INCREMENT, FALSE);
}

// Loads the stack's drivers from the bottom up and lets each add its device.
NTSTATUS AddDrivers(Node* node)
{
    std::vector<std::u16string> services = node->lowerFilters;
    services.push_back(node->service);
    services.insert(services.end(), node->upperFilters.begin(), node->upperFilters.end());
    for (auto& service : services) {
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = DriverLoad(service, &driver);
        if (NT_SUCCESS(status)) {
            node->loaded.push_back(service);
            if (driver->DriverExtension != nullptr && driver->DriverExtension->AddDevice != nullptr) {
                KIRQL irql;
                int locks;
                CallbackEnter("AddDevice", &irql, &locks);
                status = driver->DriverExtension->AddDevice(driver, &node->pdo->object);
                CallbackLeave("AddDevice", irql, locks);
            }
        }
        if (!NT_SUCCESS(status)) {
            RemoveFunctionStack(node);
            node->state = PnpState::Failed;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS AddAndStart(Node* node)
{
    KeClearEvent(&node->d0);
    NTSTATUS status = AddDrivers(node);
    return NT_SUCCESS(status) ? Start(node) : status;
}

// Stops a started stack: out of D0 for good, then the hardware released.
void StopStack(Node* node)
{
    bool inD0;
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        inD0 = node->inD0;
    }
    // Out of D0 already (idle or asleep), the bus knows the device is in D3.
    if (inD0)
        PowerDown(node, PowerDeviceD3, true);
    ReleaseAll(node);
}

std::vector<RemovalListener*> Listeners(Node* node)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    return node->listeners;
}

NTSTATUS QueryRemove(Node* node)
{
    auto listeners = Listeners(node);
    for (size_t i = 0; i < listeners.size(); i++) {
        NTSTATUS status = listeners[i]->QueryRemove();
        if (!NT_SUCCESS(status)) {
            for (size_t j = 0; j < i; j++)
                listeners[j]->RemoveCanceled();
            return status;
        }
    }
    if (node->state == PnpState::Started) {
        auto devices = DriverDevices(node);
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            NTSTATUS status = (*it)->handler->QueryRemove();
            if (!NT_SUCCESS(status)) {
                for (auto* listener : listeners)
                    listener->RemoveCanceled();
                return status;
            }
        }
    }
    return STATUS_SUCCESS;
}

// The stack goes away: stopped if it runs, its devices removed, its drivers unloaded.
void RemoveStack(Node* node, bool surprise)
{
    if (surprise && node->state == PnpState::Started) {
        auto devices = DriverDevices(node);
        for (auto it = devices.rbegin(); it != devices.rend(); ++it)
            (*it)->handler->SurpriseRemoved();
    }
    if (node->state == PnpState::Started)
        StopStack(node);
    for (auto* listener : Listeners(node))
        listener->RemoveComplete();
    RemoveFunctionStack(node);
}

void ForgetNode(Node* node)
{
    RemoveStack(node, false);
    if (node->pdo != nullptr) {
        DeviceRundown(node->pdo);
        DeviceDelete(node->pdo);
        node->pdo = nullptr;
    }
    node->state = PnpState::Removed;
}

// Runs a host control on a PnP manager thread, one at a time: waited for, or queued (the call then
// belongs to the thread).
struct PnpCall {
    std::function<NTSTATUS()> run;
    bool queued = false;
    NTSTATUS status = STATUS_SUCCESS;
};

void PnpThread(PVOID context)
{
    auto* call = static_cast<PnpCall*>(context);
    KeWaitForSingleObject(&M().serial, Executive, KernelMode, FALSE, nullptr);
    call->status = call->run();
    KeSetEvent(&M().serial, IO_NO_INCREMENT, FALSE);
    if (call->queued)
        delete call;
}

NTSTATUS QueueOnPnpThread(std::function<NTSTATUS()> run)
{
    auto* call = new PnpCall{std::move(run), true};
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, PnpThread, call);
    if (!NT_SUCCESS(status)) {
        delete call;
        return status;
    }
    ZwClose(handle);
    return STATUS_SUCCESS;
}

NTSTATUS OnPnpThread(std::function<NTSTATUS()> run)
{
    PnpCall call{std::move(run)};
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, PnpThread, &call);
    if (!NT_SUCCESS(status))
        return status;
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
        return status;
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    return call.status;
}

// Runs `run` on the node of `instanceId` under its lock, on the PnP manager's thread.
NTSTATUS OnNode(std::u16string_view instanceId, std::function<NTSTATUS(Node*)> run)
{
    std::u16string id(instanceId);
    return OnPnpThread([id, run]() -> NTSTATUS {
        Node* node = FindNode(id);
        if (node == nullptr)
            return STATUS_NO_SUCH_DEVICE;
        Lock(node);
        NTSTATUS status = run(node);
        Unlock(node);
        return status;
    });
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Asynchronous power work: idle time-outs, power-up on demand, restarts after a driver's failure.

void Node::IdleDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    host::WorkQueue(&static_cast<Node*>(context)->idleWork.item);
}

void Node::IdleWork(host::WorkItem* item)
{
    Node* node = NodeWork::From(item);
    Lock(node);
    bool idleOut;
    DEVICE_POWER_STATE target;
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        idleOut =
            node->idle.enabled && node->references == 0 && node->inD0 && node->state == PnpState::Started;
        target = PowerDeviceD3;
        node->action = PowerActionNone;
    }
    if (idleOut) {
        PowerDown(node, target, false);
        bool wanted;
        {
            std::lock_guard<std::mutex> guard(node->stateLock);
            node->idleOff = true;
            wanted = node->references != 0; // a request arrived while the stack went down
        }
        if (wanted)
            PowerUp(node);
    }
    Unlock(node);
}

void Node::PowerUpWork(host::WorkItem* item)
{
    Node* node = NodeWork::From(item);
    Lock(node);
    bool up;
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        up = node->state == PnpState::Started && !node->inD0 && node->systemState == PowerSystemWorking;
    }
    if (up)
        PowerUp(node);
    std::lock_guard<std::mutex> guard(node->stateLock);
    ArmIdleLocked(node);
    Unlock(node);
}

void Node::FailWork(host::WorkItem* item)
{
    Node* node = NodeWork::From(item);
    Lock(node);
    if (node->state == PnpState::Started) {
        StopStack(node);
        node->state = PnpState::Failed;
        bool restart;
        {
            std::lock_guard<std::mutex> guard(node->stateLock);
            restart = node->restartAfterFailure;
        }
        if (restart)
            Start(node);
    }
    Unlock(node);
}

// ---------------------------------------------------------------------------------------------
// What the framework asks of a device's node.

Node* NodeOf(Device* device)
{
    return device->node;
}

std::u16string NodeInstanceId(Node* node)
{
    return node->bus.instanceId;
}

std::vector<std::u16string> NodeHardwareIds(Node* node)
{
    return node->bus.hardwareIds;
}

std::u16string NodeEnumKey(Node* node)
{
    return node->enumKey;
}

std::u16string NodeDriverKey(Node* node)
{
    return node->driverKey;
}

Device* NodePdo(Node* node)
{
    return node->pdo;
}

const std::vector<UCHAR>& NodeResources(Node* node, bool translated)
{
    return translated ? node->bus.translatedResources : node->bus.rawResources;
}

NTSTATUS NodeQueryInterface(Node* node, const GUID& guid, USHORT size, USHORT version, PINTERFACE interface)
{
    if (!node->bus.queryInterface)
        return STATUS_NOT_SUPPORTED;
    return node->bus.queryInterface(guid, size, version, interface);
}

POWER_ACTION NodePowerAction(Node* node)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    return node->action;
}

void NodeSetFailed(Node* node, bool restart)
{
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        node->restartAfterFailure = restart;
    }
    host::WorkQueue(&node->failWork.item);
}

void NodeSetIdlePolicy(Node* node, const IdlePolicy& policy)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        node->idle = policy;
        if (policy.enabled) {
            ArmIdleLocked(node);
        } else {
            KeCancelTimer(&node->idleTimer);
            wake = node->idleOff;
        }
    }
    if (wake)
        host::WorkQueue(&node->powerUpWork.item);
}

bool NodePowerReference(Node* node, bool wait)
{
    {
        std::lock_guard<std::mutex> guard(node->stateLock);
        if (node->references++ == 0) {
            KeCancelTimer(&node->idleTimer);
            if (node->idleOff && !node->inD0)
                host::WorkQueue(&node->powerUpWork.item);
        }
    }
    if (!wait)
        return true;
    KeWaitForSingleObject(&node->d0, Executive, KernelMode, FALSE, nullptr);
    return NodeInD0(node);
}

void NodePowerDereference(Node* node)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    if (node->references <= 0) {
        VerifierReport(Check::InvalidParameter, "power reference released that was not taken");
        return;
    }
    if (--node->references == 0)
        ArmIdleLocked(node);
}

bool NodeInD0(Node* node)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    return node->inD0;
}

void NodeAddListener(Node* node, RemovalListener* listener)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    node->listeners.push_back(listener);
}

void NodeRemoveListener(Node* node, RemovalListener* listener)
{
    std::lock_guard<std::mutex> guard(node->stateLock);
    auto& listeners = node->listeners;
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

} // namespace host::io

// ---------------------------------------------------------------------------------------------
// Host controls.
namespace host
{

using namespace io;

NTSTATUS PnpInstallDriver(std::u16string_view hardwareId, std::u16string_view service,
                          const std::vector<std::u16string>& lowerFilters,
                          const std::vector<std::u16string>& upperFilters)
{
    std::u16string key = MatchKey(hardwareId);
    NTSTATUS status = RegistrySetString(key, u"Service", service);
    if (NT_SUCCESS(status) && !lowerFilters.empty())
        status = RegistrySetMultiString(key, u"LowerFilters", lowerFilters);
    if (NT_SUCCESS(status) && !upperFilters.empty())
        status = RegistrySetMultiString(key, u"UpperFilters", upperFilters);
    return status;
}

namespace
{

// On the PnP manager's thread: a new node for the device, its stack built and started.
NTSTATUS AddNode(const PnpBusDevice& device)
{
    if (FindNode(device.instanceId) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    auto owned = std::make_unique<Node>();
    Node* node = owned.get();
    node->bus = device;
    node->enumKey = std::u16string(kEnumKey) + u"\\" + device.instanceId;
    NTSTATUS status = RegistryCreateKey(node->enumKey);
    if (!NT_SUCCESS(status))
        return status;
    status = DeviceCreate(nullptr, u"", FILE_DEVICE_BUS_EXTENDER, 0, false, &node->busHandler, &node->pdo);
    if (!NT_SUCCESS(status))
        return status;
    node->pdo->node = node;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        M().nodes.push_back(std::move(owned));
    }
    Lock(node);
    status = Match(node) ? AddAndStart(node) : STATUS_NOT_FOUND;
    Unlock(node);
    return status;
}

void SurpriseRemove(Node* node)
{
    RemoveStack(node, true);
    ForgetNode(node);
}

} // namespace

NTSTATUS PnpAddDevice(const PnpBusDevice& device)
{
    if (device.instanceId.empty() || device.hardwareIds.empty())
        return STATUS_INVALID_PARAMETER;
    return OnPnpThread([device]() -> NTSTATUS { return AddNode(device); });
}

NTSTATUS PnpRequestReenumeration(std::u16string_view instanceId)
{
    if (FindNode(instanceId) == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    std::u16string id(instanceId);
    return QueueOnPnpThread([id]() -> NTSTATUS {
        Node* node = FindNode(id);
        if (node == nullptr)
            return STATUS_NO_SUCH_DEVICE; // removed meanwhile
        Lock(node);
        PnpBusDevice device = node->bus;
        SurpriseRemove(node);
        Unlock(node);
        return AddNode(device);
    });
}

NTSTATUS PnpStopDevice(std::u16string_view instanceId)
{
    return OnNode(instanceId, [](Node* node) -> NTSTATUS {
        if (node->state != PnpState::Started)
            return STATUS_INVALID_DEVICE_STATE;
        auto devices = DriverDevices(node);
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            NTSTATUS status = (*it)->handler->QueryStop();
            if (!NT_SUCCESS(status))
                return status;
        }
        StopStack(node);
        node->state = PnpState::Stopped;
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpStartDevice(std::u16string_view instanceId)
{
    return OnNode(instanceId, [](Node* node) -> NTSTATUS {
        if (node->state != PnpState::Stopped && node->state != PnpState::Failed)
            return STATUS_INVALID_DEVICE_STATE;
        if (DriverDevices(node).empty())
            return AddAndStart(node);
        KeClearEvent(&node->d0);
        return Start(node);
    });
}

NTSTATUS PnpRemoveDevice(std::u16string_view instanceId)
{
    return OnNode(instanceId, [](Node* node) -> NTSTATUS {
        NTSTATUS status = QueryRemove(node);
        if (NT_SUCCESS(status))
            ForgetNode(node);
        return status;
    });
}

NTSTATUS PnpSurpriseRemoveDevice(std::u16string_view instanceId)
{
    return OnNode(instanceId, [](Node* node) -> NTSTATUS {
        SurpriseRemove(node);
        return STATUS_SUCCESS;
    });
}

namespace
{

NTSTATUS ForHardwareId(std::u16string_view hardwareId, std::function<NTSTATUS(Node*)> run)
{
    std::u16string id = Upcase(hardwareId);
    return OnPnpThread([id, run]() -> NTSTATUS {
        NTSTATUS result = STATUS_NOT_FOUND;
        for (Node* node : LiveNodes()) {
            bool match = false;
            for (auto& candidate : node->bus.hardwareIds)
                match = match || Upcase(candidate) == id;
            if (!match)
                continue;
            Lock(node);
            NTSTATUS status = run(node);
            Unlock(node);
            if (result == STATUS_NOT_FOUND || !NT_SUCCESS(status))
                result = status;
        }
        return result;
    });
}

} // namespace

NTSTATUS PnpDisable(std::u16string_view hardwareId)
{
    return ForHardwareId(hardwareId, [](Node* node) -> NTSTATUS {
        if (node->state == PnpState::Disabled)
            return STATUS_SUCCESS;
        NTSTATUS status = QueryRemove(node);
        if (!NT_SUCCESS(status))
            return status;
        RemoveStack(node, false);
        node->state = PnpState::Disabled;
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpEnable(std::u16string_view hardwareId)
{
    return ForHardwareId(hardwareId, [](Node* node) -> NTSTATUS {
        if (node->state != PnpState::Disabled)
            return STATUS_SUCCESS;
        return Match(node) ? AddAndStart(node) : STATUS_NOT_FOUND;
    });
}

PnpState PnpQueryState(std::u16string_view instanceId)
{
    Node* node = FindNode(instanceId);
    return node == nullptr ? PnpState::Removed : node->state;
}

std::u16string PnpDriverKey(std::u16string_view instanceId)
{
    Node* node = FindNode(instanceId);
    return node == nullptr ? std::u16string() : io::NodeDriverKey(node);
}

DEVICE_POWER_STATE PnpQueryPowerState(std::u16string_view instanceId)
{
    Node* node = FindNode(instanceId);
    return node != nullptr && NodeInD0(node) ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS PnpIdleNow(std::u16string_view instanceId)
{
    std::u16string id(instanceId);
    return OnPnpThread([id]() -> NTSTATUS {
        Node* node = FindNode(id);
        if (node == nullptr)
            return STATUS_NO_SUCH_DEVICE;
        CancelIdle(node);
        Node::IdleWork(&node->idleWork.item);
        return NodeInD0(node) ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    });
}

NTSTATUS PnpSystemSleep(SYSTEM_POWER_STATE state)
{
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate)
        return STATUS_INVALID_PARAMETER;
    PowerBroadcastSuspendResume(PBT_APMSUSPEND);
    return OnPnpThread([state]() -> NTSTATUS {
        auto nodes = LiveNodes();
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            Node* node = *it;
            Lock(node);
            bool inD0;
            {
                std::lock_guard<std::mutex> guard(node->stateLock);
                node->action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
                inD0 = node->inD0;
            }
            node->systemState = state;
            if (node->state == PnpState::Started && inD0)
                PowerDown(node, PowerDeviceD3, false);
            else if (node->state == PnpState::Started)
                NotifyBus(node, PowerDeviceD3); // an idle device loses power with the system
            Unlock(node);
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpSystemResume()
{
    NTSTATUS status = OnPnpThread([]() -> NTSTATUS {
        for (Node* node : LiveNodes()) {
            Lock(node);
            if (node->systemState != PowerSystemWorking) {
                node->systemState = PowerSystemWorking;
                if (node->state == PnpState::Started)
                    PowerUp(node);
                std::lock_guard<std::mutex> guard(node->stateLock);
                node->action = PowerActionNone;
                ArmIdleLocked(node);
            }
            Unlock(node);
        }
        return STATUS_SUCCESS;
    });
    PowerBroadcastSuspendResume(PBT_APMRESUMEAUTOMATIC);
    PowerBroadcastSuspendResume(PBT_APMRESUMESUSPEND);
    return status;
}

NTSTATUS PnpSignalWake(std::u16string_view instanceId)
{
    return OnNode(instanceId, [](Node* node) -> NTSTATUS {
        bool idleOff;
        {
            std::lock_guard<std::mutex> guard(node->stateLock);
            idleOff = node->idleOff && !node->inD0 && node->state == PnpState::Started;
        }
        if (!idleOff)
            return STATUS_INVALID_DEVICE_STATE;
        auto devices = DriverDevices(node);
        for (auto* device : devices)
            device->handler->WakeTriggered();
        PowerUp(node);
        std::lock_guard<std::mutex> guard(node->stateLock);
        ArmIdleLocked(node);
        return STATUS_SUCCESS;
    });
}

} // namespace host
