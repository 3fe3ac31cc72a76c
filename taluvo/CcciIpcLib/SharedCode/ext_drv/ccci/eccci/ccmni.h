// The ccmni layer: one network device per modem data channel over the DPMAIF instance, created with
// the modem and removed with it.
#pragma once

#include "ccci_fsm.h"
#include "kal.h"

struct dpmaif_hif;
struct mdm_pci_dev;
struct ccmni_instance;

#define CCMNI_MAX_INSTANCES 21
#define CCMNI_INSTANCE_COUNT 8
#define CCMNI_POOL_TAG 'INMc'
// Capability word: flow-control notices, TCP-acknowledgement priority, and (clear here) the mode
// without tasklets and receive push threads.
#define CCMNI_CAPABILITIES 0x0Fu
#define CCMNI_CAP_FLOW_CTRL 0x01u
#define CCMNI_CAP_ACK_PRIORITY 0x04u
#define CCMNI_CAP_NO_TASKLETS 0x10u

// The control record of one modem's ccmni layer.
struct ccmni_ctl_block {
    u32 md_id;
    struct mdm_pci_dev* dev;
    struct dpmaif_hif* dpmaif;
    struct ccmni_instance* instances[CCMNI_MAX_INSTANCES];
    u32 count;
    u32 last_md_state;
    u32 capabilities;
    struct fsm_notifier state_node;
};

// The capability word, or -22 without a record.
int ccmni_capabilities(struct ccmni_ctl_block* ctl);
// Called by the DPMAIF flow-control notices and the state machine; does nothing.
void ccmni_queue_state_hook(struct ccmni_ctl_block* ctl);
