// The modem device's own I/O: every device-control code through the device interface with what it
// does to the IPC state, the dump switches and the resets; the empty-buffer rule; reads and writes.
#include "device_fixture.h"

#include "host_test.h"

#include <host/io.h>
#include <host/pnp.h>
#include <host/registry.h>

#include <optional>
#include <vector>

#include <wwan_bridge.h>
#include <wwan_guids.h>

#include "DeviceIoctl.h"
#include "Driver.h"
#include "ModemEvents.h"
#include "fsm.h"
#include "modem_event_actions.h"

namespace
{

constexpr ULONG kLogDumpDone = 0x20004338;

std::u16string DriverKey()
{
    return host::PnpDriverKey(u"TEST\\TALUVO\\0");
}

class DeviceIoctlTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        doubles::Actions() = {};
        doubles::FsmState() = {};
        WriteRelease(&DumpFlags, (LONG)MBB_DUMP_FLAG_MINI);
        ipc_ = AddIpcContext();
        ipc_->State = IpcModemStateReady;
        Context()->IpcInUse = TRUE;
        // The full-dump switch exists in the driver key, the minidump switch does not.
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(DriverKey(), u"WWANCDConfig", 9));
        ASSERT_EQ(STATUS_SUCCESS, MbbDeviceQueueInitialize(Device()));
        UNICODE_STRING reference = RTL_CONSTANT_STRING(u"GUID_DEVINTERFACE_WWAN_NETADAPTER");
        ASSERT_EQ(STATUS_SUCCESS, WdfDeviceCreateDeviceInterface(Device(), &GUID_DEVINTERFACE_WWAN_MODEM, &reference));
        std::vector<std::u16string> paths = host::IoInterfaceList(GUID_DEVINTERFACE_WWAN_MODEM);
        ASSERT_EQ(1u, paths.size());
        EXPECT_NE(std::u16string::npos, paths[0].find(u"GUID_DEVINTERFACE_WWAN_NETADAPTER"));
        ASSERT_EQ(STATUS_SUCCESS, host::IoOpen(paths[0], &handle_));
    }

    void TearDown() override
    {
        if (handle_ != nullptr)
            host::IoClose(handle_);
        IpcModemWatchdogStop(ipc_);
        DeviceTest::TearDown();
    }

    NTSTATUS Control(ULONG code, size_t inputLength = 4, size_t outputLength = 4)
    {
        std::vector<UCHAR> input(inputLength, 0x5A);
        std::vector<UCHAR> output(outputLength);
        ULONG_PTR returned = 0xFFFF;
        NTSTATUS status = host::IoDeviceControl(handle_, code, input.data(), input.size(), output.data(),
                                                output.size(), &returned);
        EXPECT_EQ(0u, returned) << "no code hands data back";
        return status;
    }

    static std::optional<ULONG> Switch(std::u16string_view name) { return hosttest::RegistryDword(DriverKey(), name); }

    PIPC_CONTEXT ipc_ = nullptr;
    HANDLE handle_ = nullptr;
};

TEST_F(DeviceIoctlTest, EveryCodeDoesWhatItSaysAndNothingElse)
{
    struct Case {
        ULONG code;
        NTSTATUS status;
        ULONG ipcState;
        int fldr;
        int pldr;
        size_t fsmIoctls;
        LONG dumpFlags;
        std::optional<ULONG> cdConfig; // the minidump switch never appears
    };
    const LONG mini = MBB_DUMP_FLAG_MINI;
    const LONG both = MBB_DUMP_FLAG_MINI | MBB_DUMP_FLAG_FULL_RAM;
    const Case cases[] = {
        {0x170002, STATUS_INVALID_DEVICE_REQUEST, 3, 0, 0, 0, mini, 9},
        {0x221804, STATUS_SUCCESS, 8, 1, 0, 0, mini, 9},
        {0x221808, STATUS_SUCCESS, 7, 0, 1, 0, mini, 9},
        {0x22180C, STATUS_SUCCESS, 3, 0, 0, 0, mini, 9},
        {0x221C04, STATUS_SUCCESS, 3, 0, 0, 1, mini, 9},
        {0x221C08, STATUS_SUCCESS, 7, 0, 1, 0, mini, 9},
        {0x221C0C, STATUS_SUCCESS, 3, 0, 0, 0, mini, 0},
        {0x221C10, STATUS_SUCCESS, 3, 0, 0, 0, both, 1},
        {0x221C14, STATUS_SUCCESS, 3, 0, 0, 0, mini, 0},
        {0x221C18, STATUS_SUCCESS, 3, 0, 0, 0, 0, 0},
        {0x222425, STATUS_SUCCESS, 3, 0, 0, 0, mini, 9},
        {0x222442, STATUS_SUCCESS, 3, 0, 0, 0, mini, 9},
        {0x222444, STATUS_SUCCESS, 3, 0, 0, 0, mini, 9},
        {0x221810, STATUS_INVALID_DEVICE_REQUEST, 3, 0, 0, 0, mini, 9},
        {0x12345678, STATUS_INVALID_DEVICE_REQUEST, 3, 0, 0, 0, mini, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        doubles::Actions() = {};
        doubles::FsmState() = {};
        ipc_->State = IpcModemStateReady;
        WriteRelease(&DumpFlags, mini);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(DriverKey(), u"WWANCDConfig", 9));

        EXPECT_EQ(c.status, Control(c.code));
        EXPECT_EQ(c.ipcState, ipc_->State);
        EXPECT_EQ(c.fldr, doubles::Actions().fldr);
        EXPECT_EQ(c.pldr, doubles::Actions().pldr);
        ASSERT_EQ(c.fsmIoctls, doubles::FsmState().ioctls.size());
        if (c.fsmIoctls != 0) {
            EXPECT_EQ(kLogDumpDone, doubles::FsmState().ioctls[0].code);
        }
        EXPECT_EQ(c.dumpFlags, ReadAcquire(&DumpFlags));
        EXPECT_EQ(c.cdConfig, Switch(u"WWANCDConfig"));
        EXPECT_EQ(std::nullopt, Switch(u"WWANMiniConfig"));
    }
}

