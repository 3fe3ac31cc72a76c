// The control device from user mode, and the registry protocol with the management service.
#include "filter_fixture.h"
#include "host_test.h"

#include <host/host.h>
#include <host/io.h>
#include <host/loader.h>
#include <host/registry.h>

#include <atomic>

using namespace quenmarktest;

namespace
{

constexpr std::u16string_view kDevice = u"\\\\.\\KvWwanFilter";

class ControlDeviceTest : public FilterTest
{
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, host::IoOpen(kDevice, &handle));
    }
    void TearDown() override
    {
        if (handle != nullptr)
            host::IoClose(handle);
        FilterTest::TearDown();
    }
    NTSTATUS Ioctl(ULONG code, ULONG* out, size_t outLength, ULONG_PTR* returned = nullptr)
    {
        return host::IoDeviceControl(handle, code, nullptr, 0, out, outLength, returned);
    }
    // A WAIT_MODE_CHANGE on its own thread; its result once it returns.
    struct Waiter {
        HANDLE thread = nullptr;
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_PENDING;
        ULONG mode = 0;
        ULONG_PTR returned = 0;
    };
    void StartWait(Waiter* waiter)
    {
        waiter->thread = hosttest::StartThread([this, waiter] {
            waiter->status = host::IoDeviceControl(handle, IOCTL_FILTER_WAIT_MODE_CHANGE, nullptr, 0, &waiter->mode,
                                                   sizeof(waiter->mode), &waiter->returned);
            waiter->done = true;
        });
        host::ClockAdvance(0); // it reaches the driver and pends
    }
    void Finish(Waiter* waiter) { hosttest::JoinThread(waiter->thread); }

    HANDLE handle = nullptr;
};

TEST_F(ControlDeviceTest, TheIoctlCodesAreTheDevicesOwn)
{
    EXPECT_EQ(0x170004u, ULONG(IOCTL_FILTER_RESTART_INSTANCE));
    EXPECT_EQ(0x170008u, ULONG(IOCTL_FILTER_ENUM_INSTANCES));
    EXPECT_EQ(0x172000u, ULONG(IOCTL_FILTER_GET_WORKING_MODE));
    EXPECT_EQ(0x172004u, ULONG(IOCTL_FILTER_WAIT_MODE_CHANGE));
}

TEST_F(ControlDeviceTest, EnumReportsWhatItNeedsAndWritesOnlyWholeNames)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    host::ndis::EdgeInfo second;
    second.guidName = u"\\DEVICE\\{11111111-2222-3333-4444-555555555555}";
    peers::OsPeer os2;
    peers::MiniportEdge edge2(&mbim, &os2, second);
    ASSERT_EQ(NDIS_STATUS_SUCCESS, host::ndis::BindAttach(edge2.Edge(), kService));
    std::u16string first = host::ndis::BindModuleName(edge2.Edge()); // the newest module is listed first
    std::u16string other = host::ndis::BindModuleName(edge->Edge());
    ULONG needed = ULONG(2 + first.size() * 2 + 2 + other.size() * 2);

    host::IoRawResult none = host::IoDeviceControlRaw(handle, IOCTL_FILTER_ENUM_INSTANCES, nullptr, 0, 0);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, none.status);
    EXPECT_EQ(needed, none.information);

    host::IoRawResult part = host::IoDeviceControlRaw(handle, IOCTL_FILTER_ENUM_INSTANCES, nullptr, 0, needed - 1);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, part.status);
    EXPECT_EQ(needed, part.information);
    USHORT length;
    memcpy(&length, part.buffer.data(), 2);
    ASSERT_EQ(first.size() * 2, length);
    EXPECT_EQ(0, memcmp(first.data(), part.buffer.data() + 2, length));
    EXPECT_EQ(std::vector<UCHAR>(needed - 1 - 2 - length, 0), std::vector<UCHAR>(part.buffer.begin() + 2 + length, part.buffer.end()));

    host::IoRawResult all = host::IoDeviceControlRaw(handle, IOCTL_FILTER_ENUM_INSTANCES, nullptr, 0, needed);
    EXPECT_EQ(STATUS_SUCCESS, all.status);
    EXPECT_EQ(needed, all.information);
    host::ndis::BindDetach(edge2.Edge());
}

