// Queue semantics, seen from a driver linked into the test: sequential presentation, serialisation by
// the device's lock, manual retrieval, stop with requeue, cancellation on the queue, exclusive opens.
#include "fxstack.h"

#include "host_test.h"

#include <wdf.h>

namespace
{

using namespace fxtest;

constexpr std::u16string_view kQueueInstance = u"TEST\\QUEUE\\0";
#define IOCTL_HOLD CTL_CODE(FXTEST_DEVICE, 0xa01, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PARK CTL_CODE(FXTEST_DEVICE, 0xa02, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct Driver {
    WDFDEVICE device = nullptr;
    WDFQUEUE sequential = nullptr;
    WDFQUEUE manual = nullptr;
    std::vector<WDFREQUEST> held;
    std::vector<std::string> events;
    BOOLEAN requeueOnStop = TRUE;
};
Driver* g_driver;

void HoldRequest(WDFQUEUE, WDFREQUEST Request, size_t, size_t, ULONG IoControlCode)
{
    if (IoControlCode == IOCTL_PARK) {
        g_driver->events.push_back("park");
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, g_driver->manual);
        if (!NT_SUCCESS(status))
            WdfRequestComplete(Request, status);
        return;
    }
    g_driver->events.push_back("present");
    g_driver->held.push_back(Request);
}

void StopHeld(WDFQUEUE, WDFREQUEST Request, ULONG ActionFlags)
{
    g_driver->events.push_back(ActionFlags & WdfRequestStopActionSuspend ? "stop suspend" : "stop purge");
    auto& held = g_driver->held;
    held.erase(std::remove(held.begin(), held.end(), Request), held.end());
    if (g_driver->requeueOnStop)
        WdfRequestStopAcknowledge(Request, TRUE);
    else
        WdfRequestComplete(Request, STATUS_CANCELLED);
}

void CanceledOnQueue(WDFQUEUE, WDFREQUEST Request)
{
    g_driver->events.push_back("canceled on queue");
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

NTSTATUS QueueDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\FxQueue0");
    WdfDeviceInitAssignName(DeviceInit, &name);
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &g_driver->device);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\FxQueue0");
    status = WdfDeviceCreateSymbolicLink(g_driver->device, &link);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = HoldRequest;
    config.EvtIoStop = StopHeld;
    if (NT_SUCCESS(status))
        status = WdfIoQueueCreate(g_driver->device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_driver->sequential);
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.EvtIoCanceledOnQueue = CanceledOnQueue;
    if (NT_SUCCESS(status))
        status = WdfIoQueueCreate(g_driver->device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_driver->manual);
    return status;
}

NTSTATUS QueueEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, QueueDeviceAdd, nullptr);
}

class QueueTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver_ = std::make_unique<Driver>();
        g_driver = driver_.get();
        host::DriverRegisterBuiltin(u"FxQueue", QueueEntry);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"TEST\\QUEUE", u"FxQueue"));
        ASSERT_EQ(STATUS_SUCCESS, host::PnpAddDevice({std::u16string(kQueueInstance), {u"TEST\\QUEUE"}, {}}));
        ASSERT_EQ(STATUS_SUCCESS, host::IoOpen(u"\\\\.\\FxQueue0", &handle_));
    }
    void TearDown() override
    {
        EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle_));
        if (host::PnpQueryState(kQueueInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kQueueInstance));
        }
        host::Quiesce();
    }
    // Sends `code` from a thread of its own; the status lands in `*status`.
    std::unique_ptr<fxtest::Thread> Send(ULONG code, NTSTATUS* status)
    {
        *status = STATUS_PENDING;
        HANDLE handle = handle_;
        auto thread = std::make_unique<fxtest::Thread>([handle, code, status] {
            ULONG_PTR returned;
            *status = host::IoDeviceControl(handle, code, nullptr, 0, nullptr, 0, &returned);
        });
        host::ClockAdvance(0);
        return thread;
    }
    std::unique_ptr<Driver> driver_;
    HANDLE handle_ = nullptr;
};

TEST_F(QueueTest, SequentialQueuePresentsOneRequestAtATime)
{
    NTSTATUS first, second;
    auto a = Send(IOCTL_HOLD, &first);
    auto b = Send(IOCTL_HOLD, &second);
    EXPECT_EQ((std::vector<std::string>{"present"}), driver_->events);
    WdfRequestComplete(driver_->held[0], STATUS_SUCCESS);
    a->Join();
    host::ClockAdvance(0);
    EXPECT_EQ(STATUS_SUCCESS, first);
    EXPECT_EQ((std::vector<std::string>{"present", "present"}), driver_->events);
    WdfRequestComplete(driver_->held[1], STATUS_DEVICE_BUSY);
    b->Join();
    EXPECT_EQ(STATUS_DEVICE_BUSY, second);
}

