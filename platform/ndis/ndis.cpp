// The emulated NDIS for lightweight filters: filter drivers, the binding engine that drives their modules
// over miniport edges, the OID and status paths through a module, control devices and support routines.
//
// Choices where NDIS's own behaviour is not visible to the filter:
// - A binding operation (attach, restart, pause, detach, power, the asynchronous restart) runs under one
//   binding lock per edge, a host event, so that a pre-detach that sleeps for seconds keeps the virtual
//   clock running.
// - A second filter driver with a UniqueName already registered is refused with
//   STATUS_OBJECT_NAME_COLLISION.
// - A module detached while it still holds an OS request, or with its own requests still at the
//   miniport, is a verifier report: NDIS waits for them, so a filter must have finished them.
#include <host/executive.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/ndis.h>
#include <host/pool.h>
#include <host/verifier.h>

#include "kernel/iomgr.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

namespace host::ndis
{
namespace
{

struct FilterDriver {
    PDRIVER_OBJECT driver = nullptr;
    NDIS_HANDLE context = nullptr;
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars{};
    std::u16string uniqueName;
    std::u16string serviceName;
};

struct Module {
    Edge* edge = nullptr;
    FilterDriver* driver = nullptr;
    NDIS_HANDLE context = nullptr;
    ModuleState state = ModuleState::None;
    bool inAttach = false;
    bool attributesSet = false;
    std::u16string name;
    WorkItem restart{};
    bool restartQueued = false;
};

struct ControlDevice {
    io::Device* device = nullptr;
};

} // namespace

struct Edge {
    EdgeInfo info;
    Miniport* miniport = nullptr;
    Protocol* protocol = nullptr;
    KEVENT binding{}; // the binding lock: a synchronization event, signalled while free

    std::mutex lock; // the fields below
    Module* module = nullptr;
    std::deque<PNDIS_OID_REQUEST> waiting; // OS requests waiting for the module
    PNDIS_OID_REQUEST atModule = nullptr;  // the OS request the module holds
    bool dispatching = false;              // a thread is handing OS requests to the module
    std::set<PNDIS_OID_REQUEST> sent;      // the module's own requests at the miniport
    DataPathCounts counts;
};

namespace
{

struct Ndis {
    std::mutex lock;
    std::vector<std::unique_ptr<FilterDriver>> drivers;
    std::vector<Edge*> edges;
    std::set<PNDIS_OID_REQUEST> completedToOs; // for the double-completion check
};

Ndis& N()
{
    static Ndis* ndis = new Ndis;
    return *ndis;
}

class BindingLock
{
  public:
    explicit BindingLock(Edge* edge) : edge_(edge)
    {
        KeWaitForSingleObject(&edge_->binding, Executive, KernelMode, FALSE, nullptr);
    }
    ~BindingLock() { KeSetEvent(&edge_->binding, IO_NO_INCREMENT, FALSE); }
    BindingLock(const BindingLock&) = delete;
    BindingLock& operator=(const BindingLock&) = delete;

  private:
    Edge* edge_;
};

// A filter handler, checked as a host callback (IRQL and spin locks unchanged on return).
template <typename F> auto Call(const char* what, F&& f)
{
    KIRQL irql;
    int locks;
    CallbackEnter(what, &irql, &locks);
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        CallbackLeave(what, irql, locks);
    } else {
        auto result = f();
        CallbackLeave(what, irql, locks);
        return result;
    }
}

// At DISPATCH_LEVEL, as NDIS delivers completions and indications from a miniport.
template <typename F> void AtDispatch(F&& f)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    f();
    KeLowerIrql(old);
}

Module* ModuleFrom(NDIS_HANDLE handle)
{
    return static_cast<Module*>(handle);
}

FilterDriver* DriverFromHandle(NDIS_HANDLE handle)
{
    std::lock_guard<std::mutex> guard(N().lock);
    for (auto& driver : N().drivers)
        if (driver.get() == handle)
            return driver.get();
    return nullptr;
}

FilterDriver* DriverByService(std::u16string_view service)
{
    std::lock_guard<std::mutex> guard(N().lock);
    for (auto& driver : N().drivers)
        if (io::Upcase(driver->serviceName) == io::Upcase(std::u16string(service)))
            return driver.get();
    return nullptr;
}

