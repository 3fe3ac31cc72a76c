// The modem peer reached as user-mode code reaches the modem driver: found through the configuration
// manager, opened with CreateFileA and sent the asleep notice with DeviceIoControl; its modes, the
// empty-buffer rule, the wake from idle with the awake notice before completion, load and unload.
#include <windows.h>

#include <cfgmgr32.h>

#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>

#include "sim/peers/modem_peer.h"

#include <mutex>
#include <string>
#include <vector>

namespace
{

constexpr char kNotice[] = "this String is from client; using METHOD_BUFFERED write";
constexpr ULONG kAwake = IOCTL_IHV_MODEM_AWAKE, kSleep = IOCTL_IHV_MODEM_SLEEP, kCompleted = 0;

class ModemPeerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        modem_.OnLowerRequest([this](ULONG code) { Record(code); });
    }

    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle_));
        }
        if (host::PnpQueryState(MODEM_PEER_INSTANCE) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, modem_.Unplug());
        }
        host::Quiesce();
        EXPECT_EQ(nullptr, host::DriverFind(MODEM_PEER_SERVICE));
    }

    static std::vector<std::string> Paths()
    {
        GUID guid = GUID_MODEM_PEER_INTERFACE;
        ULONG size = 0;
        EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_Size_ExA(
                                  &size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr));
        std::vector<char> list(size);
        EXPECT_EQ(CR_SUCCESS,
                  CM_Get_Device_Interface_List_ExA(&guid, nullptr, list.data(), size,
                                                   CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr));
        std::vector<std::string> paths;
        for (const char* at = list.data(); *at != 0; at += strlen(at) + 1)
            paths.emplace_back(at);
        return paths;
    }

    void Open()
    {
        auto paths = Paths();
        ASSERT_EQ(1u, paths.size());
        handle_ = CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle_);
    }

    // DeviceIoControl as the library sends the notice; the last error (ERROR_SUCCESS on success).
    DWORD Send(DWORD inputLength = sizeof(kNotice), DWORD outputLength = 100,
               DWORD code = IOCTL_MODEM_PEER_NOTIFY)
    {
        char input[200] = {};
        memcpy(input, kNotice, sizeof(kNotice));
        char output[100] = {};
        DWORD returned = 99;
        BOOL ok =
            DeviceIoControl(handle_, code, input, inputLength, output, outputLength, &returned, nullptr);
        EXPECT_EQ(0u, returned);
        return ok ? DWORD(ERROR_SUCCESS) : GetLastError();
    }

    void Record(ULONG code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(code);
    }

    std::vector<ULONG> Take()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return std::exchange(seen_, {});
    }

    sim::peers::ModemPeer modem_{WWAN_MODEM_PEER_IMAGE};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::mutex lock_;
    std::vector<ULONG> seen_;
};

TEST_F(ModemPeerTest, InterfacePathHoldsTheModemIdsAndTheReferenceString)
{
    EXPECT_TRUE(Paths().empty());
    ASSERT_EQ(STATUS_SUCCESS, modem_.Plug());
    EXPECT_EQ(
        std::vector<std::string>{"\\\\?\\PCI#VEN_14C3&DEV_4D75&SUBSYS_4D7514C3&REV_01#4&1f0a7c2e&0&00E8#"
                                 "{c471d7f9-a744-45e8-b376-f9a01093009f}\\GUID_DEVINTERFACE_WWAN_NETADAPTER"},
        Paths());
}

