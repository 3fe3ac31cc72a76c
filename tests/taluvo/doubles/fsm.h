// Stands in for the modem state machine and the modem object's handshake queries: the test sets the
// states and flags; posted events, control messages, poll replies and aborts are recorded; the
// modem object's runtime-data block is a field.
// Wraps: fsm_find fsm_get_state ccci_fsm_get_md_state fsm_post_event fsm_on_ctrl_msg fsm_on_poll_reply md_hs_abort ccci_md_hs_pending ccci_md_debug_flags ccci_md_runtime_block ccci_fsm_ioctl
#pragma once

#include <string>
#include <vector>

#include "ccci_fsm.h"

namespace doubles
{
struct Fsm {
    bool exists = true;
    u32 md_state = MD_STATE_READY;
    u32 state = FSM_STATE_READY;
    bool hs_pending = false;
    u32 debug_flags = 0;
    struct Event {
        u32 id;
        std::vector<u8> data;
    };
    std::vector<Event> events;
    std::vector<u32> ctrl_msgs; // message ids; the buffers are released
    int poll_replies = 0;
    int hs_aborts = 0;
    struct ccci_runtime_block runtime_block = {};
    struct Ioctl {
        u32 md_id;
        u32 code;
        ULONG_PTR argument;
    };
    std::vector<Ioctl> ioctls;
    int ioctl_result = 0;
};
// Reset by each test that uses it.
Fsm& FsmState();
} // namespace doubles
