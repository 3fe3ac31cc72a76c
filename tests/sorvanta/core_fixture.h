// A running RIL core for the tests of its parts: both mailboxes, the context table and its lock, the
// front double's environment. Stopping drains what the mailboxes still hold and frees them.
#pragma once

#include "bridge_double.h"
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

inline int SignalIo(UCHAR kind)
{
    EventControlData data = EventRecord(kind);
    return MBIMCore_signal_IOeventInput(1, &data);
}

// A running core with the bridge's callbacks registered on executor 0.
class BridgeTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        ResetAndRegisterBridge();
    }
};

} // namespace coretest
