// The modem state machine's entry points that the engines and the port layer call, and the modem
// object's handshake and debug queries. Only modem 0 exists.
#pragma once

#include "kal.h"

struct md_fsm;
struct ccci_md;
struct sk_buff;

// Modem states (`md_state`), as every port and the data path see them.
#define MD_STATE_INIT 0
#define MD_STATE_BOOT_HS 2
#define MD_STATE_CORE_HS 3
#define MD_STATE_READY 4
#define MD_STATE_EXCEPTION 5
#define MD_STATE_STOPPING 7
#define MD_STATE_STOPPED 8

// State-machine states (`state`).
#define FSM_STATE_CREATED 0
#define FSM_STATE_STARTING 1
#define FSM_STATE_HANDSHAKE 2
#define FSM_STATE_READY 3
#define FSM_STATE_EXCEPTION 4
#define FSM_STATE_STOPPING 5
#define FSM_STATE_STOPPED 6

// Events posted to the state machine.
#define FSM_EVENT_MD_HS 1
#define FSM_EVENT_SAP_HS 2

// The record of modem md_id, or none (any index but 0, or before it was made).
struct md_fsm* fsm_find(u32 md_id);
// `state`, or 6 without a record.
u32 fsm_get_state(u32 md_id);
// `md_state`, or 0 without a record.
u32 ccci_fsm_get_md_state(u32 md_id);
// Copies `data` into a new event: 0, -104 (no memory) or -106 (id outside 1 to 7).
int fsm_post_event(struct md_fsm* fsm, u32 id, const void* data, u32 length);
// Control messages 4, 5, 6 and 8 go to the exception handshake; the buffer is released. 0 or -106.
int fsm_on_ctrl_msg(u32 md_id, u32 msg_id, struct sk_buff* skb);
// The poll port's reply: wakes the poll waiter and releases the buffer. 0 or -106.
int fsm_on_poll_reply(u32 md_id, struct sk_buff* skb);

// Abandons the boot handshake in progress (a transfer error on the control path).
void md_hs_abort(struct ccci_md* md);
// Whether the handshake record of either core shows a handshake in progress.
bool ccci_md_hs_pending(const struct ccci_md* md);
// The modem object's `debug_flags` (bit 1: queue-state notifications).
u32 ccci_md_debug_flags(const struct ccci_md* md);

// The extra block of the modem object's runtime-data parameters: the handshake's runtime-data message
// carries its contents after the record. Both CLDMA instances share it; none until one makes it.
struct ccci_runtime_block {
    void* data;
    u32 length;
};
struct ccci_runtime_block* ccci_md_runtime_block(struct ccci_md* md);

// The state machine's control entry, reached through the character devices: 0 or a negative result.
int ccci_fsm_ioctl(u32 md_id, u32 code, ULONG_PTR argument);