TEST_F(DeviceIoctlTest, ResetsAndTheLogDumpAnswerWithTheirOwnStatus)
{
    doubles::Actions().resetStatus = STATUS_INVALID_DEVICE_STATE;
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Control(0x221804));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Control(0x221808));
    doubles::FsmState().ioctl_result = -19;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Control(0x221C04));

    // A platform reset marks the IPC state only for a modem in use and ready.
    doubles::Actions() = {};
    ipc_->State = IpcModemStateCrash;
    EXPECT_EQ(STATUS_SUCCESS, Control(0x221808));
    EXPECT_EQ(ULONG(IpcModemStateCrash), ipc_->State);
    ipc_->State = IpcModemStateReady;
    Context()->IpcInUse = FALSE;
    EXPECT_EQ(STATUS_SUCCESS, Control(0x221C08));
    EXPECT_EQ(ULONG(IpcModemStateReady), ipc_->State);
    EXPECT_EQ(2, doubles::Actions().pldr);
}

// The final reset state ignores every report until the device is gone: a function reset asked for
// meanwhile must not turn it back into a warm reset that reports would act on.
TEST_F(DeviceIoctlTest, AFunctionResetLeavesTheFinalResetStateAlone)
{
    ipc_->State = IpcModemStateReset;
    EXPECT_EQ(STATUS_SUCCESS, Control(0x221804));
    EXPECT_EQ(ULONG(IpcModemStateReset), ipc_->State);
    EXPECT_EQ(1, doubles::Actions().fldr);
}

TEST_F(DeviceIoctlTest, AnEmptyBufferRefusesEveryCodeBeforeItActs)
{
    for (ULONG code : {0x170002u, 0x221804u, 0x221808u, 0x22180Cu, 0x221C04u, 0x221C10u, 0x221C18u, 0x222444u,
                       0x12345678u}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Control(code, 0, 100));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Control(code, 56, 0));
    }
    EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY, 1, 100));
    EXPECT_EQ(0, doubles::Actions().fldr + doubles::Actions().pldr);
    EXPECT_TRUE(doubles::FsmState().ioctls.empty());
    EXPECT_EQ((LONG)MBB_DUMP_FLAG_MINI, ReadAcquire(&DumpFlags));
    EXPECT_EQ(9u, Switch(u"WWANCDConfig"));
    EXPECT_EQ(ULONG(IpcModemStateReady), ipc_->State);
}

TEST_F(DeviceIoctlTest, ReadsAndWritesCompleteAtOnceWithoutData)
{
    std::vector<UCHAR> buffer(64, 0xEE);
    ULONG_PTR transferred = 0xFFFF;
    EXPECT_EQ(STATUS_SUCCESS, host::IoRead(handle_, buffer.data(), buffer.size(), &transferred));
    EXPECT_EQ(0u, transferred);
    EXPECT_EQ(std::vector<UCHAR>(64, 0xEE), buffer);
    transferred = 0xFFFF;
    EXPECT_EQ(STATUS_SUCCESS, host::IoWrite(handle_, buffer.data(), buffer.size(), &transferred));
    EXPECT_EQ(0u, transferred);
}

} // namespace