bool HeaderIs(const NDIS_OBJECT_HEADER& header, UCHAR type, UCHAR revision, USHORT size)
{
    return header.Type == type && header.Revision >= revision && header.Size >= size;
}

void CompleteToOs(Edge* edge, PNDIS_OID_REQUEST request, NDIS_STATUS status)
{
    edge->protocol->OidRequestComplete(request, status);
}

// Hands waiting OS requests to the module, one at a time, on the calling thread; the caller holds the
// edge's lock and has set `dispatching`.
void DispatchWaiting(Edge* edge, std::unique_lock<std::mutex>& held)
{
    while (edge->atModule == nullptr && !edge->waiting.empty() && edge->module != nullptr) {
        PNDIS_OID_REQUEST request = edge->waiting.front();
        edge->waiting.pop_front();
        edge->atModule = request;
        Module* module = edge->module;
        held.unlock();
        NDIS_STATUS status = Call("FilterOidRequest", [&] {
            return module->driver->chars.OidRequestHandler(module->context, request);
        });
        held.lock();
        if (status != NDIS_STATUS_PENDING) {
            if (edge->atModule == request)
                edge->atModule = nullptr;
            held.unlock();
            CompleteToOs(edge, request, status);
            held.lock();
        }
    }
    edge->dispatching = false;
}

void ReleaseWaitingToMiniport(Edge* edge)
{
    std::deque<PNDIS_OID_REQUEST> waiting;
    {
        std::lock_guard<std::mutex> guard(edge->lock);
        waiting.swap(edge->waiting);
    }
    for (PNDIS_OID_REQUEST request : waiting) {
        NDIS_STATUS status = edge->miniport->OidRequest(request);
        if (status != NDIS_STATUS_PENDING)
            CompleteToOs(edge, request, status);
    }
}

NDIS_STATUS PauseLocked(Module* module)
{
    if (module->state != ModuleState::Running)
        return NDIS_STATUS_SUCCESS;
    NDIS_FILTER_PAUSE_PARAMETERS params{};
    params.Header = {NDIS_OBJECT_TYPE_FILTER_PAUSE_PARAMETERS, 1, sizeof(params)};
    NDIS_STATUS status =
        Call("FilterPause", [&] { return module->driver->chars.PauseHandler(module->context, &params); });
    module->state = ModuleState::Paused;
    return status;
}

NDIS_STATUS RestartLocked(Module* module)
{
    if (module->state != ModuleState::Paused)
        return NDIS_STATUS_FAILURE;
    struct {
        NDIS_RESTART_ATTRIBUTES head;
        NDIS_RESTART_GENERAL_ATTRIBUTES general;
    } attributes{};
    attributes.head.Oid = OID_GEN_MINIPORT_RESTART_ATTRIBUTES;
    attributes.head.DataLength = sizeof(attributes.general);
    attributes.general.Header = {NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES, 1, sizeof(attributes.general)};
    NDIS_FILTER_RESTART_PARAMETERS params{};
    params.Header = {NDIS_OBJECT_TYPE_FILTER_RESTART_PARAMETERS, 1, sizeof(params)};
    params.MiniportMediaType = module->edge->info.medium;
    params.RestartAttributes = &attributes.head;
    NDIS_STATUS status =
        Call("FilterRestart", [&] { return module->driver->chars.RestartHandler(module->context, &params); });
    if (status == NDIS_STATUS_SUCCESS)
        module->state = ModuleState::Running;
    return status;
}

void DetachLocked(Edge* edge)
{
    Module* module = edge->module;
    if (module == nullptr)
        return;
    PauseLocked(module);
    if (module->restartQueued && WorkCancel(&module->restart))
        module->restartQueued = false;
    Call("FilterDetach", [&] { module->driver->chars.DetachHandler(module->context); });
    {
        std::lock_guard<std::mutex> guard(edge->lock);
        if (edge->atModule != nullptr)
            VerifierReport(Check::InvalidParameter, "filter module detached holding OS request %p",
                           static_cast<void*>(edge->atModule));
        if (!edge->sent.empty())
            VerifierReport(Check::InvalidParameter, "filter module detached with %zu requests at the miniport",
                           edge->sent.size());
        edge->atModule = nullptr;
        edge->sent.clear();
        edge->module = nullptr;
    }
    ReleaseWaitingToMiniport(edge);
    delete module;
}

