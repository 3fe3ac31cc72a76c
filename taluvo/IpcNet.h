// The IPC glue's side of the ccmni net devices: each one is registered as a net link that MBIM data
// sessions bind to, and its packets go to and come from the network adapter's queues.
#pragma once

#include "kal.h"

// The binding record of one registered net device.
typedef struct _IPC_LINK_RECORD {
    UCHAR SessionId; // the bound session, or 255 (any value of 128 or more) for none
    UCHAR LinkIndex;
    struct net_device* NetDevice;
} IPC_LINK_RECORD, *PIPC_LINK_RECORD;

// Registers the net device as a net link: 0, -12 (no memory, link index above 20) or -22 (not a link).
int IpcNetAdd(struct net_device* NetDevice);
void IpcNetRemove(struct net_device* NetDevice);

// Completes a transmit chain (linked through chain_next) and returns how many packets it held.
ULONG IpcNetCompleteTxChain(struct sk_buff* First);
// Takes a chain of `Count` received packets (linked through chain_next) for the adapters' receive queues.
extern "C" void WwanRx_IndicatePackets(struct sk_buff* First, ULONG Count);
