// A running RIL core for the tests of its parts: both mailboxes, the context table and its lock, the
// front double's environment. Stopping drains what the mailboxes still hold and frees them.
#pragma once

#include "front_double.h"
#include "mbimcore_db.h"
#include "memutil.h"
#include "ril_ctxt.h"

#include <gtest/gtest.h>

#include <vector>

namespace coretest {

inline void DrainAndFree(sys_mbox*& mbox)
{
    if (mbox == nullptr)
        return;
    mbox->io_asleep = 0;
    tag_T_RIL_MSG* msg = nullptr;
    while (sys_mbox_fetch(mbox, &msg) == 1)
        ril_msg_free(&msg);
    sys_mbox_free(mbox);
    mbox = nullptr;
}

inline void StartCore()
{
    frontdouble::Reset();
    gs_pRilEnv = frontdouble::Env();
    g_MbimCoreDb.msg_mbox = sys_mbox_new(MBIMCORE_MSG_MBOX_NAME);
    g_MbimCoreDb.io_mbox = sys_mbox_new(MBIMCORE_IO_MBOX_NAME);
    Mbim_Mutex_init(&g_MbimCoreDb.ctxt_lock);
    g_MbimCoreDb.ctxt_lock_inited = 1;
    mdmril_ctxt_table_reset();
    g_MbimCoreDb.s_ril_init = 1;
}

inline void StopCore()
{
    g_MbimCoreDb.s_ril_init = 0;
    DrainAndFree(g_MbimCoreDb.msg_mbox);
    DrainAndFree(g_MbimCoreDb.io_mbox);
    if (g_MbimCoreDb.ctxt_lock_inited) {
        Mbim_Mutex_delete(&g_MbimCoreDb.ctxt_lock);
        g_MbimCoreDb.ctxt_lock_inited = 0;
    }
    gs_pRilEnv = nullptr;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        baseline_ = memutil_live_blocks();
        StartCore();
    }
    void TearDown() override
    {
        StopCore();
        memutil_inject_failure(-1);
        EXPECT_EQ(memutil_live_blocks(), baseline_) << "blocks leaked";
    }

    long baseline_ = 0;
};

// An event record of `kind` as the bridge builds it.
inline EventControlData EventRecord(UCHAR kind, USHORT length = 0)
{
    EventControlData data = {};
    data.evsize = EVENT_CONTROL_TLV_SIZE;
    data.t = kind;
    data.l = 5;
    data.v[1] = static_cast<UCHAR>(length >> 8);
    data.v[2] = static_cast<UCHAR>(length);
    return data;
}

inline int SignalIo(UCHAR kind)
{
    EventControlData data = EventRecord(kind);
    return MBIMCore_signal_IOeventInput(1, &data);
}

// The bridge driver's side of the transport: records what the library sends and accepts it (or, with
// `refuse`, turns it down).
struct Sent {
    int context;
    ULONG route, subType, length;
    std::vector<uint8_t> bytes;
    int lengthArgument;
};

struct Bridge {
    std::vector<Sent> toModem;
    std::vector<Sent> toHost;
    bool refuse = false;
};

inline Bridge& TheBridge()
{
    static Bridge bridge;
    return bridge;
}

inline BYTE RecordSend(std::vector<Sent>& sent, int context, CIDTransportDescriptor* d, int length)
{
    sent.push_back({context, d->Header.Route, d->Header.SubType, d->Header.Length,
                    std::vector<uint8_t>(d->Buffer, d->Buffer + d->Header.Length), length});
    return TheBridge().refuse ? 0 : 1;
}

inline BYTE WriteToModem(int context, CIDTransportDescriptor* d, int length)
{
    return RecordSend(TheBridge().toModem, context, d, length);
}

inline BYTE WriteToHost(int context, CIDTransportDescriptor* d, int length)
{
    return RecordSend(TheBridge().toHost, context, d, length);
}

inline int ReadNothing(int, CIDTransportDescriptor*, int*)
{
    return -1;
}

inline void Spare()
{
}

// A running core with the bridge's callbacks registered on executor 0.
class BridgeTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        TheBridge() = Bridge();
        ASSERT_EQ(MBIM_DriverCallbacksRegister(0, ReadNothing, WriteToHost, Spare), 0);
        ASSERT_EQ(MBIM_MDMVendorCallbacksRegister(0, ReadNothing, WriteToModem, Spare), 0);
    }
};

} // namespace coretest
