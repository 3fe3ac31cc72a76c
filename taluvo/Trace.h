// Trace flags of the miniport's messages.
#pragma once

#include <wpp.h>

#define TRACE_DEVICE 0x00000001u
#define TRACE_IPC 0x00000002u
#define TRACE_DRIVER 0x00000004u
#define TRACE_REGISTRY 0x00000008u
#define TRACE_DUMP 0x00000010u
