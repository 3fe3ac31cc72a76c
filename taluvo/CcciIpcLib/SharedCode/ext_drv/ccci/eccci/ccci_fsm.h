// The modem state machine: its record life cycle, commands and events, the modem state every port and
// the data path see, the handshake flags the modem object's handshake work shares with it, and its
// control entry. Only modem 0 exists. C linkage: tests stand in for these at link time.
#pragma once

#include "kal.h"

struct md_fsm;
struct ccci_md;
struct mdm_pci_dev;
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

// Commands; flag bit 0: the caller waits for the result; bits 16-23: the exception type of command 4.
#define FSM_CMD_START 1
#define FSM_CMD_HANDSHAKE 2
#define FSM_CMD_READY 3
#define FSM_CMD_EXCEPTION 4
#define FSM_CMD_STOP 5
#define FSM_CMD_HALT 6
#define FSM_CMD_FLAG_WAIT 0x1u

// Events posted to the state machine.
#define FSM_EVENT_MD_HS 1
#define FSM_EVENT_SAP_HS 2
#define FSM_EVENT_EE_ANNOUNCED 3
#define FSM_EVENT_EE_RECORD 4
#define FSM_EVENT_EE_PASS 5
#define FSM_EVENT_MD_HS_ABORT 6
#define FSM_EVENT_SAP_HS_ABORT 7
#define FSM_EVENT_BIT(id) (1u << (id))

// Kinds of modem-side events (`fsm_on_hif_event`).
#define FSM_HIF_EXCEPTION 1
#define FSM_HIF_START 2

// A posted event with its copy of the data.
struct fsm_event {
    LIST_ENTRY entry;
    u32 id;
    u32 length;
    u8 data[1];
};

// A module that hears every modem-state change: callback(state, data).
struct fsm_notifier {
    LIST_ENTRY entry;
    void (*callback)(u32 md_state, void* data);
    void* data;
};

extern "C" {

// Record life cycle (the modem object calls these): 0, or -106 / -22 for a modem that is not there.
int fsm_init(u32 md_id);
int fsm_reset(u32 md_id);
int fsm_uninit(u32 md_id);

// The record of modem md_id, or none (any index but 0, or before it was made).
struct md_fsm* fsm_find(u32 md_id);
struct md_fsm* fsm_find_by_minor(u32 minor);
// `state`, or 6 without a record.
u32 fsm_get_state(u32 md_id);
// `md_state`, or 0 without a record.
u32 ccci_fsm_get_md_state(u32 md_id);
// The form the control entry reports: 0 initial or stopping, 1 booting, 2 ready, 3 exception.
u32 fsm_get_public_state(u32 md_id);
// 1 after the dump stage reported "CD_READY"; 0 without a record.
u32 fsm_get_dump_ready(u32 md_id);

// Queues command `id` (1-8); with FSM_CMD_FLAG_WAIT below dispatch level waits for it: 0 when it
// succeeded, else -1. -104 no memory, -106 a bad id.
int fsm_queue_command(struct md_fsm* fsm, u32 id, u32 flags);
// Copies `data` into a new event: 0, -104 (no memory) or -106 (id outside 1 to 7).
int fsm_post_event(struct md_fsm* fsm, u32 id, const void* data, u32 length);
// Drops every queued event with this id.
void fsm_drop_events(struct md_fsm* fsm, u32 id);
// Unlinks and returns the first queued event whose id is in `ids` (FSM_EVENT_BIT set), or none; events
// of other ids stay where they are. The taker frees it with fsm_free_event.
struct fsm_event* fsm_take_event(struct md_fsm* fsm, u32 ids);
void fsm_free_event(struct fsm_event* event);
// Waits until an event is posted or `timeout_ms` passes (passive level); false once the driver's threads
// must terminate. A post between a taker's look and its wait is not lost: the wait returns at once.
bool fsm_wait_event(struct md_fsm* fsm, u32 timeout_ms);

// Sets the modem state (a move to 4 only from 3) and tells the ports and the notifiers.
void fsm_set_md_state(struct md_fsm* fsm, u32 state);
int fsm_register_notifier(u32 md_id, struct fsm_notifier* notifier);
int fsm_unregister_notifier(u32 md_id, struct fsm_notifier* notifier);

// Modem-side events from the doorbells: FSM_HIF_START queues a start, FSM_HIF_EXCEPTION raises the
// exception. 0 or -106 (no record).
int fsm_on_hif_event(u32 md_id, u32 kind);
// The boot handshake's shared flags: abandon it (hs_abort, wakes the handshake routine); the modem
// raised an exception during it; wake the handshake routine after a core finished.
void fsm_hs_abort(struct md_fsm* fsm);
bool fsm_hs_aborted(struct md_fsm* fsm);
void fsm_hs_set_exception(struct md_fsm* fsm);
bool fsm_hs_exception(struct md_fsm* fsm);
void fsm_hs_wake(struct md_fsm* fsm);

// Control messages 4, 5, 6 and 8 go to the exception handshake; the buffer is released. 0 or -106.
int fsm_on_ctrl_msg(u32 md_id, u32 msg_id, struct sk_buff* skb);
// The poll port's reply: wakes the poll waiter and releases the buffer. 0 or -106.
int fsm_on_poll_reply(u32 md_id, struct sk_buff* skb);

// The first boot of a probed modem: boot-mode ports, "MDM_COLD_BOOT_STARTED", "MDM_NOT_READY", start.
void md_cold_boot(u32 md_id);
// The device's power notification: 0 before suspend (halt, waited for), 1 after resume (new boot).
int md_pm_state_callback(u32 kind, struct mdm_pci_dev* dev);
// While the boot-ROM stage runs (the CLDMA engine sends raw bytes then).
bool ccci_fsm_brom_stage(struct ccci_md* md);

// A 16-byte state message for the monitor device's reader: 0, -106 (no record), -101 (dispatch level).
int fsm_monitor_send(u32 md_id, u32 value, u32 extra);
// The state machine's control entry, reached through the character devices: 0 or a negative result.
int ccci_fsm_ioctl(u32 md_id, u32 code, ULONG_PTR argument);

// Abandons the boot handshake in progress (a transfer error on the control path).
void md_hs_abort(struct ccci_md* md);
// Whether the handshake record of either core shows a handshake in progress.
bool ccci_md_hs_pending(const struct ccci_md* md);
// The modem object's `debug_flags` (bit 1: queue-state notifications).
u32 ccci_md_debug_flags(const struct ccci_md* md);

} // extern "C"

// Reports a modem state text ("MDM_READY", "CRASH", ...) to the miniport, its length counting the
// terminating zero.
void fsm_report(const char* text);

// The extra block of the modem object's runtime-data parameters: the handshake's runtime-data message
// carries its contents after the record. Both CLDMA instances share it; none until one makes it.
struct ccci_runtime_block {
    void* data;
    u32 length;
};
extern "C" struct ccci_runtime_block* ccci_md_runtime_block(struct ccci_md* md);
