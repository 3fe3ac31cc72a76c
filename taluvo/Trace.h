// Trace flags of the miniport's messages.
#pragma once

#include <wpp.h>

#define TRACE_DEVICE 0x00000001u
#define TRACE_IPC 0x00000002u
