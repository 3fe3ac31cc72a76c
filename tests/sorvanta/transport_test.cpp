// The front's transport and event entries over the RIL core: send while modem I/O is awake, park
// while it sleeps, and the entries that switch or post.
#include "core_fixture.h"
#include "modem_driver.h"
#include "ril_msg.h"
#include "sys_mbox.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using coretest::CoreTest;
using coretest::EventRecord;
using coretest::SignalIo;

using coretest::BridgeTest;
using coretest::ReadNothing;
using coretest::Spare;
using coretest::TheBridge;
using coretest::WriteToHost;
using coretest::WriteToModem;

// The modem driver wakes modem I/O only while the bridge passes its awake notice on.
class TransportTest : public BridgeTest {
protected:
    coretest::ModemDriver modem_;
};

enum class Io { Awake, WokenByTheIoctl, StaysAsleep };
enum class Send { Request, Response, Notification };

int SendOne(Send send, uint8_t* message, int size)
{
    switch (send) {
    case Send::Request:
        return RIL_CIDTransportRequest(1, message, size, 9);
    case Send::Response:
        return Mbim_CIDResponseSend(7, message, size);
    case Send::Notification:
        return Mbim_CIDNotificationSend(7, message, size);
    }
    return -100;
}

TEST_F(TransportTest, SendsWhileAwakeAndParksWhileAsleep)
{
    for (Io io : {Io::Awake, Io::WokenByTheIoctl, Io::StaysAsleep}) {
        for (Send send : {Send::Request, Send::Response, Send::Notification}) {
            SCOPED_TRACE(testing::Message() << "io " << static_cast<int>(io) << " send " << static_cast<int>(send));
            TheBridge() = coretest::Bridge();
            modem_.Relay(false);
            ASSERT_EQ(SignalIo(io == Io::Awake ? EventKindModemIoAwake : EventKindModemIoAsleep), 0);
            modem_.Relay(io == Io::WokenByTheIoctl);
            int wakesBefore = modem_.AwakeNotices();
            uint8_t message[16] = {0x11};

            int result = SendOne(send, message, sizeof(message));

            bool toModem = send == Send::Request;
            bool sent = io != Io::StaysAsleep;
            EXPECT_EQ(modem_.AwakeNotices() - wakesBefore, io == Io::Awake ? 0 : 1);
            EXPECT_EQ(TheBridge().toModem.size(), sent && toModem ? 1u : 0u);
            EXPECT_EQ(TheBridge().toHost.size(), sent && !toModem ? 1u : 0u);
            if (sent && !toModem) {
                EXPECT_EQ(TheBridge().toHost[0].context, 1) << "host fragments name context 1 whatever the executor";
            }
            EXPECT_EQ(result, sent ? 1 : (toModem ? -1 : 1));

            tag_T_RIL_MSG* parked = nullptr;
            ASSERT_EQ(SignalIo(EventKindModemIoAwake), 0);
            ASSERT_EQ(sys_mbox_fetch_IO(g_MbimCoreDb.io_mbox, &parked), sent ? 0 : 1);
            if (!sent) {
                EXPECT_EQ(parked->pending.out_type, toModem ? RIL_OUT_TO_MODEM : RIL_OUT_TO_HOST);
                EXPECT_EQ(parked->pending.transaction_id, toModem ? 9 : 0);
                EXPECT_EQ(parked->pending.executor_id, toModem ? 1 : 7);
                EXPECT_EQ(parked->pending.out_len, 16);
                EXPECT_EQ(parked->pending.outbuf[0], 0x11);
                ril_msg_free(&parked);
            }
        }
    }
}

TEST_F(TransportTest, ACoreThatIsDownCountsAsAwake)
{
    coretest::StopCore();
    ASSERT_EQ(MBIM_MDMVendorCallbacksRegister(0, ReadNothing, WriteToModem, Spare), 0);
    uint8_t message[12] = {};
    EXPECT_EQ(RIL_CIDTransportRequest(0, message, sizeof(message), 3), 1);
    EXPECT_EQ(TheBridge().toModem.size(), 1u);
    EXPECT_EQ(modem_.AwakeNotices(), 0);
    coretest::StartCore();
}

