// The library's manifest trace provider: registration at library load, the per-level enable state that
// its enable callback keeps, and the one way trace text is written as an event.
#pragma once

#include <windows.h>

// {364364D3-0FD7-4493-BDE8-B4252D00C2B3}
extern const GUID SORVANTA_TRACE_PROVIDER;

// Manifest events that carry trace text, one per level group (events 10 to 24, three per level).
enum : USHORT {
    RIL_EVENT_ERROR = 10,
    RIL_EVENT_INFO = 16,
    RIL_EVENT_VERBOSE = 19,
};

// Registers the provider (library attach) and unregisters it (library detach). Registering twice keeps
// the first registration; both return the Win32 result of the provider call.
ULONG ril_etw_register(void);
ULONG ril_etw_unregister(void);

// Whether a session has enabled the level of `event_id`.
bool ril_etw_event_enabled(USHORT event_id);

// Writes `text` (its length including the terminating zero) as `event_id` when that event is enabled.
void ril_etw_write(USHORT event_id, const char* text);
