// How a trace line of the procedural layer is built and written: ask the gate, format into the calling
// thread's 500-byte line (at most 499 characters), write it as a provider event when that event's
// level is enabled. The macros test the gate before their arguments are evaluated, so a closed gate
// costs no formatting.
#pragma once

#include "ril_config.h"
#include "ril_etw.h"

#include <stdarg.h>

#define RIL_TRACE_LINE_SIZE 500
// Lines of the operating-system layer start with this many spaces.
#define RIL_TRACE_INDENT 21

// The event a mask's lines are written as, unless the call site picks another.
USHORT ril_trace_event_for_mask(int mask);

// Formats and writes one line; `indent` prefixes the operating-system layer's 21 spaces.
void ril_trace_write(USHORT event_id, bool indent, const char* format, ...);
void ril_trace_writev(USHORT event_id, bool indent, const char* format, va_list args);

#define RIL_TRACE_EVENT(mask, event_id, ...)                                                               \
    do {                                                                                                   \
        if (ril_config_trace_enabled(0, (mask)))                                                           \
            ril_trace_write((event_id), false, __VA_ARGS__);                                               \
    } while (0)

#define RIL_TRACE(mask, ...) RIL_TRACE_EVENT((mask), ril_trace_event_for_mask(mask), __VA_ARGS__)

// A flow line of the operating-system layer, indented.
#define RIL_TRACE_OS(...)                                                                                  \
    do {                                                                                                   \
        if (ril_config_trace_enabled(0, RIL_MASK_FLOW))                                                    \
            ril_trace_write(RIL_EVENT_ERROR, true, __VA_ARGS__);                                           \
    } while (0)