void RestartWork(WorkItem* item)
{
    Module* module = CONTAINING_RECORD(item, Module, restart);
    Edge* edge = module->edge;
    BindingLock binding(edge);
    if (edge->module != module)
        return;
    module->restartQueued = false;
    PauseLocked(module);
    RestartLocked(module);
}

} // namespace

Edge* EdgeCreate(const EdgeInfo& info, Miniport* miniport, Protocol* protocol)
{
    auto* edge = new Edge;
    edge->info = info;
    edge->miniport = miniport;
    edge->protocol = protocol;
    KeInitializeEvent(&edge->binding, SynchronizationEvent, TRUE);
    std::lock_guard<std::mutex> guard(N().lock);
    N().edges.push_back(edge);
    return edge;
}

void EdgeDelete(Edge* edge)
{
    BindDetach(edge);
    {
        std::lock_guard<std::mutex> guard(N().lock);
        std::erase(N().edges, edge);
    }
    delete edge;
}

void EdgeCompleteOid(Edge* edge, PNDIS_OID_REQUEST request, NDIS_STATUS status)
{
    Module* module = nullptr;
    {
        std::lock_guard<std::mutex> guard(edge->lock);
        if (edge->sent.erase(request) != 0)
            module = edge->module;
    }
    AtDispatch([&] {
        if (module != nullptr)
            Call("FilterOidRequestComplete",
                 [&] { module->driver->chars.OidRequestCompleteHandler(module->context, request, status); });
        else
            CompleteToOs(edge, request, status);
    });
}

void EdgeIndicateStatus(Edge* edge, const NDIS_STATUS_INDICATION& indication)
{
    Module* module;
    {
        std::lock_guard<std::mutex> guard(edge->lock);
        module = edge->module;
    }
    NDIS_STATUS_INDICATION copy = indication;
    AtDispatch([&] {
        if (module != nullptr)
            Call("FilterStatus", [&] { module->driver->chars.StatusHandler(module->context, &copy); });
        else
            edge->protocol->Status(copy);
    });
}

NDIS_STATUS OsOidRequest(Edge* edge, PNDIS_OID_REQUEST request)
{
    std::unique_lock<std::mutex> held(edge->lock);
    {
        std::lock_guard<std::mutex> guard(N().lock);
        N().completedToOs.erase(request);
    }
    if (edge->module == nullptr) {
        held.unlock();
        return edge->miniport->OidRequest(request);
    }
    if (edge->atModule != nullptr || edge->dispatching || !edge->waiting.empty()) {
        edge->waiting.push_back(request);
        return NDIS_STATUS_PENDING;
    }
    edge->atModule = request;
    edge->dispatching = true;
    Module* module = edge->module;
    held.unlock();
    NDIS_STATUS status =
        Call("FilterOidRequest", [&] { return module->driver->chars.OidRequestHandler(module->context, request); });
    held.lock();
    if (status != NDIS_STATUS_PENDING && edge->atModule == request)
        edge->atModule = nullptr;
    DispatchWaiting(edge, held);
    return status;
}

void OsCancelOidRequest(Edge* edge, PVOID requestId)
{
    std::unique_lock<std::mutex> held(edge->lock);
    for (auto it = edge->waiting.begin(); it != edge->waiting.end(); ++it)
        if ((*it)->RequestId == requestId) {
            PNDIS_OID_REQUEST request = *it;
            edge->waiting.erase(it);
            held.unlock();
            CompleteToOs(edge, request, NDIS_STATUS_REQUEST_ABORTED);
            return;
        }
    Module* module = edge->module;
    held.unlock();
    if (module != nullptr)
        Call("FilterCancelOidRequest",
             [&] { module->driver->chars.CancelOidRequestHandler(module->context, requestId); });
    else
        edge->miniport->CancelOidRequest(requestId);
}

