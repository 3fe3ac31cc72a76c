// The mobile-broadband class extension: binding of a framework device, its MBIM control requests, the
// receive thread that fetches responses, device-service session data and the host side's access.
//
// Requests are the class extension's own records. A completed request is kept for a while, so that a
// second completion is reported with the request's history rather than touching freed memory; a request
// still incomplete when its device is removed is reported the same way.
#include <host/mbb.h>
#include <host/host.h>
#include <host/verifier.h>
#include <mbbcx.h>

#include "netadapter/netcx.h"
#include "wdf/fxio.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace mbbcx
{
namespace
{

struct Device;

struct Request {
    enum class Kind { Send, Receive, SessionData } kind;
    std::shared_ptr<Device> device;
    ULONG64 serial = 0;
    std::vector<UCHAR> buffer; // the fragment to send, or room for one received
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    size_t information = 0;
    host::MbbDone done; // sends and session data
    WDFMEMORY data = nullptr;
    std::string history;
};

// An adapter the class extension asked its client for: the init's context.
struct AdapterRecord {
    ULONG session = 0;
    NETADAPTER adapter = nullptr; // set by MbbAdapterInitialize
    bool initialized = false;
};

struct Device {
    fx::Device* fx = nullptr;
    WDFDEVICE handle = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    MBB_DEVICE_CONFIG config{};
    std::optional<host::MbbParameters> parameters;
    std::optional<host::MbbWakeCapabilities> wake;
    host::MbbCounters counters;
    size_t receiveCapacity = 0;
    std::set<Request*> outstanding;
    ULONG pendingResponses = 0;
    bool stopping = false;
    KEVENT kick{}; // a response is available, a receive completed, or the device goes
    PVOID thread = nullptr;

    std::map<ULONG, std::unique_ptr<AdapterRecord>> adapters; // by session

    std::mutex sideLock; // held while a host-side callback runs
    bool connected = false;
    host::MbbHostSide side;
};

// Everything above but the side is guarded by g_lock, which is never held while calling out.
std::mutex g_lock;
std::map<fx::Device*, std::shared_ptr<Device>> g_devices;
std::unordered_map<Request*, std::shared_ptr<Request>> g_requests; // outstanding and recently retired
std::deque<Request*> g_retired;
std::set<fx::Device*> g_configured; // created from an init MbbDeviceInitConfig ran on, not yet initialised
ULONG64 g_serial = 0;
NTSTATUS g_failNext[2] = {STATUS_SUCCESS, STATUS_SUCCESS};
constexpr size_t kRetiredKept = 256;

struct DEVICE_LINK {
    Device* device;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_LINK, GetDeviceLink)

const char* KindName(Request::Kind kind)
{
    switch (kind) {
    case Request::Kind::Send:
        return "send";
    case Request::Kind::Receive:
        return "receive";
    default:
        return "session data";
    }
}

void NoteLocked(Request* request, const std::string& what)
{
    char time[32];
    snprintf(time, sizeof time, "[%lld us] ", static_cast<long long>(host::ClockNow() / 10));
    request->history += "\n  " + std::string(time) + what;
}

std::string Describe(const Request* request)
{
    return std::string(KindName(request->kind)) + " request #" + std::to_string(request->serial) + ":" +
           request->history;
}

NTSTATUS TakeFailure(host::MbbCall call)
{
    std::lock_guard<std::mutex> guard(g_lock);
    NTSTATUS status = g_failNext[int(call)];
    g_failNext[int(call)] = STATUS_SUCCESS;
    return status;
}

std::shared_ptr<Device> Find(WDFDEVICE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_devices.find(static_cast<fx::Device*>(static_cast<fx::Object*>(static_cast<WDFOBJECT>(handle))));
    return it == g_devices.end() ? nullptr : it->second;
}

std::shared_ptr<Request> NewRequestLocked(const std::shared_ptr<Device>& device, Request::Kind kind)
{
    auto request = std::make_shared<Request>();
    request->kind = kind;
    request->device = device;
    request->serial = ++g_serial;
    g_requests[request.get()] = request;
    device->outstanding.insert(request.get());
    return request;
}

void RetireLocked(Request* request)
{
    request->device->outstanding.erase(request);
    g_retired.push_back(request);
    if (g_retired.size() > kRetiredKept) {
        g_requests.erase(g_retired.front());
        g_retired.pop_front();
    }
}

// Validates a request handle: the live or recently retired request, or nullptr (reported).
std::shared_ptr<Request> Lookup(MBBREQUEST handle, const char* api)
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_requests.find(reinterpret_cast<Request*>(handle));
        if (it != g_requests.end())
            return it->second;
    }
    host::VerifierReport(host::Check::InvalidParameter, "%s: %p is not a request of the class extension", api,
                         static_cast<void*>(handle));
    return nullptr;
}