TEST_F(ControlDeviceTest, RestartFindsAModuleByTheStartOfItsNameAndIgnoresTheRest)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    ASSERT_EQ(NDIS_STATUS_SUCCESS, host::ndis::BindRestart(edge->Edge()));
    std::u16string name = host::ndis::BindModuleName(edge->Edge());
    std::u16string nomatch = u"{nothing}";
    EXPECT_EQ(STATUS_SUCCESS, host::IoDeviceControl(handle, IOCTL_FILTER_RESTART_INSTANCE, nomatch.data(),
                                                    nomatch.size() * 2, nullptr, 0, nullptr));
    host::Quiesce();
    EXPECT_EQ(host::ndis::ModuleState::Running, host::ndis::BindState(edge->Edge()));
    // A longer input whose start is the name matches (kept as the driver has it).
    std::u16string longer = name + u"-trailing";
    module->State = FILTER_STATE_RUNNING;
    EXPECT_EQ(STATUS_SUCCESS, host::IoDeviceControl(handle, IOCTL_FILTER_RESTART_INSTANCE, longer.data(),
                                                    longer.size() * 2, nullptr, 0, nullptr));
    host::Quiesce();
    EXPECT_EQ(host::ndis::ModuleState::Running, host::ndis::BindState(edge->Edge()));
    EXPECT_EQ(ULONG(FILTER_STATE_RUNNING), module->State); // paused and restarted by NDIS
}

TEST_F(ControlDeviceTest, GetWorkingModeNeedsAModuleAndRoomAndNeverSaysOne)
{
    ULONG mode = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Ioctl(IOCTL_FILTER_GET_WORKING_MODE, &mode, sizeof(mode)));
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    USHORT small = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              host::IoDeviceControl(handle, IOCTL_FILTER_GET_WORKING_MODE, nullptr, 0, &small, sizeof(small), nullptr));
    module->EsimFlag = 1;
    FilterSetWorkingMode(module, WORKING_MODE_RESTRICTED);
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_FILTER_GET_WORKING_MODE, &mode, sizeof(mode), &returned));
    EXPECT_EQ(2u, mode);
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(0x170000, &mode, sizeof(mode))); // another code: nothing, success
}

TEST_F(ControlDeviceTest, WaitModeChangeCompletesOnAChangedPublicationOnly)
{
    ULONG mode = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Ioctl(IOCTL_FILTER_WAIT_MODE_CHANGE, &mode, sizeof(mode)));
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(IOCTL_FILTER_WAIT_MODE_CHANGE, &mode, 2));
    Waiter waiter;
    StartWait(&waiter);
    FilterSetWorkingMode(module, WORKING_MODE_RESTRICTED); // already published
    host::ClockAdvance(0);
    EXPECT_FALSE(waiter.done);
    module->EsimFlag = 1;
    FilterSetWorkingMode(module, WORKING_MODE_RESTRICTED); // the eSIM flag shows: 1
    Finish(&waiter);
    EXPECT_EQ(STATUS_SUCCESS, waiter.status);
    EXPECT_EQ(1u, waiter.mode);
    EXPECT_EQ(4u, waiter.returned);
}

TEST_F(ControlDeviceTest, AWaitEndsCancelledOrNotReadyAtDetach)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    Waiter cancelled;
    StartWait(&cancelled);
    EXPECT_EQ(STATUS_SUCCESS, host::IoCancelRequests(handle));
    Finish(&cancelled);
    EXPECT_EQ(STATUS_CANCELLED, cancelled.status);
    EXPECT_TRUE(IsListEmpty(&module->ModeIrpList));

    Waiter detached;
    StartWait(&detached);
    os.Remove();
    Finish(&detached);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, detached.status);
    EXPECT_EQ(0u, detached.returned);
    ULONG mode;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Ioctl(IOCTL_FILTER_WAIT_MODE_CHANGE, &mode, sizeof(mode)));
}

TEST_F(ControlDeviceTest, CancelRacingPublicationCompletesEachWaitOnce)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    for (int round = 0; round < 20; round++) {
        Waiter waiter;
        StartWait(&waiter);
        HANDLE canceller = hosttest::StartThread([this] { host::IoCancelRequests(handle); });
        FilterSetWorkingMode(module, round % 2 == 0 ? WORKING_MODE_NORMAL : WORKING_MODE_RESTRICTED);
        hosttest::JoinThread(canceller);
        Finish(&waiter);
        EXPECT_TRUE(waiter.status == STATUS_SUCCESS || waiter.status == STATUS_CANCELLED) << waiter.status;
        EXPECT_TRUE(IsListEmpty(&module->ModeIrpList));
    }
}

