// Stands in for the modem state machine: the test sets the states; posted events, control messages,
// poll replies and control-entry calls are recorded.
// Wraps: fsm_find fsm_get_state ccci_fsm_get_md_state fsm_post_event fsm_on_ctrl_msg fsm_on_poll_reply ccci_fsm_ioctl
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
    struct Event {
        u32 id;
        std::vector<u8> data;
    };
    std::vector<Event> events;
    std::vector<u32> ctrl_msgs; // message ids; the buffers are released
    int poll_replies = 0;
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