NDIS_STATUS BindAttach(Edge* edge, std::u16string_view service)
{
    FilterDriver* driver = DriverByService(service);
    if (driver == nullptr)
        return NDIS_STATUS_FAILURE;
    BindingLock binding(edge);
    if (edge->module != nullptr)
        return NDIS_STATUS_FAILURE;
    auto* module = new Module;
    module->edge = edge;
    module->driver = driver;
    module->name = edge->info.guidName + u"-" + driver->uniqueName + u"-0000";
    module->restart.routine = RestartWork;
    module->restart.owner = reinterpret_cast<const void*>(&RestartWork);

    UNICODE_STRING moduleName = io::Counted(module->name);
    UNICODE_STRING instanceName = io::Counted(edge->info.instanceName);
    UNICODE_STRING miniportName = io::Counted(edge->info.miniportName);
    NDIS_FILTER_ATTACH_PARAMETERS params{};
    params.Header = {NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS, 1, sizeof(params)};
    params.IfIndex = edge->info.ifIndex + 100;
    params.FilterModuleGuidName = &moduleName;
    params.BaseMiniportIfIndex = edge->info.ifIndex;
    params.BaseMiniportInstanceName = &instanceName;
    params.BaseMiniportName = &miniportName;
    params.MiniportMediaType = edge->info.medium;

    module->inAttach = true;
    NDIS_STATUS status = Call("FilterAttach", [&] {
        return driver->chars.AttachHandler(module, driver->context, &params);
    });
    module->inAttach = false;
    if (status == NDIS_STATUS_SUCCESS && !module->attributesSet) {
        VerifierReport(Check::InvalidParameter, "filter attach succeeded without NdisFSetAttributes");
        status = NDIS_STATUS_FAILURE;
    }
    if (status != NDIS_STATUS_SUCCESS) {
        delete module;
        return status;
    }
    module->state = ModuleState::Paused;
    std::lock_guard<std::mutex> guard(edge->lock);
    edge->module = module;
    return status;
}

NDIS_STATUS BindRestart(Edge* edge)
{
    BindingLock binding(edge);
    return edge->module != nullptr ? RestartLocked(edge->module) : NDIS_STATUS_FAILURE;
}

NDIS_STATUS BindPause(Edge* edge)
{
    BindingLock binding(edge);
    return edge->module != nullptr ? PauseLocked(edge->module) : NDIS_STATUS_FAILURE;
}

void BindDetach(Edge* edge)
{
    BindingLock binding(edge);
    DetachLocked(edge);
}

NDIS_STATUS BindSetPower(Edge* edge, NDIS_DEVICE_POWER_STATE state)
{
    BindingLock binding(edge);
    Module* module = edge->module;
    if (module == nullptr)
        return NDIS_STATUS_SUCCESS;
    NDIS_DEVICE_POWER_STATE power = state;
    NET_PNP_EVENT_NOTIFICATION event{};
    event.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(event)};
    event.NetPnPEvent.NetEvent = NetEventSetPower;
    event.NetPnPEvent.Buffer = &power;
    event.NetPnPEvent.BufferLength = sizeof(power);
    return Call("FilterNetPnPEvent", [&] { return module->driver->chars.NetPnPEventHandler(module->context, &event); });
}

ModuleState BindState(Edge* edge)
{
    BindingLock binding(edge);
    return edge->module != nullptr ? edge->module->state : ModuleState::None;
}

std::u16string BindModuleName(Edge* edge)
{
    BindingLock binding(edge);
    return edge->module != nullptr ? edge->module->name : std::u16string();
}

NTSTATUS FilterInstall(std::u16string_view service)
{
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = DriverLoad(service, &driver);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<Edge*> edges;
    {
        std::lock_guard<std::mutex> guard(N().lock);
        edges = N().edges;
    }
    for (Edge* edge : edges)
        BindAttach(edge, service); // a medium the filter refuses stays unbound
    return STATUS_SUCCESS;
}

int FilterUninstall(std::u16string_view service)
{
    return DriverUnload(service);
}

DataPathCounts EdgeDataPath(Edge* edge)
{
    std::lock_guard<std::mutex> guard(edge->lock);
    return edge->counts;
}

} // namespace host::ndis

using namespace host;
using namespace host::ndis;

