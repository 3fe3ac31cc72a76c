// The network adapter of an MBIM data session.
#pragma once

#include <netadaptercx.h>

// The framework context of one adapter.
typedef struct _NETADAPTER_INSTANCE_CONTEXT {
    NETADAPTER Adapter;
    // Standard adapter keywords, kept and traced; nothing acts on them.
    ULONG WakeOnMagicPacket;
    ULONG ModernStandyWoLMagicPacket;
    ULONG DeviceSleepOnDisconnect;
} NETADAPTER_INSTANCE_CONTEXT, *PNETADAPTER_INSTANCE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NETADAPTER_INSTANCE_CONTEXT, GetNetAdapterInstanceContext);