// Takes a power reference and waits for D0: false when the device goes first (the reference is then
// given back). The wait looks at the removal too, which the PnP manager's own D0 wait would only see
// once the device's cleanup (which waits for the receive thread) has run.
bool PowerUp(const Device& device)
{
    host::io::NodePowerReference(device.fx->node, false);
    while (!host::io::NodeInD0(device.fx->node)) {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (device.stopping) {
                host::io::NodePowerDereference(device.fx->node);
                return false;
            }
        }
        LARGE_INTEGER step;
        step.QuadPart = -10'000; // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
    return true;
}

void PowerDown(const Device& device)
{
    host::io::NodePowerDereference(device.fx->node);
}

template <typename Callback, typename... Args> void CallDriver(Device& device, const char* what, Callback callback, Args... args)
{
    fx::CallbackScope scope(device.fx, what, false);
    callback(args...);
}

// A receive that ended: its bytes go to the host side when there are any and they fit.
void Deliver(Device& device, Request& request)
{
    bool fits;
    std::vector<UCHAR> bytes;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        fits = request.information <= request.buffer.size();
        if (fits && NT_SUCCESS(request.status) && request.information > 0) {
            bytes.assign(request.buffer.begin(), request.buffer.begin() + request.information);
            ++device.counters.delivered;
        } else {
            ++device.counters.emptyReceives;
        }
    }
    if (!fits)
        host::VerifierReport(host::Check::RequestOverrun, "%s", Describe(&request).c_str());
    if (bytes.empty())
        return;
    std::lock_guard<std::mutex> side(device.sideLock);
    if (device.connected && device.side.received)
        device.side.received(bytes);
}

// One receive at a time, in the order of the notifications, each with the device in D0.
void ReceiveThread(PVOID context)
{
    std::shared_ptr<Device> device = std::move(*static_cast<std::shared_ptr<Device>*>(context));
    delete static_cast<std::shared_ptr<Device>*>(context);
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (device->stopping)
                break;
            if (device->pendingResponses > 0) {
                --device->pendingResponses;
                ++device->counters.receives;
                request = NewRequestLocked(device, Request::Kind::Receive);
                size_t capacity = device->receiveCapacity;
                if (capacity == 0 && device->parameters)
                    capacity = device->parameters->maximumFragmentSize;
                request->buffer.assign(capacity, 0);
            }
        }
        if (request == nullptr) {
            KeWaitForSingleObject(&device->kick, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        if (!PowerUp(*device)) {
            std::lock_guard<std::mutex> guard(g_lock);
            request->completed = true;
            ++device->counters.emptyReceives;
            NoteLocked(request.get(), "dropped: the device did not return to D0");
            RetireLocked(request.get());
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(g_lock);
            NoteLocked(request.get(), "handed to EvtMbbDeviceReceiveMbimFragment");
        }
        CallDriver(*device, "EvtMbbDeviceReceiveMbimFragment", device->config.EvtMbbDeviceReceiveMbimFragment,
                   device->handle, reinterpret_cast<MBBREQUEST>(request.get()));
        bool completed;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(g_lock);
                completed = request->completed;
                if (completed || device->stopping)
                    break;
            }
            KeWaitForSingleObject(&device->kick, Executive, KernelMode, FALSE, nullptr);
        }
        // The reference goes with the request, before the host side sees what it brought.
        PowerDown(*device);
        if (completed)
            Deliver(*device, *request);
    }
}

