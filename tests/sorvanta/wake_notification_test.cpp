// The driver wake notification: finding the modem driver's interface, the notification's attempts and
// results against the modem driver in each of its modes, and one full cycle of the core with modem I/O
// going to sleep and waking.
#include "modem_driver.h"
#include "running_core.h"
#include "wwan_guids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using coretest::CountLines;
using coretest::ModemDriver;
using coretest::Settle;

// A configuration-manager list: each path NUL-terminated, then an empty one.
std::vector<char> List(const std::vector<std::string>& paths)
{
    std::vector<char> list;
    for (const std::string& path : paths)
        list.insert(list.end(), path.c_str(), path.c_str() + path.size() + 1);
    list.push_back('\0');
    return list;
}

std::string PathOf(size_t length, const std::string& selector)
{
    std::string path =
        "\\\\?\\PCI#" + selector + "#3&11583659&0&E8#{c471d7f9-a744-45e8-b376-f9a01093009f}\\X";
    path.resize(length, 'z');
    return path;
}

TEST(DevicePathTest, TheFirstPathThatHoldsTheModemAndFitsIsTaken)
{
    const std::string other = "\\\\?\\PCI#VEN_8086&DEV_7A70#3&0#{c471d7f9-a744-45e8-b376-f9a01093009f}\\X";
    const std::string lower = PathOf(120, "ven_14c3&dev_4d75");
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        int result;
        std::string chosen;
    } cases[] = {
        {"second holds it, in lower case", {other, lower}, 0, lower},
        {"too long for the buffer is skipped", {PathOf(256, "VEN_14C3&DEV_4D75"), lower}, 0, lower},
        {"255 characters fit", {PathOf(255, "VEN_14C3&DEV_4D75")}, 0, PathOf(255, "VEN_14C3&DEV_4D75")},
        {"none holds it", {other, PathOf(100, "VEN_14C3&DEV_4D70")}, -1, ""},
        {"empty list", {}, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> list = List(c.paths);
        char path[MBIM_DEVICE_PATH_SIZE];
        memset(path, 'x', sizeof(path));
        EXPECT_EQ(get_nth_interface(list.data(), static_cast<int>(list.size()), path, sizeof(path)),
                  c.result);
        if (c.result == 0) {
            EXPECT_EQ(std::string(path), c.chosen);
        }
    }
}

class WakeNotificationTest : public tracetest::TraceTest {
protected:
    GUID modemClass_ = GUID_DEVINTERFACE_WWAN_MODEM;
};

TEST_F(WakeNotificationTest, WithoutTheModemEveryLookupFails)
{
    EXPECT_EQ(Mbim_Send_IoctlToDrv(), -1);
    EXPECT_EQ(CountLines("Mbim_Send_IoctlToDrv : Send Ioctl failed (couldnt get devpath)"), 20u);
    EXPECT_EQ(CountLines("No active device interfaces found"), 20u);
    EXPECT_EQ(CountLines("SendIoctlToInterface"), 0u);
}

TEST_F(WakeNotificationTest, ResultsFollowTheModemDriversAnswer)
{
    ModemDriver modem(ModemPeerSucceed);
    Clear();
    EXPECT_EQ(Mbim_Send_IoctlToDrv(), 0);
    EXPECT_EQ(CountLines("Send Success"), 1u);
    EXPECT_EQ(CountLines("SendIoctlToInterface : Success! IOCTL sent , ret value: 0"), 1u);
    EXPECT_EQ(coretest::LinesWith("Devicepath obtained").size(), 1u);
    EXPECT_NE(coretest::LinesWith("Devicepath obtained")[0].find("\\GUID_DEVINTERFACE_WWAN_NETADAPTER"),
              std::string::npos);

    // A driver that fails the notification is tried 20 times; the result still says "found" (0).
    modem.SetMode(ModemPeerFail);
    Clear();
    EXPECT_EQ(Mbim_Send_IoctlToDrv(), 0);
    EXPECT_EQ(CountLines("Send failed"), 20u);
    EXPECT_EQ(CountLines("Error in DeviceIoControl : 31"), 20u) << "ERROR_GEN_FAILURE";

    // The list cannot be allocated: 1.
    char path[MBIM_DEVICE_PATH_SIZE] = {};
    memutil_inject_failure(0);
    EXPECT_EQ(GetDevicePath(&modemClass_, path, sizeof(path)), 1);
    memutil_inject_failure(-1);
    EXPECT_EQ(GetDevicePath(&modemClass_, path, sizeof(path)), 0);
    EXPECT_EQ(SendIoctlToInterface(nullptr), false);
}

// ---- a full cycle --------------------------------------------------------------------------------

using IoSleepCycleTest = coretest::RunningCoreTest;

std::vector<uint8_t> FirstBytes(const std::vector<coretest::Sent>& sent)
{
    std::vector<uint8_t> firsts;
    for (const coretest::Sent& s : sent)
        firsts.push_back(s.bytes[12]);
    return firsts;
}

// Sends a command to the modem as the feature handlers do, from the worker's side of the front.
int SendCommand(uint8_t mark)
{
    std::vector<uint8_t> command = coretest::MbimMessage(3, 48);
    command[12] = mark;
    return RIL_CIDTransportRequest(0, command.data(), static_cast<int>(command.size()), mark);
}

TEST_F(IoSleepCycleTest, SleepWakeAndStopWithTheModemDriver)
{
    ModemDriver modem(ModemPeerWake);
    modem.Relay(true);

    // A host command reaches the front with its MessageLength.
    std::vector<uint8_t> host = coretest::MbimMessage(3, 52);
    ASSERT_EQ(coretest::HostCommand(host), 0);
    Settle();
    ASSERT_EQ(frontdouble::IoControls().size(), 1u);
    EXPECT_EQ(frontdouble::IoControls()[0].bytes, host);

    // Asleep: the notification wakes the driver, whose awake notice comes back first; sent directly.
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    EXPECT_EQ(SendCommand(1), 1);
    EXPECT_EQ(modem.AwakeNotices(), 1);
    EXPECT_EQ(MBIMCore_check_IOReady(), 1);
    EXPECT_EQ(FirstBytes(coretest::TheBridge().toModem), (std::vector<uint8_t>{1}));

    // A driver that does not wake: parked, in order, until the awake record; then replayed in order.
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    modem.SetMode(ModemPeerSucceed);
    EXPECT_EQ(SendCommand(2), -1);
    EXPECT_EQ(SendCommand(3), -1);
    Settle();
    EXPECT_EQ(coretest::TheBridge().toModem.size(), 1u);
    ASSERT_EQ(coretest::PowerEvent(true), 0);
    Settle();
    EXPECT_EQ(FirstBytes(coretest::TheBridge().toModem), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(coretest::TheBridge().toModem[1].bytes[8], 2) << "the parked transaction id";

    // Stopped with messages parked: discarded, nothing leaked (checked by the fixture).
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    EXPECT_EQ(SendCommand(4), -1);
    uint8_t answer[16] = {0x80};
    EXPECT_EQ(Mbim_CIDResponseSend(0, answer, sizeof(answer)), 1);
    RIL_close(0);
    EXPECT_EQ(coretest::TheBridge().toModem.size(), 3u);
    EXPECT_TRUE(coretest::TheBridge().toHost.empty());
    EXPECT_EQ(modem.Unplug(), STATUS_SUCCESS);
}

} // namespace