TEST_F(QueueTest, DeviceScopeSerialisesPresentationWithTheDeviceLock)
{
    WdfObjectAcquireLock(driver_->device);
    NTSTATUS status;
    auto sender = Send(IOCTL_HOLD, &status);
    EXPECT_TRUE(driver_->events.empty());
    WdfObjectReleaseLock(driver_->device);
    host::ClockAdvance(0);
    EXPECT_EQ((std::vector<std::string>{"present"}), driver_->events);
    WdfRequestComplete(driver_->held[0], STATUS_SUCCESS);
}

TEST_F(QueueTest, ManualQueueHandsOutRequestsOnRetrieval)
{
    WDFREQUEST request = nullptr;
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, WdfIoQueueRetrieveNextRequest(driver_->manual, &request));
    NTSTATUS status;
    auto sender = Send(IOCTL_PARK, &status);
    ASSERT_EQ(STATUS_SUCCESS, WdfIoQueueRetrieveNextRequest(driver_->manual, &request));
    EXPECT_EQ(driver_->manual, WdfRequestGetIoQueue(request));
    WDFREQUEST none = nullptr;
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, WdfIoQueueRetrieveNextRequest(driver_->manual, &none));
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
    sender->Join();
    EXPECT_EQ(STATUS_SUCCESS, status);
}

TEST_F(QueueTest, PurgeCallsCanceledOnQueueForWaitingRequests)
{
    NTSTATUS status;
    auto sender = Send(IOCTL_PARK, &status);
    WdfIoQueuePurgeSynchronously(driver_->manual);
    sender->Join();
    EXPECT_EQ(STATUS_CANCELLED, status);
    EXPECT_EQ((std::vector<std::string>{"park", "canceled on queue"}), driver_->events);
    // Purged, the queue refuses new requests until started.
    auto refused = Send(IOCTL_PARK, &status);
    refused->Join();
    EXPECT_EQ(STATUS_CANCELLED, status);
    WdfIoQueueStart(driver_->manual);
}

TEST_F(QueueTest, StopRequeuesAcknowledgedRequestsAndPresentsThemAgain)
{
    NTSTATUS status;
    auto sender = Send(IOCTL_HOLD, &status);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStopDevice(kQueueInstance));
    EXPECT_EQ((std::vector<std::string>{"present", "stop suspend"}), driver_->events);
    EXPECT_TRUE(driver_->held.empty());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStartDevice(kQueueInstance));
    EXPECT_EQ((std::vector<std::string>{"present", "stop suspend", "present"}), driver_->events);
    ASSERT_EQ(1u, driver_->held.size());
    WdfRequestComplete(driver_->held[0], STATUS_SUCCESS);
    sender->Join();
    EXPECT_EQ(STATUS_SUCCESS, status);
}

TEST_F(QueueTest, StopIdleBringsTheDeviceBackAndHoldsItInD0)
{
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
    idle.IdleTimeout = 100;
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceAssignS0IdleSettings(driver_->device, &idle));
    host::ClockAdvance(100 * kMs);
    host::ClockAdvance(0);
    ASSERT_EQ(PowerDeviceD3, host::PnpQueryPowerState(kQueueInstance));

    EXPECT_EQ(STATUS_SUCCESS, WdfDeviceStopIdle(driver_->device, TRUE));
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kQueueInstance));
    host::ClockAdvance(1000 * kMs);
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kQueueInstance));
    WdfDeviceResumeIdle(driver_->device);
    host::ClockAdvance(100 * kMs);
    host::ClockAdvance(0);
    EXPECT_EQ(PowerDeviceD3, host::PnpQueryPowerState(kQueueInstance));

    // Without an idle policy the device returns to D0 and stays.
    idle.Enabled = WdfFalse;
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceAssignS0IdleSettings(driver_->device, &idle));
    host::ClockAdvance(0);
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kQueueInstance));
}

TEST_F(QueueTest, AnExclusiveDeviceOpensOnce)
{
    HANDLE second = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, host::IoOpen(u"\\\\.\\FxQueue0", &second));
    EXPECT_EQ(nullptr, second);
}

} // namespace