void CompleteRequest(MBBREQUEST handle, NTSTATUS status, size_t information, const char* api)
{
    std::shared_ptr<Request> request = Lookup(handle, api);
    if (request == nullptr)
        return;
    std::string twice;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        char what[96];
        snprintf(what, sizeof what, "%s(0x%08X, %zu)", api, unsigned(status), information);
        NoteLocked(request.get(), what);
        if (request->completed) {
            twice = Describe(request.get());
        } else {
            request->completed = true;
            request->status = status;
            request->information = information;
            RetireLocked(request.get());
        }
    }
    if (!twice.empty()) {
        host::VerifierReport(host::Check::RequestCompletedTwice, "%s", twice.c_str());
        return;
    }
    Device& device = *request->device;
    if (request->kind == Request::Kind::Receive) {
        KeSetEvent(&device.kick, IO_NO_INCREMENT, FALSE);
        return;
    }
    PowerDown(device);
    // Session data is the class extension's again once completed.
    if (request->data != nullptr)
        WdfObjectDelete(request->data);
    if (request->done)
        request->done(status);
}

// The device goes: the receive thread ends, what the driver still holds is reported and failed, and
// the host side hears of it.
void DeviceCleanup(WDFOBJECT object)
{
    Device* raw = GetDeviceLink(object)->device;
    std::shared_ptr<Device> device;
    std::vector<std::shared_ptr<Request>> abandoned;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_devices.find(raw->fx);
        if (it == g_devices.end())
            return;
        device = it->second;
        g_devices.erase(it);
        device->stopping = true;
    }
    KeSetEvent(&device->kick, IO_NO_INCREMENT, FALSE);
    if (device->thread != nullptr) {
        KeWaitForSingleObject(device->thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(device->thread);
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (Request* request : device->outstanding) {
            abandoned.push_back(g_requests[request]);
            request->completed = true;
            NoteLocked(request, "still incomplete when the device was removed");
        }
        for (auto& request : abandoned)
            RetireLocked(request.get());
    }
    for (auto& request : abandoned) {
        host::VerifierReport(host::Check::RequestNotCompleted, "%s", Describe(request.get()).c_str());
        if (request->done)
            request->done(STATUS_DEVICE_REMOVED);
    }
    std::lock_guard<std::mutex> side(device->sideLock);
    if (device->connected && device->side.removed)
        device->side.removed();
    device->connected = false;
    device->side = {};
}

// The record an adapter was made for: `context` is its init's (netcx::StartContext, asked outside g_lock).
AdapterRecord* RecordOfLocked(void* context)
{
    auto* record = static_cast<AdapterRecord*>(context);
    for (auto& [fx, device] : g_devices)
        for (auto& [session, owned] : device->adapters)
            if (owned.get() == record)
                return record;
    return nullptr;
}

NTSTATUS StartCheck(NETADAPTER adapter, void* context)
{
    std::lock_guard<std::mutex> guard(g_lock);
    AdapterRecord* record = RecordOfLocked(context);
    return record != nullptr && record->initialized && record->adapter == adapter ? STATUS_SUCCESS
                                                                                 : STATUS_INVALID_DEVICE_STATE;
}

// At PASSIVE_LEVEL: the adapters' data paths stop and they go, outside the lock (their callbacks run).
void RemoveAdapters(std::vector<std::unique_ptr<AdapterRecord>> records)
{
    for (auto& record : records)
        if (record->adapter != nullptr)
            netcx::RemoveAdapter(record->adapter);
}

