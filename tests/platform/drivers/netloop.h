// A loop-back data path for test drivers of the network-adapter class extension: every transmitted
// packet comes back as a received one, in a receive buffer of the driver's own, which the system hands
// back through EvtAdapterReturnRxBuffer. Its queue callbacks are traced as "cb <name> ...".
#pragma once

#include <netadaptercx.h>

// What NetLoopStartAdapter declares.
#define NETLOOP_BACKFILL 496
#define NETLOOP_MAXIMUM_FRAME 4096
#define NETLOOP_RX_BUFFERS 64
#define NETLOOP_RING_HINT 64

// Sets the adapter's datapath callbacks (before NetAdapterCreate).
NTSTATUS NetLoopConfigureAdapterInit(NETADAPTER_INIT* AdapterInit);
// Declares the link, data-path and wake capabilities (backfill 496, frames of 4096 bytes in one
// fragment, driver-managed receive buffers), then starts the adapter: the first failing step's status.
NTSTATUS NetLoopStartAdapter(NETADAPTER Adapter);
