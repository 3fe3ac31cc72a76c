// The ccmni layer: one network device per modem data channel over the DPMAIF instance, created with
// the modem and removed with it.
#pragma once

#include "ccci_fsm.h"
#include "kal.h"

struct dpmaif_hif;
struct mdm_pci_dev;
struct ccmni_instance;
struct ccmni_tx_request;

#define CCMNI_MAX_INSTANCES 21
#define CCMNI_INSTANCE_COUNT 8
#define CCMNI_POOL_TAG 0x494E4D63u // 'INMc'
#define CCMNI_MTU 1500
// Room each transmit packet must have in front of its data for the ccmni header.
#define CCMNI_TX_HEADROOM 16
#define CCMNI_PRIV_SIZE 128
// Capability word: flow-control notices, TCP-acknowledgement priority, and (clear here) the mode
// without tasklets and receive push threads.
#define CCMNI_CAPABILITIES 0x0Fu
#define CCMNI_CAP_FLOW_CTRL 0x01u
#define CCMNI_CAP_ACK_PRIORITY 0x04u
#define CCMNI_CAP_NO_TASKLETS 0x10u
// Transmit queues: ordinary traffic, and pure TCP acknowledgements ahead of it.
#define CCMNI_TXQ_NORMAL 0
#define CCMNI_TXQ_ACK 1
// tx_flags bit 0: the packet is a pure TCP acknowledgement.
#define CCMNI_TX_FLAG_ACK 0x1u

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

// One network instance: the private part of its net device.
struct ccmni_instance {
    u32 index;
    u32 md_id;
    volatile LONG open_count;
    struct net_device* dev;
    WDFSPINLOCK* lock; // the holder is a pool allocation of its own
    struct ccmni_ctl_block* ctl;
};
static_assert(sizeof(struct ccmni_instance) <= CCMNI_PRIV_SIZE, "an instance fits the net device's private part");

// The header written in front of every transmit packet (bytes 10-11 are never written).
struct ccmni_tx_header {
    u32 index;
    u32 length; // including this header
    u16 zero0;
    u16 unused;
    u32 zero1;
};
static_assert(sizeof(struct ccmni_tx_header) == CCMNI_TX_HEADROOM, "the transmit header is 16 bytes");

// Made by the modem start, removed by the modem end: 0 or a negative error, with everything undone.
int ccmni_create_instances(u32 md_id, struct mdm_pci_dev* dev);
void ccmni_remove_instances(u32 md_id, struct mdm_pci_dev* dev);

// The net device operations: open and close 0, or -1 without a control record; start transmit 0, or
// -2 when the chain's first packet was dropped (the whole chain is then completed as dropped).
int ccmni_open(struct net_device* dev);
int ccmni_close(struct net_device* dev);
int ccmni_start_xmit(struct sk_buff* first, struct net_device* dev, struct ccmni_tx_request* request);

// Whether the packet is a TCP segment without payload and without URG, ECE or CWR; a packet too short
// for its headers is not.
bool ccmni_is_pure_ack(const struct sk_buff* skb);

// The modem-state callback: records the state and hands 2, 5, 7 and 8 to the DPMAIF instance.
int ccmni_modem_state_changed(u32 md_state, struct ccmni_ctl_block* ctl);

// The capability word, or -22 without a record.
int ccmni_capabilities(struct ccmni_ctl_block* ctl);
// Called by the DPMAIF flow-control notices and the state machine; does nothing.
void ccmni_queue_state_hook(struct ccmni_ctl_block* ctl);
// Traces the buffer's pointers and lengths.
void ccmni_trace_skb(const struct sk_buff* skb, const char* caller, int line);