// Bound to a device init by MbbDeviceInitConfig: the device created from it may be initialised once.
// The record lives with the device, so an add that never initialises leaves nothing behind.
struct InitBinding : fx::ClassExtension {
    void Created(fx::Device* device) override
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_configured.insert(device);
    }
    // The network-adapter side, bound first, has already stopped and removed every adapter.
    void Removing(fx::Device* device) override
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_configured.erase(device);
        auto it = g_devices.find(device);
        if (it != g_devices.end())
            it->second->adapters.clear();
    }
};

} // namespace
} // namespace mbbcx

using namespace mbbcx;

extern "C" {

NTSTATUS MbbDeviceInitConfig(PWDFDEVICE_INIT DeviceInit)
{
    if (NTSTATUS failure = TakeFailure(host::MbbCall::DeviceInitConfig); !NT_SUCCESS(failure))
        return failure;
    if (DeviceInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The network-adapter side's configuration comes first.
    if (!netcx::DeviceInitConfigured(DeviceInit))
        return STATUS_INVALID_DEVICE_STATE;
    fx::ClassExtensions& extensions = fx::DeviceInitExtensions(DeviceInit);
    if (fx::FindExtension<InitBinding>(extensions) == nullptr)
        extensions.push_back(std::make_shared<InitBinding>());
    return STATUS_SUCCESS;
}

NTSTATUS MbbDeviceInitialize(WDFDEVICE Device, const MBB_DEVICE_CONFIG* Config)
{
    if (NTSTATUS failure = TakeFailure(host::MbbCall::DeviceInitialize); !NT_SUCCESS(failure))
        return failure;
    auto* fxDevice = fx::As<fx::Device>(Device, fx::Kind::Device, "MbbDeviceInitialize");
    if (fxDevice == nullptr || Config == nullptr || Config->Size != sizeof(MBB_DEVICE_CONFIG) ||
        Config->EvtMbbDeviceSendMbimFragment == nullptr || Config->EvtMbbDeviceReceiveMbimFragment == nullptr ||
        Config->EvtMbbDeviceSendDeviceServiceSessionData == nullptr || Config->EvtMbbDeviceCreateAdapter == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto device = std::make_shared<mbbcx::Device>();
    device->fx = fxDevice;
    device->handle = Device;
    device->pdo = WdfDeviceWdmGetPhysicalDevice(Device);
    device->config = *Config;
    KeInitializeEvent(&device->kick, SynchronizationEvent, FALSE);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_devices.count(fxDevice) != 0 || g_configured.count(fxDevice) == 0)
            return STATUS_INVALID_DEVICE_STATE;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_LINK);
    attributes.EvtCleanupCallback = DeviceCleanup;
    DEVICE_LINK* link = nullptr;
    NTSTATUS status = WdfObjectAllocateContext(Device, &attributes, reinterpret_cast<PVOID*>(&link));
    if (!NT_SUCCESS(status))
        return status;
    link->device = device.get();
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_devices[fxDevice] = device;
        g_configured.erase(fxDevice);
    }
    HANDLE thread = nullptr;
    auto* owner = new std::shared_ptr<mbbcx::Device>(device);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReceiveThread, owner);
    if (!NT_SUCCESS(status))
        delete owner;
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &device->thread, nullptr);
        ZwClose(thread);
    }
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_devices.erase(fxDevice);
    }
    return status;
}

NTSTATUS MbbDeviceSetMbimParameters(WDFDEVICE Device, PMBB_DEVICE_MBIM_PARAMETERS MbimParameters)
{
    if (MbimParameters == nullptr || MbimParameters->Size != sizeof(MBB_DEVICE_MBIM_PARAMETERS) ||
        MbimParameters->MaximumFragmentSize < 64)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<mbbcx::Device> device = Find(Device);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<std::mutex> guard(g_lock);
    device->parameters = host::MbbParameters{MbimParameters->Version, MbimParameters->MbimExtendedVersion,
                                             MbimParameters->MaximumFragmentSize};
    return STATUS_SUCCESS;
}

