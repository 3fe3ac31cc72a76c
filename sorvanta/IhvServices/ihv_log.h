// Log lines of the service front: written as the provider's error, information or verbose event, each
// only while a session has enabled that level (the text is not even formatted otherwise).
#pragma once

#include "ril_etw.h"
#include "ril_trace.h"

#define IHV_LOG(event_id, ...)                                                                             \
    do {                                                                                                   \
        if (ril_etw_event_enabled(event_id))                                                               \
            ril_trace_write((event_id), false, __VA_ARGS__);                                               \
    } while (0)

#define IHV_LOG_ERROR(...) IHV_LOG(RIL_EVENT_ERROR, __VA_ARGS__)
#define IHV_LOG_INFO(...) IHV_LOG(RIL_EVENT_INFO, __VA_ARGS__)
#define IHV_LOG_VERBOSE(...) IHV_LOG(RIL_EVENT_VERBOSE, __VA_ARGS__)
