// A tiny mobile-broadband driver for the class extension's tests. It binds to the class extensions as
// the modem driver does (network-adapter device-init configuration first, then the mobile-broadband one;
// MBIM parameters set at prepare-hardware) and answers MBIM itself: OPEN and CLOSE, every COMMAND with
// a COMMAND_DONE echoing its payload (fragmented at the OPEN's MaxControlTransfer), and the scripted
// answers of the test service. One device at a time.
#include <host/mbb.h>
#include <mbbcx.h>
#include <wdf.h>

#include "fxtest.h"
#include "mbbtest.h"
#include "netloop.h"

#include <deque>

namespace
{

#define TRACE(...) DbgPrint(__VA_ARGS__)

using namespace sim::mbim;

struct Settings {
    ULONG skipMbb = 0;
    ULONG maxFragment = 0;
    ULONG idleMs = 0;
    ULONG holdReceives = 0;
    ULONG overrun = 0;
    ULONG failSends = 0;
    ULONG skipAdapterInit = 0;
};
Settings g_settings;

// The device's MBIM function. Sends arrive at PASSIVE_LEVEL or DISPATCH_LEVEL, so a spin lock.
KSPIN_LOCK g_lock;
Reassembler g_joiner;
std::deque<Bytes> g_responses;
size_t g_maxControlTransfer = 0;
bool g_inD0 = false;

// Queues the fragments of an answer, one response notice each.
void Answer(WDFDEVICE device, const Bytes& message)
{
    std::vector<Bytes> fragments = Fragment(message, g_maxControlTransfer != 0 ? g_maxControlTransfer : 4096);
    for (Bytes& fragment : fragments) {
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        g_responses.push_back(std::move(fragment));
        KeReleaseSpinLock(&g_lock, irql);
        MbbDeviceResponseAvailable(device);
    }
}

Bytes ConnectAnswer(const Message& m)
{
    std::optional<ConnectSet> set = ParseConnectSetInfo(m.information);
    ConnectInfo info;
    info.sessionId = set ? set->sessionId : 0;
    info.activationState = set && set->activationCommand == kActivationActivate ? kActivationStateActivated
                                                                                 : kActivationStateDeactivated;
    info.ipType = set ? set->ipType : 0;
    info.contextType = kContextTypeInternet;
    return BuildCommandDone(m.transactionId, m.service, m.cid, set ? kStatusSuccess : kStatusFailure,
                            BuildConnectInfo(info));
}

void Handle(WDFDEVICE device, const Message& m)
{
    switch (m.type) {
    case kOpen:
        TRACE("cb Open %u %u", m.transactionId, m.maxControlTransfer);
        g_maxControlTransfer = m.maxControlTransfer;
        Answer(device, BuildOpenDone(m.transactionId, kStatusSuccess));
        return;
    case kClose:
        Answer(device, BuildCloseDone(m.transactionId, kStatusSuccess));
        return;
    case kCommand:
        TRACE("cb Command %u %u", m.transactionId, m.cid);
        break;
    default:
        return;
    }
    if (m.service == kBasicConnect && m.cid == kCidConnect && m.commandType == kSet) {
        Answer(device, ConnectAnswer(m));
        return;
    }
    Bytes echo = BuildCommandDone(m.transactionId, m.service, m.cid, kStatusSuccess, m.information);
    if (!(m.service == kMbbTestService)) {
        Answer(device, echo);
        return;
    }
    switch (m.cid) {
    case kMbbTestIndicate:
        Answer(device, echo);
        Answer(device, BuildIndicateStatus(kMbbTestService, m.cid, m.information));
        break;
    case kMbbTestStray:
        Answer(device, BuildCommandDone(m.transactionId + 100, m.service, m.cid, kStatusSuccess, {}));
        Answer(device, echo);
        break;
    case kMbbTestSilent:
        break;
    case kMbbTestRefuse:
        Answer(device, BuildFunctionError(m.transactionId, kErrorUnknown));
        break;
    default:
        Answer(device, echo);
    }
}

void SendMbimFragment(WDFDEVICE Device, MBBREQUEST Fragment)
{
    size_t size = 0;
    auto* bytes = static_cast<const uint8_t*>(MbbRequestGetBuffer(Fragment, &size));
    TRACE("cb Send irql=%u d0=%d size=%u", unsigned(KeGetCurrentIrql()), int(g_inD0), unsigned(size));
    if (g_settings.failSends != 0) {
        --g_settings.failSends;
        MbbRequestComplete(Fragment, STATUS_UNSUCCESSFUL);
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Reassembler::Result r = g_joiner.Feed(View(bytes, size));
    KeReleaseSpinLock(&g_lock, irql);
    std::optional<Message> message;
    if (r.message)
        message = Parse(*r.message);
    NTSTATUS status = r.error.empty() && (!r.message || message) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    MbbRequestComplete(Fragment, status);
    if (message)
        Handle(Device, *message);
}

void ReceiveMbimFragment(WDFDEVICE, MBBREQUEST Fragment)
{
    TRACE("cb Receive d0=%d", int(g_inD0));
    if (g_settings.holdReceives != 0)
        return;
    Bytes next;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    bool any = !g_responses.empty();
    if (any) {
        next = std::move(g_responses.front());
        g_responses.pop_front();
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (!any) {
        MbbRequestCompleteWithInformation(Fragment, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    size_t capacity = 0;
    auto* buffer = static_cast<uint8_t*>(MbbRequestGetBuffer(Fragment, &capacity));
    if (next.size() > capacity) {
        TRACE("cb ReceiveTooLarge %u %u", unsigned(next.size()), unsigned(capacity));
        MbbRequestCompleteWithInformation(Fragment, g_settings.overrun ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL,
                                          g_settings.overrun ? next.size() : 0);
        return;
    }
    memcpy(buffer, next.data(), next.size());
    MbbRequestCompleteWithInformation(Fragment, STATUS_SUCCESS, next.size());
}

void SendSessionData(WDFDEVICE, DSS_SESSION_ID SessionId, WDFMEMORY Data)
{
    size_t size = 0;
    WdfMemoryGetBuffer(Data, &size);
    TRACE("cb SessionData %u %u", unsigned(SessionId), unsigned(size));
    MbbDeviceSendDeviceServiceSessionDataComplete(Data, STATUS_SUCCESS);
}

// One queue pair looping transmitted packets back.
NTSTATUS CreateAdapter(WDFDEVICE, NETADAPTER_INIT* AdapterInit)
{
    NTSTATUS status = NetLoopConfigureAdapterInit(AdapterInit);
    NETADAPTER adapter = nullptr;
    if (NT_SUCCESS(status))
        status = NetAdapterCreate(AdapterInit, WDF_NO_OBJECT_ATTRIBUTES, &adapter);
    if (NT_SUCCESS(status) && g_settings.skipAdapterInit == 0)
        status = MbbAdapterInitialize(adapter);
    TRACE("cb CreateAdapter %u %x", adapter != nullptr ? unsigned(MbbAdapterGetSessionId(adapter)) : 0u,
          unsigned(status));
    return NT_SUCCESS(status) ? NetLoopStartAdapter(adapter) : status;
}

NTSTATUS PrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST)
{
    if (g_settings.skipMbb != 0)
        return STATUS_SUCCESS;
    MBB_DEVICE_MBIM_PARAMETERS parameters = {sizeof(parameters), 0, 0,
                                             g_settings.maxFragment != 0 ? g_settings.maxFragment : 2048};
    NTSTATUS status = MbbDeviceSetMbimParameters(Device, &parameters);
    MBB_DEVICE_WAKE_CAPABILITIES wake;
    MBB_DEVICE_WAKE_CAPABILITIES_INIT(&wake);
    wake.PacketState = wake.RegisterState = wake.SmsReceive = wake.UiccChange = wake.UssdReceive = TRUE;
    NTSTATUS wakeStatus = MbbDeviceSetWakeCapabilities(Device, &wake);
    TRACE("cb PrepareHardware %x %x", unsigned(status), unsigned(wakeStatus));
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE PreviousState)
{
    g_inD0 = true;
    TRACE("cb D0Entry %d", int(PreviousState));
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE TargetState)
{
    g_inD0 = false;
    TRACE("cb D0Exit %d", int(TargetState));
    return STATUS_SUCCESS;
}

NTSTATUS DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    const FxTestSetting settings[] = {
        {MBBTEST_SKIP_MBB, &g_settings.skipMbb},         {MBBTEST_FRAGMENT, &g_settings.maxFragment},
        {MBBTEST_IDLE_MS, &g_settings.idleMs},           {MBBTEST_HOLD_RECEIVES, &g_settings.holdReceives},
        {MBBTEST_OVERRUN, &g_settings.overrun},          {MBBTEST_FAIL_SENDS, &g_settings.failSends},
        {MBBTEST_SKIP_ADAPTER_INIT, &g_settings.skipAdapterInit},
    };
    FxTestReadSettings(Driver, settings);
    KeInitializeSpinLock(&g_lock);
    g_joiner.Reset();
    g_responses.clear();
    g_maxControlTransfer = 0;

    // The network-adapter side's configuration comes first.
    NTSTATUS status = NetDeviceInitConfig(DeviceInit);
    if (!NT_SUCCESS(status))
        return status;
    if (g_settings.skipMbb == 0) {
        status = MbbDeviceInitConfig(DeviceInit);
        if (!NT_SUCCESS(status))
            return status;
    }
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDFDEVICE device;
    status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    if (g_settings.idleMs != 0) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
        idle.IdleTimeout = g_settings.idleMs;
        status = WdfDeviceAssignS0IdleSettings(device, &idle);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (g_settings.skipMbb != 0)
        return STATUS_SUCCESS;
    MBB_DEVICE_CONFIG config;
    MBB_DEVICE_CONFIG_INIT(&config, SendMbimFragment, ReceiveMbimFragment, SendSessionData, CreateAdapter);
    return MbbDeviceInitialize(device, &config);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, DeviceAdd, nullptr);
}
