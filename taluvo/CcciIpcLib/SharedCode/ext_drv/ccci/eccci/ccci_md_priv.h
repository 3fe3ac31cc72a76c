// The modem object's own record and the functions its three files share: the object and its table
// (ccci_md.cpp), the core start (ccci_core.cpp) and the handshake with its doorbells and reset interrupt
// (ccci_hk.cpp). Tests reach the internals through here.
#pragma once

#include "ccci_core.h"
#include "ccci_fsm.h"
#include "ccci_md.h"
#include "kal.h"

struct ccci_port;
struct mdm_pci_dev;

#define CCCI_MD_TAG 0x634D444Du   // 'cMDM'
#define CCCI_CORE_TAG 0x634F5245u // 'cORE'
#define MD_TAG "md"
#define PLT_TAG "PLT"
#define CORE_TAG "CCCI_CORE"
#define SYS_TAG "CCCI_SYS1"

#define MD_SYS_SIZE 144u
#define MD_STATE_FLAG_NOT_STARTED 0x4u
#define MD_BOOT_MARK_NONE 0xFFFFu
#define MD_DEBUG_FLAGS 6u
#define MD_NO_OBJECT 0xFFFFFFFFu

// Modem-to-host doorbell bits of the boot and the handshake.
#define MD_DB_EXCEPTION 0x2u
#define MD_DB_EE_ACK0 0x4u
#define MD_DB_EE_ACK2 0x8u
#define MD_DB_EE_ACK3 0x10u
#define MD_DB_BOOT 0x20u
#define MD_DB_SAP_HS 0x8000u
#define MD_DB_MD_HS 0x10000u
#define MD_DB_ALL 0x1803Eu
#define MD_DB_SLOT 2

// Handshake messages.
#define HK_MARKER 0x49434343u
#define HK_FEATURES 64
#define HK_ANSWER_HEAD 72u // marker, 64 feature bytes, marker
#define HK_FEATURE_SET_SIZE 100u
#define HK_REPLY_DATA_LEN 512u
#define HK_REPLY_SIZE 540u
#define HK_ENTRY_HEADER 8u
#define HK_CTRL_FEATURES 0u
#define HK_CTRL_REPLY 2u
#define HK_LEVEL(b) ((b) & 0x0Fu)
#define HK_VERSION(b) ((b) & 0xF0u)

// The modem's private handshake state. pending_doorbells stays the first word: clearing it is how
// every rebuild drops doorbells of the previous boot.
struct md_sys {
    u32 pending_doorbells;
    WDFSPINLOCK lock; // guards pending_doorbells; made once with the record
    u32 started;
};
static_assert(sizeof(struct md_sys) <= MD_SYS_SIZE, "md_sys fits its allocation");

struct core_hk;

// The three handshake steps, the same for both cores.
struct hk_steps {
    void (*send_features)(struct core_hk* core);
    int (*check_answer)(struct core_hk* core, const u8* data, u32 length);
    int (*send_reply)(struct core_hk* core, const u8* data, u32 length);
};

// One per core: the handshake record.
struct core_hk {
    u8 core_id;
    volatile LONG done;
    volatile LONG pending;
    u8 host_features[HK_FEATURES];
    u8 runtime_support[HK_FEATURES];
    struct ccci_port* ctrl_port;
    WDFWORKITEM work;
    const struct hk_steps* steps;
};

// An entry of the modem's runtime data: {feature id, three bytes, data length, data}.
struct md_runtime_entry {
    u8 id;
    u8 reserved[3];
    u32 length;
    u8 data[1];
};

// What send_runtime_data builds from; only the extra block is ever filled.
struct md_rt_params {
    u32 version;
    u32 variant;
    u32 value0;
    u32 value1;
    struct ccci_runtime_block extra;
};

// An entry of the shared-memory region table; the entry with id MD_SMEM_END ends it.
#define MD_SMEM_END 26u
#define MD_SMEM_RUNTIME 13u
struct md_smem_region {
    u32 id;
    u64 modem_address;
    u8* buffer;
};

struct ccci_md;

