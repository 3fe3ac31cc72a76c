#include "ril_trace.h"

#include <stdio.h>
#include <string.h>

USHORT ril_trace_event_for_mask(int mask)
{
    switch (mask) {
    case RIL_MASK_WARNING:
    case RIL_MASK_FUNC:
        return RIL_EVENT_VERBOSE;
    default:
        return RIL_EVENT_ERROR;
    }
}

void ril_trace_writev(USHORT event_id, bool indent, const char* format, va_list args)
{
    // One line per thread: lines written at the same time from several threads stay whole.
    thread_local char line[RIL_TRACE_LINE_SIZE];
    memset(line, 0, sizeof(line));
    size_t start = 0;
    if (indent) {
        memset(line, ' ', RIL_TRACE_INDENT);
        start = RIL_TRACE_INDENT;
    }
    // Longer text is cut; the cut is expected, not an error.
    _vsnprintf_s(line + start, sizeof(line) - start, _TRUNCATE, format, args);
    ril_etw_write(event_id, line);
}

void ril_trace_write(USHORT event_id, bool indent, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ril_trace_writev(event_id, indent, format, args);
    va_end(args);
}