NTSTATUS MbbDeviceSetWakeCapabilities(WDFDEVICE Device, PMBB_DEVICE_WAKE_CAPABILITIES WakeCapabilities)
{
    if (WakeCapabilities == nullptr || WakeCapabilities->Size != sizeof(MBB_DEVICE_WAKE_CAPABILITIES))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<mbbcx::Device> device = Find(Device);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<std::mutex> guard(g_lock);
    device->wake = host::MbbWakeCapabilities{WakeCapabilities->PacketState != FALSE,
                                             WakeCapabilities->RegisterState != FALSE,
                                             WakeCapabilities->SmsReceive != FALSE,
                                             WakeCapabilities->UiccChange != FALSE,
                                             WakeCapabilities->UssdReceive != FALSE};
    return STATUS_SUCCESS;
}

PVOID MbbRequestGetBuffer(MBBREQUEST Request, size_t* BufferSize)
{
    std::shared_ptr<mbbcx::Request> request = Lookup(Request, "MbbRequestGetBuffer");
    if (BufferSize != nullptr)
        *BufferSize = 0;
    if (request == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_lock);
    if (request->completed) {
        std::string what = Describe(request.get());
        host::VerifierReport(host::Check::InvalidParameter, "MbbRequestGetBuffer on a completed %s", what.c_str());
        return nullptr;
    }
    if (BufferSize != nullptr)
        *BufferSize = request->buffer.size();
    return request->buffer.data();
}

void MbbRequestComplete(MBBREQUEST Request, NTSTATUS Status)
{
    CompleteRequest(Request, Status, 0, "MbbRequestComplete");
}

void MbbRequestCompleteWithInformation(MBBREQUEST Request, NTSTATUS Status, size_t Information)
{
    CompleteRequest(Request, Status, Information, "MbbRequestCompleteWithInformation");
}

void MbbDeviceResponseAvailable(WDFDEVICE Device)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::VerifierReport(host::Check::InvalidIrql, "MbbDeviceResponseAvailable at IRQL %u",
                             unsigned(KeGetCurrentIrql()));
    std::shared_ptr<mbbcx::Device> device = Find(Device);
    if (device == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "MbbDeviceResponseAvailable: %p is not a bound device",
                             static_cast<void*>(Device));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++device->counters.responsesAvailable;
        ++device->pendingResponses;
    }
    KeSetEvent(&device->kick, IO_NO_INCREMENT, FALSE);
}

void MbbDeviceSendDeviceServiceSessionDataComplete(WDFMEMORY Data, NTSTATUS Status)
{
    // The outstanding data with this memory, else a completed one (a second completion).
    MBBREQUEST handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& [raw, request] : g_requests)
            if (request->kind == mbbcx::Request::Kind::SessionData && request->data == Data &&
                (handle == nullptr || !request->completed))
                handle = reinterpret_cast<MBBREQUEST>(raw);
    }
    if (handle == nullptr) {
        host::VerifierReport(host::Check::RequestCompletedTwice,
                             "MbbDeviceSendDeviceServiceSessionDataComplete: %p is no session data outstanding",
                             static_cast<void*>(Data));
        return;
    }
    CompleteRequest(handle, Status, 0, "MbbDeviceSendDeviceServiceSessionDataComplete");
}

NTSTATUS MbbAdapterInitialize(NETADAPTER Adapter)
{
    void* context = netcx::StartContext(Adapter);
    std::lock_guard<std::mutex> guard(g_lock);
    AdapterRecord* record = RecordOfLocked(context);
    if (record == nullptr || record->initialized)
        return record == nullptr ? STATUS_INVALID_PARAMETER : STATUS_INVALID_DEVICE_STATE;
    record->adapter = Adapter;
    record->initialized = true;
    return STATUS_SUCCESS;
}

