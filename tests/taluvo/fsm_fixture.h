// A state machine made for modem 0 on a framework device, with its modem-object side scripted
// (doubles/md_ops), its reports recorded, the port tables on a fake port kind that records channel
// changes and state notices, and a fake HIF engine that captures what is sent.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "IpcContext.h"
#include "ccci_bm.h"
#include "ccci_fsm_priv.h"
#include "ccci_hif.h"
#include "ccci_port.h"
#include "Driver.h"
#include "device_fixture.h"
#include "doubles/core_start.h"
#include "host_test.h"
#include "md_ops.h"
#include "modem_event_actions.h"
#include "modem_events.h"
#include "modem_object.h"

namespace fsmtest
{

using Strings = std::vector<std::string>;

struct Sent {
    u8 hif;
    std::vector<u8> bytes;
};

namespace detail
{

inline std::mutex g_lock;
inline std::vector<Sent> g_sent;
inline Strings g_port_calls;
inline int g_fake_ctrl;

inline void PortCall(const std::string& call)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_port_calls.push_back(call);
}

inline int FakeSend(u8, u8 hif, u8, struct sk_buff* skb, int, int)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_sent.push_back({hif, std::vector<u8>(skb->data, skb->data + skb->len)});
    }
    bm_free_skb(skb, 0x46414B45u);
    return 0;
}

inline const struct ccci_hif_ops kFakeHif = [] {
    struct ccci_hif_ops ops = {};
    ops.send_skb = FakeSend;
    return ops;
}();

inline int FakeInit(struct ccci_port*)
{
    return 0;
}
inline void FakeUninit(struct ccci_port*) {}
inline void FakeState(struct ccci_port* port, u32 state)
{
    if (strcmp(port->name, "ccci_ctrl") == 0)
        PortCall("state " + std::to_string(state));
}
inline int FakeEnable(struct ccci_port* port)
{
    PortCall(std::string("enable ") + port->name);
    return 0;
}
inline int FakeDisable(struct ccci_port* port)
{
    PortCall(std::string("disable ") + port->name);
    return 0;
}

inline const struct ccci_port_ops kFakeKind = {
    FakeInit, NULL, NULL, FakeState, NULL, NULL, FakeUninit, FakeEnable, FakeDisable,
};

inline void AllowThreads()
{
    UCHAR run = 0;
    IpcShouldTerminateThreads(&run);
}

} // namespace detail


inline std::vector<Sent>& SentFrames()
{
    return detail::g_sent;
}

inline Strings PortCalls()
{
    std::lock_guard<std::mutex> hold(detail::g_lock);
    return detail::g_port_calls;
}


class FsmTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // The driver's threads may run again; a new record with its thread.
    void Restart();
    // Queues `id` and waits for it: 0 or -1.
    int Run(u32 id, u32 flags = 0) { return fsm_queue_command(fsm_, id, flags | FSM_CMD_FLAG_WAIT); }
    // Puts the idle state machine in `state` with modem state `md_state`.
    void Put(u32 state, u32 md_state)
    {
        fsm_->state = (LONG)state;
        fsm_->md_state = (LONG)md_state;
    }
    // Lets virtual time pass until `done` holds (at most `seconds`).
    static bool Until(const std::function<bool()>& done, LONGLONG seconds = 300)
    {
        return hosttest::WaitUntil(done, seconds * 10000000LL, 10 * 10000LL);
    }
    // Lets `ms` of virtual time pass.
    static void Pass(u32 ms)
    {
        hosttest::WaitUntil([] { return false; }, (LONGLONG)ms * 10000, 10 * 10000LL);
    }
    static Strings Reports() { return doubles::Indications(); }
    // A control frame from the modem: CCCI header, control header {id, arg, data_len}, then `data`.
    static struct sk_buff* CtrlFrame(u32 id, u32 arg, u32 data_len, const std::vector<u8>& data);

    struct md_fsm* fsm_ = nullptr;
    struct ccci_port saved_normal_[CCCI_PORT_COUNT];
    struct ccci_port saved_boot_[CCCI_BOOT_PORT_COUNT];
};

inline void FsmTest::SetUp()
{
    DeviceTest::SetUp();
    IpcInitTerminiateThreadsEvent();
    detail::AllowThreads();
    ASSERT_EQ(0, ccci_bm_init());
    doubles::Modem() = {};
    doubles::MdOpsState() = {};
    doubles::Indications().clear();
    doubles::Actions() = {};
    WriteRelease(&DumpFlags, 0);
    detail::g_sent.clear();
    detail::g_port_calls.clear();
    const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
    memcpy(hif_path_map[0], map, sizeof(map));
    ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, &detail::g_fake_ctrl, &detail::kFakeHif);
    ccci_hif_set_ctrl(0, CLDMA_HIF_MD, &detail::g_fake_ctrl, &detail::kFakeHif);
    memcpy(saved_normal_, ccci_port_table, sizeof(saved_normal_));
    memcpy(saved_boot_, ccci_boot_port_table, sizeof(saved_boot_));
    for (struct ccci_port& port : ccci_port_table)
        port.ops = &detail::kFakeKind;
    for (struct ccci_port& port : ccci_boot_port_table)
        port.ops = &detail::kFakeKind;
    ASSERT_EQ(0, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
    ASSERT_EQ(0, fsm_init(0));
    fsm_ = fsm_find(0);
    ASSERT_NE(nullptr, fsm_);
}

inline void FsmTest::TearDown()
{
    EXPECT_EQ(0, fsm_uninit(0));
    EXPECT_EQ(nullptr, fsm_find(0));
    detail::AllowThreads();
    if (ccci_port_get_proxy(0) != nullptr)
        ccci_port_proxy_destroy(0);
    memcpy(ccci_port_table, saved_normal_, sizeof(saved_normal_));
    memcpy(ccci_boot_port_table, saved_boot_, sizeof(saved_boot_));
    ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, nullptr, nullptr);
    ccci_hif_set_ctrl(0, CLDMA_HIF_MD, nullptr, nullptr);
    ccci_bm_exit();
    WriteRelease(&DumpFlags, 0);
    DeviceTest::TearDown();
}

inline void FsmTest::Restart()
{
    ASSERT_EQ(0, fsm_uninit(0));
    detail::AllowThreads();
    ASSERT_EQ(0, fsm_init(0));
    fsm_ = fsm_find(0);
    ASSERT_NE(nullptr, fsm_);
}

inline struct sk_buff* FsmTest::CtrlFrame(u32 id, u32 arg, u32 data_len, const std::vector<u8>& data)
{
    struct sk_buff* skb = bm_alloc_skb(CCCI_CTRL_FRAME_SIZE + (int)data.size(), false, true, CCCI_PORT_TAG);
    const u32 words[7] = {0, CCCI_CTRL_FRAME_SIZE + (u32)data.size(), CCCI_CONTROL_RX, 0, id, arg, data_len};
    memcpy(skb_put(skb, sizeof(words)), words, sizeof(words));
    if (!data.empty())
        memcpy(skb_put(skb, (u32)data.size()), data.data(), data.size());
    return skb;
}

} // namespace fsmtest
