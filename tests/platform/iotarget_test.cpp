// Remote I/O targets, names and properties, seen from a client driver linked into the test: it opens the
// test stack by its interface path, sends to it, and hears of its removal.
#include "fxstack.h"

#include "host_test.h"

#include <wdf.h>

namespace
{

using namespace fxtest;

constexpr std::u16string_view kClientInstance = u"TEST\\CLIENT\\0";

struct Client {
    WDFDEVICE device = nullptr;
    WDFIOTARGET target = nullptr;
    WDFQUEUE deferred = nullptr;
    NTSTATUS queryRemoveAnswer = STATUS_SUCCESS;
    std::vector<std::string> events;
    std::u16string targetPath;
};
Client* g_client;

NTSTATUS TargetQueryRemove(WDFIOTARGET Target)
{
    g_client->events.push_back("QueryRemove");
    if (NT_SUCCESS(g_client->queryRemoveAnswer))
        WdfIoTargetCloseForQueryRemove(Target);
    return g_client->queryRemoveAnswer;
}

void TargetRemoveCanceled(WDFIOTARGET)
{
    g_client->events.push_back("RemoveCanceled");
}

void TargetRemoveComplete(WDFIOTARGET Target)
{
    g_client->events.push_back("RemoveComplete");
    WdfIoTargetClose(Target);
}

NTSTATUS ClientDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\FxClient0");
    NTSTATUS status = WdfDeviceInitAssignName(DeviceInit, &name);
    if (NT_SUCCESS(status))
        status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &g_client->device);
    if (!NT_SUCCESS(status))
        return status;
    // The manual queue a support layer parents its deferred work to: passive, serialised per queue.
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeQueue;
    status = WdfIoQueueCreate(g_client->device, &config, &attributes, &g_client->deferred);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfIoTargetCreate(g_client->device, WDF_NO_OBJECT_ATTRIBUTES, &g_client->target);
    if (!NT_SUCCESS(status) || g_client->targetPath.empty())
        return status;
    UNICODE_STRING path;
    path.Buffer = g_client->targetPath.data();
    path.Length = path.MaximumLength = static_cast<USHORT>(g_client->targetPath.size() * sizeof(WCHAR));
    WDF_IO_TARGET_OPEN_PARAMS open;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&open, &path, GENERIC_READ | GENERIC_WRITE);
    open.EvtIoTargetQueryRemove = TargetQueryRemove;
    open.EvtIoTargetRemoveCanceled = TargetRemoveCanceled;
    open.EvtIoTargetRemoveComplete = TargetRemoveComplete;
    return WdfIoTargetOpen(g_client->target, &open);
}

NTSTATUS ClientEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ClientDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

void RecordCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    *static_cast<NTSTATUS*>(Context) = Params->IoStatus.Status;
}

class TargetTest : public StackTest
{
  protected:
    void SetUp() override
    {
        StackTest::SetUp();
        client_ = std::make_unique<Client>();
        g_client = client_.get();
        host::DriverRegisterBuiltin(u"FxClient", ClientEntry);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"TEST\\CLIENT", u"FxClient"));
    }
    void TearDown() override
    {
        if (host::PnpQueryState(kClientInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kClientInstance));
        }
        StackTest::TearDown();
    }
    // Adds the stack, then the client with its target opened on the stack's interface.
    void AddBoth()
    {
        ASSERT_EQ(STATUS_SUCCESS, Add());
        auto paths = host::IoInterfaceList(GUID_FXTEST_INTERFACE);
        ASSERT_EQ(1u, paths.size());
        client_->targetPath = u"\\??\\" + paths[0].substr(4);
        ASSERT_EQ(STATUS_SUCCESS,
                  host::PnpAddDevice({std::u16string(kClientInstance), {u"TEST\\CLIENT"}, {}}));
        ASSERT_NE(nullptr, client_->target);
    }
    NTSTATUS Echo(const char* text, size_t* returned)
    {
        char out[16] = {};
        WDF_MEMORY_DESCRIPTOR input, output;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&input, const_cast<char*>(text),
                                          static_cast<ULONG>(strlen(text) + 1));
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, out, sizeof(out));
        ULONG_PTR bytes = 0;
        NTSTATUS status = WdfIoTargetSendIoctlSynchronously(client_->target, nullptr, IOCTL_FXFUNC_ECHO,
                                                            &input, &output, nullptr, &bytes);
        *returned = bytes;
        if (NT_SUCCESS(status)) {
            EXPECT_STREQ(text, out);
        }
        return status;
    }
    // A request of the client's for `code`, formatted for its target (again, when reused); its
    // completion status lands in `*completed`.
    WDFREQUEST Format(WDFREQUEST request, ULONG code, NTSTATUS* completed)
    {
        if (request == nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, client_->target, &request));
        } else {
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, 0, STATUS_SUCCESS);
            EXPECT_EQ(STATUS_SUCCESS, WdfRequestReuse(request, &reuse));
        }
        EXPECT_EQ(STATUS_SUCCESS, WdfIoTargetFormatRequestForIoctl(client_->target, request, code, nullptr,
                                                                   nullptr, nullptr, nullptr));
        *completed = STATUS_PENDING;
        WdfRequestSetCompletionRoutine(request, RecordCompletion, completed);
        return request;
    }
    std::unique_ptr<Client> client_;
};