TEST_F(TransportTest, AHostFragmentThatCannotBeParkedIsReportedNotSent)
{
    ASSERT_EQ(SignalIo(EventKindModemIoAsleep), 0);
    uint8_t message[8] = {};
    for (int i = 0; i < SYS_MBOX_SIZE; i++)
        ASSERT_EQ(Mbim_CIDResponseSend(1, message, sizeof(message)), 1);
    EXPECT_EQ(Mbim_CIDResponseSend(1, message, sizeof(message)), 0);
    EXPECT_EQ(Mbim_CIDNotificationSend(1, message, sizeof(message)), 0);
    EXPECT_EQ(RIL_CIDTransportRequest(1, message, sizeof(message), 4), -1);
}

TEST_F(TransportTest, TheCallbacksResultIsTheSendersResult)
{
    TheBridge().refuse = true;
    uint8_t message[12] = {};
    EXPECT_EQ(RIL_CIDTransportRequest(1, message, sizeof(message), 4), 0);
    EXPECT_EQ(Mbim_CIDResponseSend(1, message, sizeof(message)), 0);
}

TEST_F(TransportTest, OnlyTheModemSideEntrySwitchesTheIoState)
{
    EventControlData sleep = EventRecord(EventKindModemIoAsleep);
    EventControlData wake = EventRecord(EventKindModemIoAwake);
    EXPECT_EQ(MBIM_EventControlInput(1, &sleep), 0);
    EXPECT_EQ(MBIMCore_check_IOReady(), 1);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 1) << "the host-side entry posts kind 11";

    EXPECT_EQ(MDMVendor_EventControlInput(1, &sleep), 0);
    EXPECT_EQ(MBIMCore_check_IOReady(), 0);
    EXPECT_EQ(MBIM_EventControlInput(1, &wake), 0);
    EXPECT_EQ(MBIMCore_check_IOReady(), 0);
    EXPECT_EQ(MDMVendor_EventControlInput(1, &wake), 0);
    EXPECT_EQ(MBIMCore_check_IOReady(), 1);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 2);

    EventControlData modem = EventRecord(EventKindModemMessage, 40);
    EXPECT_EQ(MDMVendor_EventControlInput(0, &modem), 0);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 3) << "other kinds are posted";
}

TEST_F(TransportTest, SarEntryRefusesASetWithoutData)
{
    uint8_t data[4] = {};
    EXPECT_EQ(MBIM_SarEventControlInput(0, 4, nullptr, 1), -1);
    EXPECT_EQ(MBIM_SarEventControlInput(0, 4, nullptr, 2), -1);
    EXPECT_EQ(MBIM_SarEventControlInput(0, -4, data, 1), -1);
    EXPECT_EQ(MBIM_SarEventControlInput(0, 0, nullptr, 0), 0);
    EXPECT_EQ(MBIM_SarEventControlInput(0, 4, data, 1), 0);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 2);
}

BYTE NotRecordZero(int, CIDTransportDescriptor*, int)
{
    ADD_FAILURE() << "only record 0 is registered by the bridge";
    return 0;
}

TEST_F(TransportTest, ARegistrationWithANullPointerKeepsThePreviousTriple)
{
    EXPECT_EQ(MBIM_DriverCallbacksRegister(0, ReadNothing, nullptr, Spare), -11);
    EXPECT_EQ(MBIM_MDMVendorCallbacksRegister(0, nullptr, WriteToModem, Spare), -11);
    EXPECT_EQ(MBIM_MDMVendorCallbacksRegister(0, ReadNothing, WriteToModem, nullptr), -11);
    EXPECT_EQ(MBIM_DriverCallbacksRegister(2, ReadNothing, WriteToModem, Spare), -11) << "two records only";
    EXPECT_EQ(g_CallbackRecord[0].WriteCidResponse, &WriteToHost);
    EXPECT_EQ(g_CallbackRecord[0].WriteVendorRequest, &WriteToModem);

    EXPECT_EQ(MBIM_MDMVendorCallbacksRegister(1, ReadNothing, NotRecordZero, Spare), 0);
    uint8_t message[12] = {};
    EXPECT_EQ(RIL_CIDTransportRequest(1, message, sizeof(message), 4), 1) << "record 0 sends for every executor";
    EXPECT_EQ(TheBridge().toModem.size(), 1u);
}

} // namespace
