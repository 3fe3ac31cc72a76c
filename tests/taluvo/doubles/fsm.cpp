#include "fsm.h"

#include <mutex>

#include "ccci_bm.h"

namespace
{

std::mutex g_lock;

struct md_fsm* Record()
{
    static int record;
    return doubles::FsmState().exists ? reinterpret_cast<struct md_fsm*>(&record) : nullptr;
}

} // namespace

doubles::Fsm& doubles::FsmState()
{
    static Fsm state;
    return state;
}

extern "C" struct md_fsm* __wrap_fsm_find(u32 md_id)
{
    return md_id == 0 ? Record() : nullptr;
}

extern "C" u32 __wrap_fsm_get_state(u32 md_id)
{
    return __wrap_fsm_find(md_id) != nullptr ? doubles::FsmState().state : FSM_STATE_STOPPED;
}

extern "C" u32 __wrap_ccci_fsm_get_md_state(u32 md_id)
{
    return __wrap_fsm_find(md_id) != nullptr ? doubles::FsmState().md_state : MD_STATE_INIT;
}

extern "C" int __wrap_fsm_post_event(struct md_fsm* fsm, u32 id, const void* data, u32 length)
{
    if (fsm == nullptr || id < 1 || id > 7)
        return -106;
    std::lock_guard<std::mutex> hold(g_lock);
    const u8* bytes = static_cast<const u8*>(data);
    doubles::FsmState().events.push_back({id, std::vector<u8>(bytes, bytes + (bytes != nullptr ? length : 0))});
    return 0;
}

extern "C" int __wrap_fsm_on_ctrl_msg(u32 md_id, u32 msg_id, struct sk_buff* skb)
{
    if (__wrap_fsm_find(md_id) == nullptr)
        return -106;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        doubles::FsmState().ctrl_msgs.push_back(msg_id);
    }
    if (skb != nullptr)
        bm_free_skb(skb, 0x6346534Du); // 'cFSM'
    return 0;
}

extern "C" int __wrap_fsm_on_poll_reply(u32 md_id, struct sk_buff* skb)
{
    if (__wrap_fsm_find(md_id) == nullptr)
        return -106;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++doubles::FsmState().poll_replies;
    }
    bm_free_skb(skb, 0x704F5254u); // 'pORT'
    return 0;
}

extern "C" int __wrap_ccci_fsm_ioctl(u32 md_id, u32 code, ULONG_PTR argument)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::FsmState().ioctls.push_back({md_id, code, argument});
    return doubles::FsmState().ioctl_result;
}
