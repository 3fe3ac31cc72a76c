// The state machine's own records and the routines its files share: the exception handshake, the
// monitor device and the command routines. Only the state machine's files (and its tests) include it.
#pragma once

#include "ccci_bm.h"
#include "ccci_fsm.h"

#define FSM_TAG "CCCI_FSM"
#define FSM_POOL_TAG 0x6346534Du // 'cFSM'

// Exception-handshake flags (md_ee.flags).
#define EE_FLAG_ACTIVE 0x01u
#define EE_FLAG_ANNOUNCED 0x02u
#define EE_FLAG_RECORD 0x04u
#define EE_FLAG_PASS 0x08u
#define EE_FLAG_DURING_HS 0x40u
#define EE_FLAG_HOST_SAW 0x80u

#define EE_MAGIC_EXCP 0x45584350u // 'EXCP'
#define EE_MAGIC_EREC 0x45524543u // 'EREC'
#define EE_RECORD_SIZE 2520u
#define EE_RECORD_OFFSET 466u
#define EE_RECORD_MAX 2048u
#define EE_MSG_HEAD 12u // id, magic and one more word before the record data

// Exception types (fsm_run_exception).
#define FSM_EE_HS_TIMEOUT 1
#define FSM_EE_HS_SILENT 2
#define FSM_EE_MODEM 3

#define FSM_MONITOR_MINOR 255u
#define FSM_MONITOR_MSG_SIZE 16u
#define FSM_MONITOR_CAPACITY 1024u

struct md_ee;
struct ee_record_ops {
    void (*copy_record)(struct md_ee* ee, const void* data, u32 length);
    void (*set_first_word)(struct md_ee* ee, u32 value);
};

struct md_ee {
    u32 md_id;
    u32 flags;
    WDFSPINLOCK lock;
    u32 type;
    u32 readback; // what control code 0x40044309 returns; nothing writes it
    u8* record;
    const struct ee_record_ops* record_ops;
    char text[128];
    volatile LONG log_dump_done;
    u32 stage0_done;
    u32 reserved[2];
    u32 reset_mark;
};

struct sio_device;
struct fsm_monitor {
    u32 md_id;
    u16 minor;
    u16 major;
    struct sio_device* sio;
    volatile LONG open_count;
    KEVENT wq;
    struct bm_queue queue;
    volatile LONG closing; // the record goes away: readers leave
    volatile LONG readers; // reads under way; the record is freed only after they left
};

struct fsm_command {
    LIST_ENTRY entry;
    u32 id;
    u32 flags;
    s32 result;
    KEVENT done;
};

struct md_fsm {
    u32 md_id;
    volatile LONG md_state;
    volatile LONG state;
    u32 last_state;
    u32 last_status;
    WDFTIMER poll_timer;
    LIST_ENTRY commands;
    LIST_ENTRY events;
    WDFTIMER hs_timer;
    KEVENT command_wq;
    KEVENT event_wq;
    KEVENT hs_wq;
    WDFSPINLOCK event_lock;
    WDFSPINLOCK command_lock;
    WDFSPINLOCK complete_lock;
    HANDLE thread;
    u32 resume_boot;
    u32 resume_ports;
    u32 dump_ready;
    volatile LONG poll_count;
    volatile LONG hs_abort;
    volatile LONG hs_exception;
    volatile LONG poll_status;
    KEVENT poll_wq;
    struct md_ee ee;
    struct fsm_monitor monitor;
    WDFSPINLOCK notifier_lock;
    LIST_ENTRY notifiers;
    // Notifier walks under way: an unregister waits for them to end before its caller frees the node.
    volatile LONG notify_walks;
};

// Enables or disables the channel of the port `name` (a missing port is traced).
void fsm_port_channel(u32 md_id, const char* name, bool enable);
// Command completion (the waiter, if any, frees it).
void fsm_complete_command(struct md_fsm* fsm, struct fsm_command* command, int result);
void fsm_flush(struct md_fsm* fsm);
int fsm_notify_state(u32 md_id, u32 state);
// (low 16 bits of the boot status) | (n << 28).
void fsm_mark_stage(struct ccci_md* md, u32 n);
// The IPC glue's device record of the modem, or none.
IPC_PCI_DEVICE* fsm_pci_device(void);
// True while the system is leaving for sleep (the exception waits give up then).
bool fsm_leaving_for_sleep(void);
// Sleeps `ms` unless the driver's threads must terminate: false then.
bool fsm_sleep(u32 ms);

// Exception handshake.
int ee_init(struct md_ee* ee, u32 md_id);
void ee_reset(struct md_ee* ee, u32 md_id);
void ee_free(struct md_ee* ee);
void ee_handle_msg(struct md_ee* ee, const u8* data, u32 length);
void ee_stage(struct md_ee* ee, u32 stage);
void ee_report_timeout(struct md_ee* ee);
int ee_wait_done(struct md_ee* ee, u32 seconds);
void fsm_run_exception(struct md_fsm* fsm, struct fsm_command* command, u32 type);

// Monitor device.
int fsm_monitor_init(struct fsm_monitor* monitor, u32 md_id);
void fsm_monitor_reset(struct fsm_monitor* monitor, u32 md_id);
void fsm_monitor_exit(struct fsm_monitor* monitor);
extern const struct ccci_char_fops fsm_monitor_fops;