ULONG MbbAdapterGetSessionId(NETADAPTER Adapter)
{
    void* context = netcx::StartContext(Adapter);
    std::lock_guard<std::mutex> guard(g_lock);
    AdapterRecord* record = RecordOfLocked(context);
    if (record == nullptr)
        host::VerifierReport(host::Check::InvalidParameter, "MbbAdapterGetSessionId: %p is no adapter of the class extension",
                             static_cast<void*>(Adapter));
    return record == nullptr ? 0 : record->session;
}

} // extern "C"

namespace host
{

void MbbFailNext(MbbCall call, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_failNext[int(call)] = status;
}

WDFDEVICE MbbFindDevice(std::u16string_view instanceId)
{
    std::u16string wanted = io::Upcase(instanceId);
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& [fx, device] : g_devices)
        if (!device->stopping && io::Upcase(io::NodeInstanceId(fx->node)) == wanted)
            return device->handle;
    return nullptr;
}

std::optional<MbbParameters> MbbQueryParameters(WDFDEVICE handle)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::lock_guard<std::mutex> guard(g_lock);
    return device == nullptr ? std::nullopt : device->parameters;
}

std::optional<MbbWakeCapabilities> MbbQueryWakeCapabilities(WDFDEVICE handle)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::lock_guard<std::mutex> guard(g_lock);
    return device == nullptr ? std::nullopt : device->wake;
}

MbbCounters MbbQueryCounters(WDFDEVICE handle)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::lock_guard<std::mutex> guard(g_lock);
    return device == nullptr ? MbbCounters{} : device->counters;
}

NTSTATUS MbbConnect(WDFDEVICE handle, MbbHostSide side)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    std::lock_guard<std::mutex> guard(device->sideLock);
    if (device->connected)
        return STATUS_DEVICE_BUSY;
    device->side = std::move(side);
    device->connected = true;
    return STATUS_SUCCESS;
}

void MbbDisconnect(WDFDEVICE handle)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    if (device == nullptr)
        return;
    std::lock_guard<std::mutex> guard(device->sideLock);
    device->connected = false;
    device->side = {};
}

void MbbSetReceiveCapacity(WDFDEVICE handle, size_t capacity)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::lock_guard<std::mutex> guard(g_lock);
    if (device != nullptr)
        device->receiveCapacity = capacity;
}

namespace
{

// Hands a request to the driver on the calling thread with the device in D0.
template <typename Call>
NTSTATUS HandDown(WDFDEVICE handle, mbbcx::Request::Kind kind, std::span<const UCHAR> bytes, MbbDone done,
                  const char* what, Call call)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierReport(Check::InvalidIrql, "%s handed down at IRQL %u", what, unsigned(KeGetCurrentIrql()));
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    if (!PowerUp(*device))
        return STATUS_POWER_STATE_INVALID;
    std::shared_ptr<mbbcx::Request> request;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (device->stopping) {
            PowerDown(*device);
            return STATUS_DEVICE_REMOVED;
        }
        request = NewRequestLocked(device, kind);
        request->buffer.assign(bytes.begin(), bytes.end());
        request->done = std::move(done);
        NoteLocked(request.get(), std::string("handed to ") + what);
        if (kind == mbbcx::Request::Kind::Send)
            ++device->counters.sends;
    }
    call(*device, *request);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS MbbSend(WDFDEVICE handle, std::span<const UCHAR> fragment, KIRQL irql, MbbDone done)
{
    if (irql != PASSIVE_LEVEL && irql != DISPATCH_LEVEL)
        return STATUS_INVALID_PARAMETER;
    return HandDown(handle, mbbcx::Request::Kind::Send, fragment, std::move(done), "EvtMbbDeviceSendMbimFragment",
                    [irql](mbbcx::Device& device, mbbcx::Request& request) {
                        KIRQL old = PASSIVE_LEVEL;
                        if (irql == DISPATCH_LEVEL)
                            KeRaiseIrql(DISPATCH_LEVEL, &old);
                        CallDriver(device, "EvtMbbDeviceSendMbimFragment",
                                   device.config.EvtMbbDeviceSendMbimFragment, device.handle,
                                   reinterpret_cast<MBBREQUEST>(&request));
                        if (irql == DISPATCH_LEVEL)
                            KeLowerIrql(old);
                    });
}

