// The mobile-broadband class extension with a driver linked into the test: validation of the binding
// calls, completion exactly once from any thread, and receives on the class extension's own thread, one
// per notice, in order.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/mbb.h>
#include <host/pnp.h>
#include <mbbcx.h>

#include "host_test.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace
{

constexpr std::u16string_view kInstance = u"TEST\\MBBUNIT\\0";
constexpr LONGLONG kMs = 10000;

// What the driver does around WdfDeviceCreate in its device add, set by each test.
std::function<NTSTATUS(PWDFDEVICE_INIT)> g_beforeCreate;
std::function<NTSTATUS(WDFDEVICE)> g_afterCreate;
std::function<void(WDFDEVICE, MBBREQUEST)> g_send;
std::function<void(WDFDEVICE, MBBREQUEST)> g_receive;

void Send(WDFDEVICE device, MBBREQUEST request)
{
    g_send(device, request);
}
void Receive(WDFDEVICE device, MBBREQUEST request)
{
    g_receive(device, request);
}
int g_sessionDataCompletions = 1;
void SessionData(WDFDEVICE, DSS_SESSION_ID, WDFMEMORY data)
{
    for (int i = 0; i < g_sessionDataCompletions; ++i)
        MbbDeviceSendDeviceServiceSessionDataComplete(data, STATUS_SUCCESS);
}
NTSTATUS CreateAdapter(WDFDEVICE, NETADAPTER_INIT*)
{
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    NTSTATUS status = g_beforeCreate(init);
    if (!NT_SUCCESS(status))
        return status;
    WDFDEVICE device;
    status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    return NT_SUCCESS(status) ? g_afterCreate(device) : status;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

NTSTATUS ConfigureInit(PWDFDEVICE_INIT init)
{
    NTSTATUS status = NetDeviceInitConfig(init);
    return NT_SUCCESS(status) ? MbbDeviceInitConfig(init) : status;
}

MBB_DEVICE_CONFIG Config()
{
    MBB_DEVICE_CONFIG config;
    MBB_DEVICE_CONFIG_INIT(&config, Send, Receive, SessionData, CreateAdapter);
    return config;
}

NTSTATUS Bind(WDFDEVICE device)
{
    MBB_DEVICE_CONFIG config = Config();
    NTSTATUS status = MbbDeviceInitialize(device, &config);
    MBB_DEVICE_MBIM_PARAMETERS parameters = {sizeof(parameters), 0, 0, 64};
    return NT_SUCCESS(status) ? MbbDeviceSetMbimParameters(device, &parameters) : status;
}

class MbbCxTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        host::DriverRegisterBuiltin(u"MbbUnit", Entry);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"TEST\\MBBUNIT", u"MbbUnit"));
        g_beforeCreate = ConfigureInit;
        g_afterCreate = Bind;
    }

    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
    }

    static NTSTATUS Add() { return host::PnpAddDevice({std::u16string(kInstance), {u"TEST\\MBBUNIT"}, {}}); }
};

