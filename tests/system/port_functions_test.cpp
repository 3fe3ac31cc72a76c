// The character ports' port functions over the simulated modem: registered as the ports come up,
// connected by the ready event, written through by type and fed by the modem's frames; deactivated
// with the device.
#include "system_rig.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "IpcContext.h"
#include "MbbDevice.h"
#include "PortFunction.h"
#include "ccci_port.h"
#include "doubles/modem_event_actions.h"
#include "sim/modem/firmware.h"

namespace systemtest
{
namespace
{

using sim::modem::Milliseconds;

constexpr LONGLONG kSecond = Milliseconds(1000);

std::mutex g_lock;
std::string g_received;
int g_receives;

NTSTATUS RecordReceive(PPORT_REFERENCE Reference)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_receives++;
    g_received.append(static_cast<const char*>(Reference->Block->Buffer), Reference->Block->Length);
    return STATUS_SUCCESS;
}

class PortFunctionsTest : public SystemRig
{
  protected:
    void SetUp() override
    {
        SystemRig::SetUp();
        doubles::Actions() = {};
        g_received.clear();
        g_receives = 0;
    }

    IPC_CONTEXT* Ipc() { return GetIpcContext(Driver().device); }

    static std::string Received()
    {
        std::lock_guard<std::mutex> hold(g_lock);
        return g_received;
    }
};

TEST_F(PortFunctionsTest, TheAtPortCarriesWritesToTheModemAndItsAnswersUp)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_TRUE(WaitFor([this] { return Ipc()->State == IpcModemStateReady &&
                                        GetMbbDeviceContext(Driver().device)->DeviceState == 3; },
                        10 * kSecond));
    PIPC_PORT_FUNCTION at = IpcGetPortFnContextSio(IPC_FN_AT);
    ASSERT_NE(nullptr, at);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), at->State); // by the ready event
    EXPECT_NE(nullptr, IpcGetPortFnContextSio(IPC_FN_MBIM));
    EXPECT_EQ(nullptr, IpcGetPortFnContextSio(IPC_FN_FLASH)); // a boot-table port: gone with its table

    // The modem answers each AT command on its own channel.
    struct ccci_port* port = ccci_port_get_by_name(0, "ttyC0");
    ASSERT_NE(nullptr, port);
    const USHORT rx = (USHORT)port->rx_ch;
    std::vector<UCHAR> sent;
    std::mutex sentLock;
    Firmware().SetChannelHandler((USHORT)port->tx_ch, [&](const sim::modem::HostFrame& frame) {
        {
            std::lock_guard<std::mutex> hold(sentLock);
            sent.insert(sent.end(), frame.data.begin(), frame.data.end());
        }
        static const char kOk[] = "\r\nOK\r\n";
        Firmware().SendData(rx, std::span<const UCHAR>(reinterpret_cast<const UCHAR*>(kOk), sizeof(kOk) - 1));
    });

    // The COM bus links the peer and installs the receive callback; here the test does.
    at->ComPeer = at;
    at->Ops.Receive = RecordReceive;
    ASSERT_TRUE(sio_open(at));
    char command[] = "AT+CGMR\r";
    PORT_REQUEST request = {nullptr, nullptr, STATUS_PENDING, command, (ULONG)strlen(command)};
    EXPECT_EQ(STATUS_SUCCESS, ProcessPortReq(&request, IPC_FN_AT));
    EXPECT_EQ(STATUS_SUCCESS, request.Status);
    EXPECT_EQ(strlen(command), request.Length);
    ASSERT_TRUE(WaitFor([] { return Received() == "\r\nOK\r\n"; }, 5 * kSecond)) << Received();
    {
        std::lock_guard<std::mutex> hold(sentLock);
        EXPECT_EQ(std::string(command), std::string(sent.begin(), sent.end()));
    }
    EXPECT_TRUE(sio_close(at));

    // The device's removal deactivates every record; the ports go after them.
    Stop();
}

} // namespace
} // namespace systemtest