TEST_F(ModemPeerTest, ModesAndTheEmptyBufferRule)
{
    ASSERT_EQ(STATUS_SUCCESS, modem_.Plug());
    Open();
    struct Case {
        ModemPeerMode mode;
        DWORD input, output, code;
        DWORD error;
    };
    const Case cases[] = {
        {ModemPeerSucceed, sizeof(kNotice), 100, IOCTL_MODEM_PEER_NOTIFY, ERROR_SUCCESS},
        {ModemPeerFail, sizeof(kNotice), 100, IOCTL_MODEM_PEER_NOTIFY, ERROR_GEN_FAILURE},
        {ModemPeerSucceed, 1, 100, IOCTL_MODEM_PEER_NOTIFY, ERROR_SUCCESS},
        // Empty buffers fail whatever the code and the mode.
        {ModemPeerSucceed, 0, 100, IOCTL_MODEM_PEER_NOTIFY, ERROR_INVALID_PARAMETER},
        {ModemPeerWake, sizeof(kNotice), 0, IOCTL_MODEM_PEER_NOTIFY, ERROR_INVALID_PARAMETER},
        {ModemPeerSucceed, 0, 0, 0x222000, ERROR_INVALID_PARAMETER},
        {ModemPeerSucceed, 4, 4, 0x222000, ERROR_INVALID_FUNCTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " in " << c.input << " out " << c.output);
        modem_.SetMode(c.mode);
        EXPECT_EQ(c.error, Send(c.input, c.output, c.code));
    }
    // No mode but wake sends anything down, and the refused request above never reached the mode.
    EXPECT_TRUE(Take().empty());
    char byte = 0;
    DWORD moved = 1;
    EXPECT_TRUE(WriteFile(handle_, &byte, 1, &moved, nullptr));
    EXPECT_EQ(0u, moved);
}

TEST_F(ModemPeerTest, NoticeWakesTheIdleDeviceAndTheAwakeNoticeComesFirst)
{
    modem_.SetMode(ModemPeerWake);
    ASSERT_EQ(STATUS_SUCCESS, modem_.Plug());
    EXPECT_EQ(std::vector<ULONG>{kAwake}, Take()); // the first D0 entry
    Open();

    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(MODEM_PEER_INSTANCE));
    EXPECT_EQ(PowerDeviceD3, host::PnpQueryPowerState(MODEM_PEER_INSTANCE));
    EXPECT_EQ(std::vector<ULONG>{kSleep}, Take());

    EXPECT_EQ(DWORD(ERROR_SUCCESS), Send());
    Record(kCompleted);
    EXPECT_EQ((std::vector<ULONG>{kAwake, kCompleted}), Take());
    host::Quiesce(); // the power-up's own bookkeeping may end after the request
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(MODEM_PEER_INSTANCE));

    // Already in D0, and the wake's notice went with the previous request: the handler sends one.
    EXPECT_EQ(DWORD(ERROR_SUCCESS), Send());
    Record(kCompleted);
    EXPECT_EQ((std::vector<ULONG>{kAwake, kCompleted}), Take());
}

TEST_F(ModemPeerTest, HeldWhileInD3InEveryMode)
{
    ASSERT_EQ(STATUS_SUCCESS, modem_.Plug());
    Open();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(MODEM_PEER_INSTANCE));
    ASSERT_EQ(PowerDeviceD3, host::PnpQueryPowerState(MODEM_PEER_INSTANCE));
    modem_.SetMode(ModemPeerFail);
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), Send());
    host::Quiesce();
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(MODEM_PEER_INSTANCE));
    EXPECT_TRUE(Take().empty());
}

TEST_F(ModemPeerTest, LoadsAndUnloadsWithTheDevice)
{
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(STATUS_SUCCESS, modem_.Plug());
        EXPECT_NE(nullptr, host::DriverFind(MODEM_PEER_SERVICE));
        Open();
        EXPECT_EQ(DWORD(ERROR_SUCCESS), Send());
        EXPECT_TRUE(CloseHandle(handle_));
        handle_ = INVALID_HANDLE_VALUE;
        ASSERT_EQ(STATUS_SUCCESS, modem_.Unplug());
        host::Quiesce();
        EXPECT_EQ(nullptr, host::DriverFind(MODEM_PEER_SERVICE));
        EXPECT_TRUE(Paths().empty());
    }
}

} // namespace