TEST_F(TargetTest, SendsThroughARemoteTargetOpenedByInterfacePath)
{
    AddBoth();
    size_t returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, Echo("remote", &returned));
    EXPECT_EQ(7u, returned);
    EXPECT_EQ(WdfIoTargetStarted, WdfIoTargetGetState(client_->target));

    // Stopped, the target refuses requests until it is started again.
    WdfIoTargetStop(client_->target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Echo("x", &returned));
    EXPECT_EQ(STATUS_SUCCESS, WdfIoTargetStart(client_->target));
    EXPECT_EQ(STATUS_SUCCESS, Echo("again", &returned));
}

TEST_F(TargetTest, PurgeCancelsWhatWasSentAndRefusesMoreUntilStarted)
{
    AddBoth();
    NTSTATUS completed;
    WDFREQUEST request = Format(nullptr, IOCTL_FXFUNC_PEND, &completed);
    ASSERT_TRUE(WdfRequestSend(request, client_->target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(STATUS_PENDING, completed);

    WdfIoTargetPurge(client_->target, WdfIoTargetPurgeIoAndWait);
    EXPECT_EQ(STATUS_CANCELLED, completed);
    EXPECT_EQ(WdfIoTargetPurged, WdfIoTargetGetState(client_->target));

    Format(request, IOCTL_FXFUNC_STATUS, &completed);
    EXPECT_FALSE(WdfRequestSend(request, client_->target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, WdfRequestGetStatus(request));

    EXPECT_EQ(STATUS_SUCCESS, WdfIoTargetStart(client_->target));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    Format(request, IOCTL_FXFUNC_STATUS, &completed);
    EXPECT_TRUE(WdfRequestSend(request, client_->target, &options));
    EXPECT_EQ(FXFUNC_INFO_STATUS, WdfRequestGetStatus(request));
    WdfObjectDelete(request);
}

TEST_F(TargetTest, AsynchronousSendIsCancelledAtItsTimeOut)
{
    AddBoth();
    NTSTATUS completed;
    WDFREQUEST request = Format(nullptr, IOCTL_FXFUNC_PEND, &completed);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(50));
    ASSERT_TRUE(WdfRequestSend(request, client_->target, &options));
    host::ClockAdvance(49 * kMs);
    EXPECT_EQ(STATUS_PENDING, completed);
    host::ClockAdvance(1 * kMs);
    host::ClockAdvance(0);
    EXPECT_EQ(STATUS_CANCELLED, completed);

    // Completed before its time-out, a request is not cancelled later.
    Format(request, IOCTL_FXFUNC_STATUS, &completed);
    ASSERT_TRUE(WdfRequestSend(request, client_->target, &options));
    EXPECT_EQ(FXFUNC_INFO_STATUS, completed);
    host::ClockAdvance(100 * kMs);
    EXPECT_EQ(FXFUNC_INFO_STATUS, completed);
    WdfObjectDelete(request);
}

TEST_F(TargetTest, RemovalOfTheTargetsDeviceIsAnnounced)
{
    AddBoth();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ((std::vector<std::string>{"QueryRemove", "RemoveComplete"}), client_->events);
    EXPECT_EQ(WdfIoTargetClosed, WdfIoTargetGetState(client_->target));
    size_t returned = 0;
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Echo("gone", &returned));
}

TEST_F(TargetTest, ATargetCanVetoTheRemoval)
{
    AddBoth();
    client_->queryRemoveAnswer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ(host::PnpState::Started, host::PnpQueryState(kInstance));
    size_t returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, Echo("kept", &returned));
    client_->queryRemoveAnswer = STATUS_SUCCESS;
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ((std::vector<std::string>{"QueryRemove", "QueryRemove", "RemoveComplete"}), client_->events);
}