extern "C" {

// ---------------------------------------------------------------------------------------------
// Support routines.
void NdisInitializeEvent(PNDIS_EVENT Event)
{
    KeInitializeEvent(&Event->Event, NotificationEvent, FALSE);
}

void NdisSetEvent(PNDIS_EVENT Event)
{
    KeSetEvent(&Event->Event, IO_NO_INCREMENT, FALSE);
}

void NdisResetEvent(PNDIS_EVENT Event)
{
    KeClearEvent(&Event->Event);
}

BOOLEAN NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(MsToWait) * 10000;
    NTSTATUS status =
        KeWaitForSingleObject(&Event->Event, Executive, KernelMode, FALSE, MsToWait == 0 ? nullptr : &timeout);
    return status == STATUS_SUCCESS;
}

void NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock)
{
    KeInitializeSpinLock(&SpinLock->SpinLock);
    SpinLock->OldIrql = PASSIVE_LEVEL;
}

void NdisFreeSpinLock(PNDIS_SPIN_LOCK) {}

void NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock)
{
    KIRQL old;
    KeAcquireSpinLock(&SpinLock->SpinLock, &old);
    SpinLock->OldIrql = old;
}

void NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock)
{
    KeReleaseSpinLock(&SpinLock->SpinLock, SpinLock->OldIrql);
}

void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock)
{
    KeAcquireSpinLockAtDpcLevel(&SpinLock->SpinLock);
}

void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock)
{
    KeReleaseSpinLockFromDpcLevel(&SpinLock->SpinLock);
}

PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE, UINT Length, ULONG Tag, EX_POOL_PRIORITY)
{
    return PoolAllocate(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, Length, Tag,
                        ImageFromAddress(__builtin_return_address(0)));
}

void NdisFreeMemory(PVOID VirtualAddress, UINT, UINT)
{
    ExFreePool(VirtualAddress);
}

// ---------------------------------------------------------------------------------------------
// Filter drivers and modules.
NDIS_STATUS NdisFRegisterFilterDriver(PDRIVER_OBJECT DriverObject, NDIS_HANDLE FilterDriverContext,
                                      PNDIS_FILTER_DRIVER_CHARACTERISTICS Chars, PNDIS_HANDLE NdisFilterDriverHandle)
{
    if (Chars == nullptr || NdisFilterDriverHandle == nullptr ||
        !HeaderIs(Chars->Header, NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, NDIS_FILTER_CHARACTERISTICS_REVISION_3,
                  NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_3) ||
        Chars->AttachHandler == nullptr || Chars->DetachHandler == nullptr || Chars->RestartHandler == nullptr ||
        Chars->PauseHandler == nullptr)
        return NDIS_STATUS_INVALID_PARAMETER;
    auto driver = std::make_unique<FilterDriver>();
    driver->driver = DriverObject;
    driver->context = FilterDriverContext;
    driver->chars = *Chars;
    driver->uniqueName = io::Text(&Chars->UniqueName);
    driver->serviceName = io::Text(&Chars->ServiceName);
    std::lock_guard<std::mutex> guard(N().lock);
    for (auto& existing : N().drivers)
        if (io::Upcase(existing->uniqueName) == io::Upcase(driver->uniqueName))
            return STATUS_OBJECT_NAME_COLLISION;
    *NdisFilterDriverHandle = driver.get();
    N().drivers.push_back(std::move(driver));
    return NDIS_STATUS_SUCCESS;
}

void NdisFDeregisterFilterDriver(NDIS_HANDLE NdisFilterDriverHandle)
{
    FilterDriver* driver = DriverFromHandle(NdisFilterDriverHandle);
    if (driver == nullptr) {
        VerifierReport(Check::InvalidParameter, "deregistering unknown filter driver %p", NdisFilterDriverHandle);
        return;
    }
    std::vector<Edge*> edges;
    {
        std::lock_guard<std::mutex> guard(N().lock);
        edges = N().edges;
    }
    for (Edge* edge : edges) {
        BindingLock binding(edge);
        Module* module = edge->module;
        if (module == nullptr || module->driver != driver)
            continue;
        // While its OID path still works, the module hears that it is about to go.
        NET_PNP_EVENT_NOTIFICATION event{};
        event.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(event)};
        event.NetPnPEvent.NetEvent = NetEventFilterPreDetach;
        Call("FilterNetPnPEvent", [&] { return driver->chars.NetPnPEventHandler(module->context, &event); });
        DetachLocked(edge);
    }
    std::lock_guard<std::mutex> guard(N().lock);
    std::erase_if(N().drivers, [driver](const auto& entry) { return entry.get() == driver; });
}

NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterModuleContext,
                               PNDIS_FILTER_ATTRIBUTES FilterAttributes)
{
    Module* module = ModuleFrom(NdisFilterHandle);
    if (module == nullptr || !module->inAttach) {
        VerifierReport(Check::InvalidParameter, "NdisFSetAttributes outside the attach handler");
        return NDIS_STATUS_FAILURE;
    }
    if (FilterAttributes == nullptr ||
        !HeaderIs(FilterAttributes->Header, NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES, NDIS_FILTER_ATTRIBUTES_REVISION_1,
                  NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1))
        return NDIS_STATUS_INVALID_PARAMETER;
    module->context = FilterModuleContext;
    module->attributesSet = true;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NdisFRestartFilter(NDIS_HANDLE NdisFilterHandle)
{
    Module* module = ModuleFrom(NdisFilterHandle);
    Edge* edge = module->edge;
    std::lock_guard<std::mutex> guard(edge->lock);
    if (edge->module != module)
        return NDIS_STATUS_FAILURE;
    if (!module->restartQueued) {
        module->restartQueued = true;
        WorkQueue(&module->restart);
    }
    return NDIS_STATUS_PENDING;
}

NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE, PNET_PNP_EVENT_NOTIFICATION)
{
    return NDIS_STATUS_SUCCESS; // the miniport edge accepts every event
}

NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE, PNDIS_OID_REQUEST OidRequest, UINT PoolTag,
                                        PNDIS_OID_REQUEST* CloneOidRequest)
{
    *CloneOidRequest = nullptr;
    auto* clone = static_cast<PNDIS_OID_REQUEST>(
        PoolAllocate(POOL_FLAG_NON_PAGED, sizeof(NDIS_OID_REQUEST), PoolTag, ImageFromAddress(__builtin_return_address(0))));
    if (clone == nullptr)
        return NDIS_STATUS_RESOURCES;
    *clone = *OidRequest; // the information buffer is shared
    memset(clone->SourceReserved, 0, sizeof(clone->SourceReserved));
    memset(clone->MiniportReserved, 0, sizeof(clone->MiniportReserved));
    *CloneOidRequest = clone;
    return NDIS_STATUS_SUCCESS;
}

void NdisFreeCloneOidRequest(NDIS_HANDLE, PNDIS_OID_REQUEST Request)
{
    ExFreePool(Request);
}

NDIS_STATUS NdisFOidRequest(NDIS_HANDLE NdisFilterHandle, PNDIS_OID_REQUEST OidRequest)
{
    Module* module = ModuleFrom(NdisFilterHandle);
    Edge* edge = module->edge;
    {
        std::lock_guard<std::mutex> guard(edge->lock);
        edge->sent.insert(OidRequest);
    }
    NDIS_STATUS status = edge->miniport->OidRequest(OidRequest);
    if (status != NDIS_STATUS_PENDING) {
        std::lock_guard<std::mutex> guard(edge->lock);
        edge->sent.erase(OidRequest);
    }
    return status;
}

void NdisFOidRequestComplete(NDIS_HANDLE NdisFilterHandle, PNDIS_OID_REQUEST OidRequest, NDIS_STATUS Status)
{
    Module* module = ModuleFrom(NdisFilterHandle);
    Edge* edge = module->edge;
    {
        std::lock_guard<std::mutex> guard(N().lock);
        if (!N().completedToOs.insert(OidRequest).second) {
            VerifierReport(Check::RequestCompletedTwice, "OID request %p completed twice", static_cast<void*>(OidRequest));
            return;
        }
    }
    std::unique_lock<std::mutex> held(edge->lock);
    if (edge->atModule == OidRequest)
        edge->atModule = nullptr;
    bool dispatch = !edge->dispatching;
    if (dispatch)
        edge->dispatching = true;
    held.unlock();
    CompleteToOs(edge, OidRequest, Status);
    if (dispatch) {
        held.lock();
        DispatchWaiting(edge, held);
    }
}

void NdisFCancelOidRequest(NDIS_HANDLE NdisFilterHandle, PVOID RequestId)
{
    ModuleFrom(NdisFilterHandle)->edge->miniport->CancelOidRequest(RequestId);
}