struct ccci_md_ops {
    int (*init)(struct ccci_md* md);                                      // 0
    int (*uninit)(void);                                                  // 1
    int (*start)(struct ccci_md* md);                                     // 2
    int (*pre_stop)(struct ccci_md* md, u32 kind);                        // 3
    int (*stop)(struct ccci_md* md, u32 kind);                            // 4
    void* reserved5[4];                                                   // 5-8
    int (*send_runtime_data)(struct ccci_md* md);                         // 9
    int (*exception_stages)(struct ccci_md* md);                          // 10
    void* reserved11;                                                     // 11
    u32 (*hif_flags)(struct ccci_md* md, u32 flags, void* buffer, u32 length); // 12
    void* reserved13;                                                     // 13
    int (*irq_stage)(struct ccci_md* md, u32 stage);                      // 14
    void* reserved15;                                                     // 15
};

struct ccci_md {
    u8 md_id;
    struct md_sys* sys;
    const struct ccci_md_ops* ops;
    struct md_smem_region* smem_table;
    struct mdm_pci_dev* pcie_dev;
    struct core_hk md_hk;
    struct core_hk sap_hk;
    volatile LONG exception_armed;
    volatile LONG stop_count;
    struct md_info info;
    u32 state_flags;
    u32 exception_cleared;
    u32 initialised;
    volatile LONG rgu_pending;
    volatile LONG rgu_early;
    WDFTIMER rgu_timer;
    struct md_rt_params rt_params;
    WDFWAITLOCK irq_wait_lock; // made by md_irq_setup
};

// ---------------------------------------------------------------------------------------------
// The object and its table (ccci_md.cpp).
struct ccci_md* ccci_md_alloc(u32 private_size);
// Frees md_sys with its lock and the object itself.
void ccci_md_free(struct ccci_md* md);
void md_ops_setup(struct ccci_md* md);
int ccci_md_register(struct ccci_md* md);
int ccci_md_reregister(struct ccci_md* md);
void ccci_md_reset_fields(struct ccci_md* md);
int ccci_md_unregister(struct ccci_md* md);
// Empties the table slot of modem 0.
void ccci_md_clear_table(void);
// The ccci_md_ops the object carries.
extern const struct ccci_md_ops ccci_md_ops_table;

struct plt_md_info {
    u32 md_id;
    u32 flags;
};
int plt_md_setup(struct mdm_pci_dev* dev, struct plt_md_info* out, struct ccci_md* md);
void plt_doorbell_mask(struct ccci_md* md, u32 bits, bool mask);
int plt_start_hook(void);

// ---------------------------------------------------------------------------------------------
// The operations and the handshake (ccci_hk.cpp).
int md_op_init(struct ccci_md* md);
int md_op_start(struct ccci_md* md);
int md_op_pre_stop(struct ccci_md* md, u32 kind);
int md_op_stop(struct ccci_md* md, u32 kind);
int md_op_send_runtime_data(struct ccci_md* md);
int md_op_exception_stages(struct ccci_md* md);
u32 md_op_hif_flags(struct ccci_md* md, u32 flags, void* buffer, u32 length);
int md_op_irq_stage(struct ccci_md* md, u32 stage);

int core_hk_init(struct core_hk* core, const char* name, PFN_WDF_WORKITEM work);
void core_hk_reset(struct core_hk* core);
void core_hk_handler(struct core_hk* core, struct md_fsm* fsm, u32 answer_event, u32 abort_event);
EVT_WDF_WORKITEM md_hk_work;
EVT_WDF_WORKITEM sap_hk_work;
void hk_send_features(struct core_hk* core);
int hk_check_answer(struct core_hk* core, const u8* data, u32 length);
int hk_send_reply(struct core_hk* core, const u8* data, u32 length);
// The 100-byte feature-set message of the core (no buffer: none).
struct sk_buff* hk_build_features(const struct core_hk* core);
// The reply message for the modem's answer (at least HK_ANSWER_HEAD bytes); none without a buffer or
// with bad markers.
struct sk_buff* hk_build_reply(const struct core_hk* core, const u8* answer);

struct md_smem_region* md_smem_region(u32 md_id, u32 region_id);

int md_irq_setup(struct ccci_md* md);
// Undoes md_irq_setup: handler slots emptied, reset timer and wait lock deleted.
void md_irq_teardown(struct ccci_md* md);
int md_doorbell_handler(void* md);
int md_rgu_irq(void* dev);
int md_rgu_mask(struct mdm_pci_dev* dev);
int md_reset_handler(struct mdm_pci_dev* dev);
void md_exception_stage(struct ccci_md* md, int stage);