TEST_F(MbbCxTest, BindingCallsAreValidated)
{
    std::vector<NTSTATUS> seen;
    auto record = [&](NTSTATUS status) {
        seen.push_back(status);
        return STATUS_SUCCESS;
    };
    struct Case {
        const char* what;
        std::function<NTSTATUS(PWDFDEVICE_INIT)> before;
        std::function<NTSTATUS(WDFDEVICE)> after;
        std::vector<NTSTATUS> expected;
    };
    MBB_DEVICE_MBIM_PARAMETERS parameters = {sizeof(parameters), 0, 0, 2048};
    const Case cases[] = {
        {"bound, then the next add without the network-adapter init",
         [&](PWDFDEVICE_INIT init) { return record(ConfigureInit(init)); }, [&](WDFDEVICE device) { return record(Bind(device)); },
         {STATUS_SUCCESS, STATUS_SUCCESS}},
        {"mobile-broadband init before the network-adapter one",
         [&](PWDFDEVICE_INIT init) { return record(MbbDeviceInitConfig(init)); }, [](WDFDEVICE) { return STATUS_SUCCESS; },
         {STATUS_INVALID_DEVICE_STATE}},
        {"wrong size, missing callback, then a good config and a second call", ConfigureInit,
         [&](WDFDEVICE device) {
             MBB_DEVICE_CONFIG config = Config();
             config.Size -= 1;
             record(MbbDeviceInitialize(device, &config));
             config = Config();
             config.EvtMbbDeviceReceiveMbimFragment = nullptr;
             record(MbbDeviceInitialize(device, &config));
             record(MbbDeviceInitialize(device, nullptr));
             config = Config();
             record(MbbDeviceInitialize(device, &config));
             return record(MbbDeviceInitialize(device, &config));
         },
         {STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, STATUS_SUCCESS,
          STATUS_INVALID_DEVICE_STATE}},
        {"init not configured", [](PWDFDEVICE_INIT) { return STATUS_SUCCESS; },
         [&](WDFDEVICE device) {
             MBB_DEVICE_CONFIG config = Config();
             record(MbbDeviceInitialize(device, &config));
             return record(MbbDeviceSetMbimParameters(device, &parameters));
         },
         {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_DEVICE_STATE}},
        {"parameters and wake capabilities", ConfigureInit,
         [&](WDFDEVICE device) {
             MBB_DEVICE_CONFIG config = Config();
             record(MbbDeviceInitialize(device, &config));
             MBB_DEVICE_MBIM_PARAMETERS p = parameters;
             p.Size = 12;
             record(MbbDeviceSetMbimParameters(device, &p));
             p = parameters;
             p.MaximumFragmentSize = 63;
             record(MbbDeviceSetMbimParameters(device, &p));
             p.MaximumFragmentSize = 64;
             record(MbbDeviceSetMbimParameters(device, &p));
             MBB_DEVICE_WAKE_CAPABILITIES wake;
             MBB_DEVICE_WAKE_CAPABILITIES_INIT(&wake);
             wake.SmsReceive = TRUE;
             record(MbbDeviceSetWakeCapabilities(device, &wake));
             wake.Size = 4;
             return record(MbbDeviceSetWakeCapabilities(device, &wake));
         },
         {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, STATUS_SUCCESS, STATUS_SUCCESS,
          STATUS_INVALID_PARAMETER}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.clear();
        g_beforeCreate = c.before;
        g_afterCreate = c.after;
        EXPECT_EQ(STATUS_SUCCESS, Add());
        EXPECT_EQ(c.expected, seen);
        if (WDFDEVICE device = host::MbbFindDevice(kInstance)) {
            std::optional<host::MbbParameters> p = host::MbbQueryParameters(device);
            std::optional<host::MbbWakeCapabilities> wake = host::MbbQueryWakeCapabilities(device);
            if (p && wake) {
                EXPECT_EQ(64u, p->maximumFragmentSize);
                EXPECT_TRUE(wake->smsReceive);
                EXPECT_FALSE(wake->packetState);
            }
        }
        ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
}

TEST_F(MbbCxTest, ARequestCompletesOnceFromAnyThreadAndASecondCompletionIsReported)
{
    MBBREQUEST kept = nullptr;
    std::vector<UCHAR> seen;
    g_send = [&](WDFDEVICE, MBBREQUEST request) {
        size_t size = 0;
        auto* bytes = static_cast<UCHAR*>(MbbRequestGetBuffer(request, &size));
        seen.assign(bytes, bytes + size);
        kept = request;
    };
    ASSERT_EQ(STATUS_SUCCESS, Add());
    WDFDEVICE device = host::MbbFindDevice(kInstance);
    ASSERT_NE(nullptr, device);

    std::vector<NTSTATUS> done;
    const std::vector<UCHAR> fragment = {1, 2, 3, 4, 5};
    ASSERT_EQ(STATUS_SUCCESS, host::MbbSend(device, fragment, PASSIVE_LEVEL, [&](NTSTATUS s) { done.push_back(s); }));
    EXPECT_EQ(fragment, seen);
    EXPECT_TRUE(done.empty()); // still the driver's after its callback returned

    HANDLE other = hosttest::StartThread([&] { MbbRequestComplete(kept, STATUS_UNSUCCESSFUL); });
    hosttest::JoinThread(other);
    EXPECT_EQ(std::vector<NTSTATUS>{STATUS_UNSUCCESSFUL}, done);
    {
        hosttest::ExpectReport twice(host::Check::RequestCompletedTwice);
        MbbRequestCompleteWithInformation(kept, STATUS_SUCCESS, 0);
    }
    EXPECT_EQ(1u, done.size());
    EXPECT_EQ(1u, host::MbbQueryCounters(device).sends);

    // Session data, completed twice inside its callback.
    done.clear();
    g_sessionDataCompletions = 2;
    {
        hosttest::ExpectReport twice(host::Check::RequestCompletedTwice);
        ASSERT_EQ(STATUS_SUCCESS,
                  host::MbbSendSessionData(device, 7, fragment, [&](NTSTATUS s) { done.push_back(s); }));
    }
    g_sessionDataCompletions = 1;
    EXPECT_EQ(std::vector<NTSTATUS>{STATUS_SUCCESS}, done);
}

TEST_F(MbbCxTest, EachNoticeGetsOneReceiveLaterOnTheReceiveThreadInOrder)
{
    PKTHREAD testThread = KeGetCurrentThread();
    std::atomic<int> active{0};
    std::mutex lock;
    std::vector<std::string> receives;
    int next = 0;
    // Answers in turn: one byte, a failure, no bytes, then bytes that fill the room.
    g_receive = [&](WDFDEVICE, MBBREQUEST request) {
        EXPECT_NE(testThread, KeGetCurrentThread());
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
        EXPECT_EQ(1, ++active);
        size_t capacity = 0;
        auto* buffer = static_cast<UCHAR*>(MbbRequestGetBuffer(request, &capacity));
        int turn = next++;
        {
            std::lock_guard<std::mutex> guard(lock);
            receives.push_back(std::to_string(turn) + ":" + std::to_string(capacity));
        }
        --active;
        memset(buffer, 'a' + turn, capacity);
        switch (turn) {
        case 1:
            MbbRequestCompleteWithInformation(request, STATUS_UNSUCCESSFUL, 1);
            break;
        case 2:
            MbbRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
            break;
        default:
            MbbRequestCompleteWithInformation(request, STATUS_SUCCESS, turn == 0 ? 1 : capacity);
        }
    };
    ASSERT_EQ(STATUS_SUCCESS, Add());
    WDFDEVICE device = host::MbbFindDevice(kInstance);
    ASSERT_NE(nullptr, device);
    std::vector<std::vector<UCHAR>> delivered;
    host::MbbHostSide side;
    side.received = [&](std::span<const UCHAR> fragment) {
        std::lock_guard<std::mutex> guard(lock);
        delivered.emplace_back(fragment.begin(), fragment.end());
    };
    ASSERT_EQ(STATUS_SUCCESS, host::MbbConnect(device, side));
    EXPECT_EQ(STATUS_DEVICE_BUSY, host::MbbConnect(device, side));

    for (int i = 0; i < 3; ++i) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        MbbDeviceResponseAvailable(device);
        KeLowerIrql(irql);
    }
    ASSERT_TRUE(hosttest::WaitUntil([&] { return host::MbbQueryCounters(device).receives == 3 && next == 3; },
                                    100 * kMs, kMs));
    host::MbbSetReceiveCapacity(device, 200);
    MbbDeviceResponseAvailable(device);
    ASSERT_TRUE(hosttest::WaitUntil([&] { return host::MbbQueryCounters(device).delivered == 2; }, 100 * kMs, kMs));

    EXPECT_EQ((std::vector<std::string>{"0:64", "1:64", "2:64", "3:200"}), receives);
    ASSERT_EQ(2u, delivered.size());
    EXPECT_EQ(std::vector<UCHAR>{'a'}, delivered[0]);
    EXPECT_EQ(std::vector<UCHAR>(200, 'd'), delivered[1]);
    host::MbbCounters counters = host::MbbQueryCounters(device);
    EXPECT_EQ(4u, counters.responsesAvailable);
    EXPECT_EQ(4u, counters.receives);
    EXPECT_EQ(2u, counters.emptyReceives);
    host::MbbDisconnect(device);
}

} // namespace