void NdisFIndicateStatus(NDIS_HANDLE NdisFilterHandle, PNDIS_STATUS_INDICATION StatusIndication)
{
    if (StatusIndication == nullptr ||
        !HeaderIs(StatusIndication->Header, NDIS_OBJECT_TYPE_STATUS_INDICATION, NDIS_STATUS_INDICATION_REVISION_1,
                  NDIS_SIZEOF_STATUS_INDICATION_REVISION_1)) {
        VerifierReport(Check::InvalidParameter, "status indication with a bad header");
        return;
    }
    ModuleFrom(NdisFilterHandle)->edge->protocol->Status(*StatusIndication);
}

} // extern "C"

namespace
{

void CountDataPath(NDIS_HANDLE filterHandle, ULONG DataPathCounts::*counter)
{
    Edge* edge = ModuleFrom(filterHandle)->edge;
    std::lock_guard<std::mutex> guard(edge->lock);
    edge->counts.*counter += 1;
}

} // namespace

extern "C" {

void NdisFSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST, NDIS_PORT_NUMBER, ULONG)
{
    CountDataPath(NdisFilterHandle, &DataPathCounts::sends);
}

void NdisFSendNetBufferListsComplete(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST, ULONG)
{
    CountDataPath(NdisFilterHandle, &DataPathCounts::sendCompletes);
}

void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST, NDIS_PORT_NUMBER, ULONG, ULONG)
{
    CountDataPath(NdisFilterHandle, &DataPathCounts::receives);
}

void NdisFReturnNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST, ULONG)
{
    CountDataPath(NdisFilterHandle, &DataPathCounts::returns);
}

// ---------------------------------------------------------------------------------------------
// Configuration: nothing is stored; a handle only has to open and close.
NDIS_STATUS NdisOpenConfigurationEx(PNDIS_CONFIGURATION_OBJECT ConfigObject, PNDIS_HANDLE ConfigurationHandle)
{
    if (ConfigObject == nullptr || ConfigurationHandle == nullptr ||
        !HeaderIs(ConfigObject->Header, NDIS_OBJECT_TYPE_CONFIGURATION_OBJECT, NDIS_CONFIGURATION_OBJECT_REVISION_1,
                  NDIS_SIZEOF_CONFIGURATION_OBJECT_REVISION_1) ||
        DriverFromHandle(ConfigObject->NdisHandle) == nullptr)
        return NDIS_STATUS_INVALID_PARAMETER;
    *ConfigurationHandle = new int(0);
    return NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle)
{
    delete static_cast<int*>(ConfigurationHandle);
}

// ---------------------------------------------------------------------------------------------
// Control devices.
NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisObjectHandle, PNDIS_DEVICE_OBJECT_ATTRIBUTES Attributes,
                                 PDEVICE_OBJECT* pDeviceObject, PNDIS_HANDLE NdisDeviceHandle)
{
    FilterDriver* driver = DriverFromHandle(NdisObjectHandle);
    if (driver == nullptr || Attributes == nullptr || pDeviceObject == nullptr || NdisDeviceHandle == nullptr ||
        !HeaderIs(Attributes->Header, NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES,
                  NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1, NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1) ||
        Attributes->DeviceName == nullptr || Attributes->MajorFunctions == nullptr)
        return NDIS_STATUS_INVALID_PARAMETER;
    std::u16string link = Attributes->SymbolicName != nullptr ? io::Text(Attributes->SymbolicName) : std::u16string();
    io::Device* device = nullptr;
    NTSTATUS status = io::PlainDeviceCreate(driver->driver, io::Text(Attributes->DeviceName), link,
                                            FILE_DEVICE_PHYSICAL_NETCARD, Attributes->MajorFunctions,
                                            Attributes->ExtensionSize, &device);
    if (!NT_SUCCESS(status))
        return status;
    *pDeviceObject = &device->object;
    *NdisDeviceHandle = device;
    return NDIS_STATUS_SUCCESS;
}

void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle)
{
    io::PlainDeviceDelete(static_cast<io::Device*>(NdisDeviceHandle));
}

PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject->DeviceExtension;
}

} // extern "C"