TEST_F(TargetTest, NamedDeviceGetsSymbolicLinksAndProperties)
{
    AddBoth();
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\FxClient0");
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceCreateSymbolicLink(client_->device, &link));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, WdfDeviceCreateSymbolicLink(client_->device, &link));
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::IoOpen(u"\\\\.\\FxClient0", &handle));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
    ASSERT_EQ(STATUS_SUCCESS, host::IoOpen(u"\\Device\\FxClient0", &handle));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));

    WCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              WdfDeviceQueryProperty(client_->device, DevicePropertyHardwareID, 4, buffer, &length));
    EXPECT_EQ(sizeof(u"TEST\\CLIENT\0"), length);
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceQueryProperty(client_->device, DevicePropertyHardwareID,
                                                     sizeof(buffer), buffer, &length));
    EXPECT_EQ(std::u16string(u"TEST\\CLIENT\0", 13), std::u16string(buffer, length / sizeof(WCHAR)));
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceQueryProperty(client_->device, DevicePropertyDriverKeyName,
                                                     sizeof(buffer), buffer, &length));
    EXPECT_EQ(u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0001", std::u16string(buffer));
}

TEST_F(TargetTest, DeviceKeysHoldWhatTheDriverWrites)
{
    AddBoth();
    WDFKEY key;
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceOpenRegistryKey(client_->device, PLUGPLAY_REGKEY_DEVICE,
                                                       KEY_READ | KEY_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &key));
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"Setting");
    ASSERT_EQ(STATUS_SUCCESS, WdfRegistryAssignULong(key, &name, 42));
    ULONG value = 0;
    EXPECT_EQ(STATUS_SUCCESS, WdfRegistryQueryULong(key, &name, &value));
    EXPECT_EQ(42u, value);
    UNICODE_STRING missing = RTL_CONSTANT_STRING(u"Missing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, WdfRegistryQueryULong(key, &missing, &value));
    WdfRegistryClose(key);
    auto stored = host::RegistryGetValue(std::u16string(host::kEnumKey) + u"\\" +
                                             std::u16string(kClientInstance) + u"\\Device Parameters",
                                         u"Setting");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(ULONG(REG_DWORD), stored->type);

    // A key opened for reading refuses writes.
    ASSERT_EQ(STATUS_SUCCESS, WdfDeviceOpenRegistryKey(client_->device, PLUGPLAY_REGKEY_DRIVER, KEY_READ,
                                                       WDF_NO_OBJECT_ATTRIBUTES, &key));
    EXPECT_EQ(STATUS_ACCESS_DENIED, WdfRegistryAssignULong(key, &name, 1));
    WdfRegistryClose(key);
}

// Work items and timers parented to a passive, queue-scoped queue run at PASSIVE_LEVEL under the
// queue's lock; a DPC cannot be serialised by it.
void Deferred(WDFWORKITEM)
{
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    g_client->events.push_back("work");
}

void DeferredDpc(WDFDPC) {}

TEST_F(TargetTest, QueueCarriesExecutionLevelAndScopeToDeferredWork)
{
    AddBoth();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = client_->deferred;
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Deferred);
    WDFWORKITEM item;
    ASSERT_EQ(STATUS_SUCCESS, WdfWorkItemCreate(&config, &attributes, &item));
    WdfObjectAcquireLock(client_->deferred);
    WdfWorkItemEnqueue(item);
    host::ClockAdvance(0);
    EXPECT_TRUE(client_->events.empty()); // held off by the queue's lock
    WdfObjectReleaseLock(client_->deferred);
    WdfWorkItemFlush(item);
    EXPECT_EQ((std::vector<std::string>{"work"}), client_->events);

    WDF_DPC_CONFIG dpcConfig;
    WDF_DPC_CONFIG_INIT(&dpcConfig, DeferredDpc);
    WDFDPC dpc;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, WdfDpcCreate(&dpcConfig, &attributes, &dpc));
}

} // namespace
