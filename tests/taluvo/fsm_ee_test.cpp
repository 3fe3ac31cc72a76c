// The exception handshake: the modem's exception messages, the exception routine with a talking and
// with a silent modem, the wait for the modem log dump, and the buffers of control messages and poll
// replies released on every path.
#include "fsm_fixture.h"

namespace
{

using fsmtest::FsmTest;
using fsmtest::Strings;

class FsmException : public FsmTest
{
  protected:
    // Drops what the previous step left and returns the ids of the events queued meanwhile.
    std::vector<u32> TakeEvents()
    {
        std::vector<u32> ids;
        for (struct fsm_event* event = fsm_take_event(fsm_, 0xFE); event != nullptr;
             event = fsm_take_event(fsm_, 0xFE)) {
            ids.push_back(event->id);
            fsm_free_event(event);
        }
        return ids;
    }
};

TEST_F(FsmException, MessagesFromTheModem)
{
    struct Case {
        const char* name;
        u32 md_state;
        u32 id;
        u32 magic;
        u32 data_len;
        size_t present; // record bytes in the frame
        u32 flags;
        std::vector<u32> events;
        size_t copied;
    };
    const Case cases[] = {
        {"announcement", MD_STATE_EXCEPTION, 4, EE_MAGIC_EXCP, 0, 0, 0x3, {FSM_EVENT_EE_ANNOUNCED}, 0},
        {"announcement, wrong magic", MD_STATE_EXCEPTION, 4, EE_MAGIC_EREC, 0, 0, 0, {}, 0},
        {"announcement outside an exception", MD_STATE_READY, 4, EE_MAGIC_EXCP, 0, 0, 0, {}, 0},
        {"record", MD_STATE_EXCEPTION, 6, EE_MAGIC_EREC, 40, 40, 0x5, {FSM_EVENT_EE_RECORD}, 40},
        {"record, wrong magic", MD_STATE_EXCEPTION, 6, EE_MAGIC_EXCP, 40, 40, 0, {}, 0},
        {"record longer than the frame", MD_STATE_EXCEPTION, 6, EE_MAGIC_EREC, 0xFFFFFFFF, 8, 0x5,
         {FSM_EVENT_EE_RECORD}, 8},
        {"record longer than the buffer", MD_STATE_EXCEPTION, 6, EE_MAGIC_EREC, 3000, 3000, 0x5,
         {FSM_EVENT_EE_RECORD}, EE_RECORD_MAX},
        {"pass", MD_STATE_EXCEPTION, 8, 0, 0, 0, 0x8, {FSM_EVENT_EE_PASS}, 0},
        {"message 5", MD_STATE_EXCEPTION, 5, 0, 0, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put(FSM_STATE_EXCEPTION, c.md_state);
        fsm_->ee.flags = 0;
        memset(fsm_->ee.record, 0, EE_RECORD_SIZE);
        fsmtest::SentFrames().clear();
        std::vector<u8> record(c.present);
        for (size_t n = 0; n < record.size(); n++)
            record[n] = (u8)(n * 7 + 1);
        EXPECT_EQ(0, fsm_on_ctrl_msg(0, c.id, CtrlFrame(c.id, c.magic, c.data_len, record)));
        EXPECT_EQ(c.flags, fsm_->ee.flags);
        EXPECT_EQ(c.events, TakeEvents());
        if (c.copied != 0) {
            EXPECT_EQ(0, memcmp(fsm_->ee.record + EE_RECORD_OFFSET, record.data(), c.copied));
        }
        if (c.copied < EE_RECORD_SIZE - EE_RECORD_OFFSET) {
            EXPECT_EQ(0, fsm_->ee.record[EE_RECORD_OFFSET + c.copied]);
        }
        // The announcement is echoed on the MD control channel.
        if (c.flags == 0x3) {
            ASSERT_EQ(1u, fsmtest::SentFrames().size());
            const std::vector<u8>& frame = fsmtest::SentFrames()[0].bytes;
            ASSERT_EQ(CCCI_CTRL_FRAME_SIZE, frame.size());
            u32 ctrl[3];
            memcpy(ctrl, frame.data() + CCCI_HEADER_SIZE, sizeof(ctrl));
            EXPECT_EQ(4u, ctrl[0]);
            EXPECT_EQ(EE_MAGIC_EXCP, ctrl[1]);
        } else {
            EXPECT_TRUE(fsmtest::SentFrames().empty());
        }
    }
}

// Frames too short for the control header, other message ids and missing records: nothing happens and
// every buffer is released (the pool check at tear-down sees a leak).
TEST_F(FsmException, ShortFramesAndMissingRecordsReleaseTheBuffer)
{
    Put(FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION);
    for (u32 length : {0u, 4u, 16u, 20u, 27u}) {
        struct sk_buff* skb = bm_alloc_skb((int)length, false, true, CCCI_PORT_TAG);
        std::vector<u8> bytes(length, 0);
        if (length >= 20)
            memcpy(bytes.data() + 16, "\x04\x00\x00\x00", 4);
        if (length != 0)
            memcpy(skb_put(skb, length), bytes.data(), length);
        EXPECT_EQ(0, fsm_on_ctrl_msg(0, 4, skb));
    }
    EXPECT_EQ(0, fsm_on_ctrl_msg(0, 7, CtrlFrame(7, 0, 0, {})));
    EXPECT_EQ(0u, fsm_->ee.flags);
    EXPECT_TRUE(TakeEvents().empty());
    EXPECT_EQ(0, fsm_on_ctrl_msg(0, 4, nullptr));

    EXPECT_EQ(0, fsm_on_poll_reply(0, CtrlFrame(0, 0, 0, {})));
    EXPECT_EQ(2, fsm_->poll_status);

    EXPECT_EQ(0, fsm_uninit(0));
    EXPECT_EQ(-106, fsm_on_ctrl_msg(0, 4, CtrlFrame(4, EE_MAGIC_EXCP, 0, {})));
    EXPECT_EQ(-106, fsm_on_poll_reply(0, CtrlFrame(0, 0, 0, {})));
    EXPECT_EQ(-106, fsm_on_hif_event(0, FSM_HIF_START));
}

// The modem announces its exception, sends its record and its pass; a stale handshake answer at the
// head of the events does not hide them. The log ports are enabled afterwards.
TEST_F(FsmException, ExceptionPassWithATalkingModem)
{
    WriteRelease(&DumpFlags, 1);
    Put(FSM_STATE_READY, MD_STATE_READY);
    ASSERT_EQ(0, fsm_post_event(fsm_, FSM_EVENT_MD_HS, "late", 4));
    const std::vector<u8> record = {1, 2, 3, 4, 5, 6, 7, 8};
    doubles::MdOpsState().on_exception_stages = [record] {
        fsm_on_ctrl_msg(0, 4, CtrlFrame(4, EE_MAGIC_EXCP, 0, {}));
        fsm_on_ctrl_msg(0, 6, CtrlFrame(6, EE_MAGIC_EREC, (u32)record.size(), record));
        fsm_on_ctrl_msg(0, 8, CtrlFrame(8, 0, 0, {}));
    };
    ASSERT_EQ(0, fsm_on_hif_event(0, FSM_HIF_EXCEPTION));
    EXPECT_EQ(-1, Run(FSM_CMD_READY)); // runs once the exception routine has ended
    EXPECT_EQ((Strings{"CRASH"}), Reports());
    EXPECT_EQ(FSM_STATE_EXCEPTION, fsm_get_state(0));
    EXPECT_EQ(MD_STATE_EXCEPTION, ccci_fsm_get_md_state(0));
    EXPECT_EQ(3u, fsm_get_public_state(0));
    EXPECT_EQ((Strings{"state 5", "enable ttyCMdLog", "enable ttyCMdMeta"}), fsmtest::PortCalls());
    EXPECT_EQ(0u, fsm_->ee.type);
    std::vector<u32> hif_flags;
    for (const auto& request : doubles::Modem().hif_flags)
        hif_flags.push_back(request.flags);
    EXPECT_EQ((std::vector<u32>{0, 4}), hif_flags);
    EXPECT_EQ(0, memcmp(fsm_->ee.record + EE_RECORD_OFFSET, record.data(), record.size()));
    EXPECT_EQ((std::vector<u32>{FSM_EVENT_MD_HS}), TakeEvents());
}

// A silent modem: without a dump configuration "CRASH" and "RESET" at once, then the stages run on
// after their waits (10 s, 45 s) and the log ports stay as they were.
TEST_F(FsmException, ExceptionPassWithASilentModem)
{
    Put(FSM_STATE_READY, MD_STATE_READY);
    ASSERT_EQ(0, fsm_on_hif_event(0, FSM_HIF_EXCEPTION));
    EXPECT_EQ(-1, Run(FSM_CMD_READY)); // runs once the exception routine has ended
    ASSERT_EQ(2u, doubles::Modem().hif_flags.size());
    EXPECT_EQ((Strings{"CRASH", "RESET", "CRASH"}), Reports());
    EXPECT_EQ((Strings{"state 5"}), fsmtest::PortCalls());
    EXPECT_EQ(1u, fsm_->ee.type);
    EXPECT_EQ(0x20040u, doubles::Modem().hif_flags[0].flags);
    EXPECT_EQ(0x20044u, doubles::Modem().hif_flags[1].flags);
}

// While a modem log dump is collected the routine waits for the miniport's "done" (120 s at most).
TEST_F(FsmException, LogDumpWaitEndsOnTheMiniportsDoneOrResets)
{
    Put(FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION);
    InterlockedOr(&ccci_port_get_proxy(0)->open_flags, 1 << CCCI_OPEN_MD_LOG);
    EXPECT_EQ(-1, ee_wait_done(&fsm_->ee, 120));

    HANDLE miniport = hosttest::StartThread([] {
        msleep(3000);
        EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x20004338, 0));
    });
    EXPECT_EQ(0, ee_wait_done(&fsm_->ee, 120));
    hosttest::JoinThread(miniport);

