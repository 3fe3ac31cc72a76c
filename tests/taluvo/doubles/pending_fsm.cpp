// Placeholder for the state machine until its own code lands (deleted then): it behaves as a state
// machine that was never made.
#include "ccci_fsm.h"

extern "C" {

int fsm_init(u32) { return -106; }
int fsm_reset(u32) { return -106; }
int fsm_uninit(u32) { return -106; }
struct md_fsm* fsm_find(u32) { return nullptr; }
struct md_fsm* fsm_find_by_minor(u32) { return nullptr; }
u32 fsm_get_state(u32) { return FSM_STATE_STOPPED; }
u32 ccci_fsm_get_md_state(u32) { return MD_STATE_INIT; }
u32 fsm_get_public_state(u32) { return 0; }
u32 fsm_get_dump_ready(u32) { return 0; }
int fsm_queue_command(struct md_fsm*, u32, u32) { return -106; }
int fsm_post_event(struct md_fsm*, u32, const void*, u32) { return -106; }
void fsm_drop_events(struct md_fsm*, u32) {}
struct fsm_event* fsm_take_event(struct md_fsm*, u32) { return nullptr; }
void fsm_free_event(struct fsm_event*) {}
bool fsm_wait_event(struct md_fsm*, u32) { return false; }
void fsm_set_md_state(struct md_fsm*, u32) {}
int fsm_register_notifier(u32, struct fsm_notifier*) { return -106; }
int fsm_unregister_notifier(u32, struct fsm_notifier*) { return -106; }
int fsm_on_hif_event(u32, u32) { return -106; }
void fsm_hs_abort(struct md_fsm*) {}
bool fsm_hs_aborted(struct md_fsm*) { return false; }
void fsm_hs_set_exception(struct md_fsm*) {}
bool fsm_hs_exception(struct md_fsm*) { return false; }
void fsm_hs_wake(struct md_fsm*) {}
int fsm_on_ctrl_msg(u32, u32, struct sk_buff*) { return -106; }
int fsm_on_poll_reply(u32, struct sk_buff*) { return -106; }
void md_cold_boot(u32) {}
int md_pm_state_callback(u32, struct mdm_pci_dev*) { return 0; }
bool ccci_fsm_brom_stage(struct ccci_md*) { return false; }
int fsm_monitor_send(u32, u32, u32) { return -106; }
int ccci_fsm_ioctl(u32, u32, ULONG_PTR) { return -22; }

} // extern "C"