TEST_F(ControlDeviceTest, AWaitRacingDetachIsNeverLeftOnAFreedModule)
{
    for (int round = 0; round < 10; round++) {
        ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
        Waiter waiter;
        waiter.thread = hosttest::StartThread([this, &waiter] {
            waiter.status = host::IoDeviceControl(handle, IOCTL_FILTER_WAIT_MODE_CHANGE, nullptr, 0, &waiter.mode,
                                                  sizeof(waiter.mode), &waiter.returned);
        });
        os.Remove();
        Finish(&waiter);
        EXPECT_TRUE(waiter.status == STATUS_DEVICE_NOT_READY || waiter.status == STATUS_INVALID_PARAMETER)
            << waiter.status;
        edge.reset();
    }
}

// ---------------------------------------------------------------------------------------------
// The registry protocol.
class RegistryProtocolTest : public FilterTest
{
  protected:
    static std::u16string Key(int controlSet, std::u16string_view subkey)
    {
        std::u16string set = controlSet == 0 ? u"CurrentControlSet" : u"ControlSet00" + std::u16string(1, u'0' + controlSet);
        return u"\\Registry\\Machine\\SYSTEM\\" + set + u"\\Control\\WwanUpdateConfig\\Brennick\\" + std::u16string(subkey);
    }
};

TEST_F(RegistryProtocolTest, DriverEntryCreatesTheKeysAndUnloadSetsTheRemovalFlag)
{
    EXPECT_EQ(0u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
    Unload();
    EXPECT_EQ(1u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
    // The same key under the control set's own name.
    EXPECT_EQ(1u, hosttest::RegistryDword(u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\WwanUpdateConfig\\Brennick",
                                          FILTER_VALUE_UNINSTALL)
                      .value_or(9));
}

TEST_F(RegistryProtocolTest, TheServicesWritesBecomeRadioAndResumeEvents)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    const struct {
        const char* name;
        int controlSet;
        std::u16string_view subkey;
        ULONG poc;
        ULONG flags;
        ULONG mode;
        UCHAR syncing;
        LONG expected;
    } cases[] = {
        {"cellular, current", 0, FILTER_SUBKEY_CELLULAR, 0, 3, 4, 0, SWITCH_EVT_RADIO_REGISTRY},
        {"cellular, set 5", 5, FILTER_SUBKEY_CELLULAR, 0, 3, 4, 0, SWITCH_EVT_RADIO_REGISTRY},
        {"cellular, set 6", 6, FILTER_SUBKEY_CELLULAR, 0, 3, 4, 0, 0},
        {"cellular, POC on", 1, FILTER_SUBKEY_CELLULAR, 1, 3, 4, 0, 0},
        {"cellular, not a target", 1, FILTER_SUBKEY_CELLULAR, 0, 1, 4, 0, 0},
        {"resume, restricted", 2, FILTER_SUBKEY_POWER_RESUME, 0, 3, 2, 0, SWITCH_EVT_POWER_RESUME},
        {"resume, normal", 2, FILTER_SUBKEY_POWER_RESUME, 0, 3, 4, 0, 0},
        {"resume, syncing", 2, FILTER_SUBKEY_POWER_RESUME, 0, 3, 2, 1, 0},
        {"another subkey", 1, u"Other", 0, 3, 2, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        module->PocMode = c.poc;
        module->ModeFlags = c.flags;
        module->WorkingMode = c.mode;
        module->SyncInProgress = c.syncing;
        module->SwitchBits = 0;
        // As the service writes: the subkey's default value, the subkey created on the way.
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(Key(c.controlSet, c.subkey), u"", 1));
        EXPECT_EQ(c.expected, module->SwitchBits);
    }
}

TEST_F(RegistryProtocolTest, OnlyTheFirstModuleHasTheCallbackAndDetachWaitsForARunningOne)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    Settle(WORKING_MODE_NORMAL);
    host::ndis::EdgeInfo second;
    second.guidName = u"\\DEVICE\\{99999999-2222-3333-4444-555555555555}";
    peers::OsPeer os2;
    {
        peers::MiniportEdge edge2(&mbim, &os2, second);
        ASSERT_EQ(NDIS_STATUS_SUCCESS, host::ndis::BindAttach(edge2.Edge(), kService));
        EXPECT_EQ(0, CurrentModule->RegistryCookie.QuadPart); // the altitude is taken: accepted
    }
    // Writers on another thread while the module detaches: the callback never runs on a freed module.
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    HANDLE writer = hosttest::StartThread([&] {
        for (int i = 0; !stop && i < 100000; i++) {
            host::RegistrySetDword(Key(1, FILTER_SUBKEY_CELLULAR), u"", i & 1);
            writes++;
        }
    });
    while (writes < 10) {
    }
    edge.reset();
    stop = true;
    hosttest::JoinThread(writer);
}