NTSTATUS MbbSendSessionData(WDFDEVICE handle, ULONG sessionId, std::span<const UCHAR> data, MbbDone done)
{
    return HandDown(handle, mbbcx::Request::Kind::SessionData, data, std::move(done),
                    "EvtMbbDeviceSendDeviceServiceSessionData",
                    [sessionId](mbbcx::Device& device, mbbcx::Request& request) {
                        WDF_OBJECT_ATTRIBUTES attributes;
                        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
                        attributes.ParentObject = device.handle;
                        WDFMEMORY memory = nullptr;
                        NTSTATUS status = WdfMemoryCreatePreallocated(&attributes, request.buffer.data(),
                                                                      request.buffer.size(), &memory);
                        if (!NT_SUCCESS(status)) {
                            CompleteRequest(reinterpret_cast<MBBREQUEST>(&request), status, 0, "session data");
                            return;
                        }
                        {
                            std::lock_guard<std::mutex> guard(g_lock);
                            request.data = memory;
                        }
                        CallDriver(device, "EvtMbbDeviceSendDeviceServiceSessionData",
                                   device.config.EvtMbbDeviceSendDeviceServiceSessionData, device.handle, sessionId,
                                   memory);
                    });
}

NTSTATUS MbbCreateAdapter(WDFDEVICE handle, ULONG sessionId)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    AdapterRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto& slot = device->adapters[sessionId];
        if (slot != nullptr)
            return STATUS_OBJECT_NAME_COLLISION;
        slot = std::make_unique<AdapterRecord>();
        slot->session = sessionId;
        record = slot.get();
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (PowerUp(*device)) {
        NETADAPTER_INIT* init = netcx::AllocateInit(handle, StartCheck, record);
        if (init != nullptr) {
            fx::CallbackScope scope(device->fx, "EvtMbbDeviceCreateAdapter", false);
            status = device->config.EvtMbbDeviceCreateAdapter(handle, init);
        }
        // The client never frees the init; the class extension does once the callback returned.
        if (init != nullptr)
            NetAdapterInitFree(init);
        PowerDown(*device);
    } else {
        status = STATUS_DEVICE_REMOVED;
    }
    NETADAPTER adapter;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        adapter = record->adapter;
    }
    if (NT_SUCCESS(status) && (adapter == nullptr || !netcx::Started(adapter)))
        status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<AdapterRecord> failed;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!NT_SUCCESS(status)) {
            failed = std::move(device->adapters[sessionId]);
            device->adapters.erase(sessionId);
        }
    }
    if (failed != nullptr) {
        std::vector<std::unique_ptr<AdapterRecord>> records;
        records.push_back(std::move(failed));
        RemoveAdapters(std::move(records));
    }
    return status;
}

NETADAPTER MbbFindAdapter(WDFDEVICE handle, ULONG sessionId)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::lock_guard<std::mutex> guard(g_lock);
    if (device == nullptr)
        return nullptr;
    auto it = device->adapters.find(sessionId);
    return it == device->adapters.end() || !it->second->initialized ? nullptr : it->second->adapter;
}

void MbbRemoveAdapter(WDFDEVICE handle, ULONG sessionId)
{
    std::shared_ptr<mbbcx::Device> device = Find(handle);
    std::vector<std::unique_ptr<AdapterRecord>> records;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (device == nullptr || device->adapters.count(sessionId) == 0)
            return;
        records.push_back(std::move(device->adapters[sessionId]));
        device->adapters.erase(sessionId);
    }
    RemoveAdapters(std::move(records));
}

} // namespace host