    // Without the log dump only an exception in progress is waited for.
    InterlockedAnd(&ccci_port_get_proxy(0)->open_flags, ~(1 << CCCI_OPEN_MD_LOG));
    WriteRelease(&fsm_->ee.log_dump_done, 0);
    EXPECT_EQ(0, ee_wait_done(&fsm_->ee, 120));
    fsm_->ee.flags = EE_FLAG_ACTIVE;
    EXPECT_EQ(-1, ee_wait_done(&fsm_->ee, 1));
}

} // namespace

namespace
{

LONGLONG Now()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart * (LONGLONG)KeQueryTimeIncrement();
}

// The event API the handshake work uses: events are taken by id past others, and a post between a
// taker's look and its wait ends the wait at once.
TEST_F(FsmException, EventsAreTakenByIdAndNoPostIsLost)
{
    ASSERT_EQ(0, fsm_post_event(fsm_, FSM_EVENT_MD_HS, "md", 2));
    ASSERT_EQ(0, fsm_post_event(fsm_, FSM_EVENT_SAP_HS, "sap", 3));
    ASSERT_EQ(0, fsm_post_event(fsm_, FSM_EVENT_MD_HS_ABORT, nullptr, 0));
    EXPECT_EQ(-106, fsm_post_event(fsm_, 8, nullptr, 0));
    EXPECT_EQ(-106, fsm_post_event(fsm_, 0, nullptr, 0));

    struct fsm_event* sap = fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_SAP_HS) | FSM_EVENT_BIT(FSM_EVENT_SAP_HS_ABORT));
    ASSERT_NE(nullptr, sap);
    EXPECT_EQ(FSM_EVENT_SAP_HS, sap->id);
    EXPECT_EQ(0, memcmp(sap->data, "sap", 3));
    fsm_free_event(sap);
    fsm_drop_events(fsm_, FSM_EVENT_MD_HS);
    struct fsm_event* md = fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_MD_HS) | FSM_EVENT_BIT(FSM_EVENT_MD_HS_ABORT));
    ASSERT_NE(nullptr, md);
    EXPECT_EQ(FSM_EVENT_MD_HS_ABORT, md->id);
    fsm_free_event(md);

    // Nothing for this taker; another event is posted before it waits: the wait returns at once.
    EXPECT_EQ(nullptr, fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_MD_HS)));
    ASSERT_EQ(0, fsm_post_event(fsm_, FSM_EVENT_SAP_HS, nullptr, 0));
    LONGLONG start = Now();
    EXPECT_TRUE(fsm_wait_event(fsm_, 60000));
    EXPECT_LT(Now() - start, 10000000LL);

    // With nothing new the wait lasts its time-out; a post from another thread ends it early.
    EXPECT_EQ(nullptr, fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_MD_HS)));
    start = Now();
    EXPECT_TRUE(fsm_wait_event(fsm_, 500));
    EXPECT_GE(Now() - start, 5000000LL);
    HANDLE poster = hosttest::StartThread([this] {
        msleep(100);
        fsm_post_event(fsm_, FSM_EVENT_MD_HS, nullptr, 0);
    });
    start = Now();
    EXPECT_TRUE(fsm_wait_event(fsm_, 60000));
    EXPECT_LT(Now() - start, 10000000LL);
    hosttest::JoinThread(poster);

    UCHAR terminate = 1;
    IpcShouldTerminateThreads(&terminate);
    EXPECT_FALSE(fsm_wait_event(fsm_, 60000));
}

} // namespace