NDIS_STATUS RefuseAttach(NDIS_HANDLE, NDIS_HANDLE, PNDIS_FILTER_ATTACH_PARAMETERS)
{
    return NDIS_STATUS_NOT_SUPPORTED;
}
void NoDetach(NDIS_HANDLE) {}
NDIS_STATUS NoRestart(NDIS_HANDLE, PNDIS_FILTER_RESTART_PARAMETERS)
{
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS NoPause(NDIS_HANDLE, PNDIS_FILTER_PAUSE_PARAMETERS)
{
    return NDIS_STATUS_SUCCESS;
}

TEST_F(RegistryProtocolTest, AControlDeviceOfTheSameNameElsewhereDoesNotStopTheLoad)
{
    Unload();
    // Another filter driver holds the name.
    DRIVER_OBJECT otherDriver{};
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars{};
    chars.Header = {NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, NDIS_FILTER_CHARACTERISTICS_REVISION_3,
                    NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_3};
    RtlInitUnicodeString(&chars.UniqueName, u"{00000000-0000-0000-0000-000000000001}");
    RtlInitUnicodeString(&chars.ServiceName, u"Other");
    chars.AttachHandler = RefuseAttach;
    chars.DetachHandler = NoDetach;
    chars.RestartHandler = NoRestart;
    chars.PauseHandler = NoPause;
    NDIS_HANDLE other = nullptr;
    ASSERT_EQ(NDIS_STATUS_SUCCESS, NdisFRegisterFilterDriver(&otherDriver, nullptr, &chars, &other));
    PDRIVER_DISPATCH table[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    NDIS_STRING name;
    RtlInitUnicodeString(&name, FILTER_CONTROL_DEVICE_NAME);
    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes{};
    attributes.Header = {NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES, NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1,
                         NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1};
    attributes.DeviceName = &name;
    attributes.MajorFunctions = table;
    PDEVICE_OBJECT device = nullptr;
    NDIS_HANDLE deviceHandle = nullptr;
    ASSERT_EQ(NDIS_STATUS_SUCCESS, NdisRegisterDeviceEx(other, &attributes, &device, &deviceHandle));

    ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(kService, &driver));
    EXPECT_EQ(nullptr, ControlDeviceHandle);
    EXPECT_EQ(0u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
    Unload();
    NdisDeregisterDeviceEx(deviceHandle);
    NdisFDeregisterFilterDriver(other);
}

TEST(QuenmarkImageTest, TheImageLoadsRegistersAndUnloadsLeavingNothing)
{
    std::string image = WWAN_QUENMARK_IMAGE;
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(std::u16string(host::kServicesKey) + u"\\Quenmark", u"ImagePath",
                                                      std::u16string(image.begin(), image.end())));
    peers::FakeMbimHost mbim;
    peers::OsPeer os;
    {
        peers::MiniportEdge wwan(&mbim, &os);
        host::ndis::EdgeInfo ethernet;
        ethernet.medium = NdisMedium802_5;
        peers::MiniportEdge other(&mbim, &os, ethernet);
        os.Attach(wwan.Edge());
        ASSERT_EQ(STATUS_SUCCESS, host::ndis::FilterInstall(u"Quenmark"));
        EXPECT_EQ(host::ndis::ModuleState::Paused, host::ndis::BindState(wwan.Edge()));
        EXPECT_EQ(host::ndis::ModuleState::None, host::ndis::BindState(other.Edge()));
        HANDLE device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, host::IoOpen(u"\\\\.\\KvWwanFilter", &device));
        EXPECT_EQ(STATUS_SUCCESS, host::IoClose(device));
        EXPECT_EQ(0u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
        // The image's own modules hold the first WWAN OID until its sync worker joins.
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS, 64, 1));
        EXPECT_EQ(0, host::ndis::FilterUninstall(u"Quenmark")); // verifier clean
        EXPECT_EQ(STATUS_CANCELLED, os.CompletionOf(1)->status);
        EXPECT_EQ(host::ndis::ModuleState::None, host::ndis::BindState(wwan.Edge()));
    }
    EXPECT_EQ(1u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
    HANDLE device = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host::IoOpen(u"\\\\.\\KvWwanFilter", &device));
}

} // namespace
