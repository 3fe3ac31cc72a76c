// Manifest-based event providers (ETW): registration, enablement and event writing. Events land in the
// host's trace sink (stream Etw) and in the ETW record list that host/etw.h reads; sessions are enabled
// by host/etw.h's controller.
#pragma once

#include <windef.h>

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

typedef struct _EVENT_DESCRIPTOR {
    USHORT Id;
    UCHAR Version;
    UCHAR Channel;
    UCHAR Level;
    UCHAR Opcode;
    USHORT Task;
    ULONGLONG Keyword;
} EVENT_DESCRIPTOR, *PEVENT_DESCRIPTOR;
typedef const EVENT_DESCRIPTOR* PCEVENT_DESCRIPTOR;
static_assert(sizeof(EVENT_DESCRIPTOR) == 16, "EVENT_DESCRIPTOR keeps its Windows layout");

typedef struct _EVENT_DATA_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    union {
        ULONG Reserved;
        struct {
            UCHAR Type;
            UCHAR Reserved1;
            USHORT Reserved2;
        };
    };
} EVENT_DATA_DESCRIPTOR, *PEVENT_DATA_DESCRIPTOR;
static_assert(sizeof(EVENT_DATA_DESCRIPTOR) == 16, "EVENT_DATA_DESCRIPTOR keeps its Windows layout");

typedef struct _EVENT_FILTER_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

typedef void(WINAPI* PENABLECALLBACK)(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                     ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                     PVOID CallbackContext);

inline void EventDataDescCreate(PEVENT_DATA_DESCRIPTOR EventDataDescriptor, const void* DataPtr, ULONG DataSize)
{
    EventDataDescriptor->Ptr = reinterpret_cast<ULONGLONG>(DataPtr);
    EventDataDescriptor->Size = DataSize;
    EventDataDescriptor->Reserved = 0;
}

inline void EventDescCreate(PEVENT_DESCRIPTOR EventDescriptor, USHORT Id, UCHAR Version, UCHAR Channel, UCHAR Level,
                            USHORT Task, UCHAR Opcode, ULONGLONG Keyword)
{
    *EventDescriptor = EVENT_DESCRIPTOR{Id, Version, Channel, Level, Opcode, Task, Keyword};
}

extern "C" {

// When a session already enables the provider, the enable callback runs before EventRegister returns.
ULONG EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                    PREGHANDLE RegHandle);
ULONG EventUnregister(REGHANDLE RegHandle);
BOOLEAN EventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor);
BOOLEAN EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
// An event the provider's session does not enable (level or keywords) is dropped, successfully.
ULONG EventWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, ULONG UserDataCount,
                 PEVENT_DATA_DESCRIPTOR UserData);

} // extern "C"
