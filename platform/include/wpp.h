// WPP software tracing. A driver's own trace header includes this; messages go to the host's trace
// sink, whose per-image ring is the in-flight recorder.
//
// Flag names: a trace header that defines WPP_CONTROL_GUIDS before including this gets one constant
// per WPP_DEFINE_BIT, valued 1 << its position (positions continue across control GUIDs):
//   #define WPP_CONTROL_GUIDS WPP_DEFINE_CONTROL_GUID(Name, (...), WPP_DEFINE_BIT(A) WPP_DEFINE_BIT(B))
//
// Messages use the host formatter with the WPP extensions (%!FUNC!, %!STATUS!, %!GUID!, ...); see
// host/format.h.
#pragma once

#include <ntdef.h>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

struct _DRIVER_OBJECT;

// Kernel drivers pass their driver object and registry path, user-mode ones an application name.
void WppInitTracing(struct _DRIVER_OBJECT* DriverObject, PCUNICODE_STRING RegistryPath);
void WppInitTracing(PCWSTR AppName);
void WppCleanupTracing(struct _DRIVER_OBJECT* DriverObject);
void WppCleanupTracing();

extern "C" {
void WppTraceMessage(UCHAR Level, ULONG Flags, const char* Function, const char* Format, ...);
BOOLEAN WppTraceEnabled(UCHAR Level, ULONG Flags);
}

#define WPP_INIT_TRACING(...) WppInitTracing(__VA_ARGS__)
#define WPP_CLEANUP(...) WppCleanupTracing(__VA_ARGS__)

#define TraceEvents(Level, Flags, Msg, ...) WppTraceMessage((Level), (Flags), __func__, Msg __VA_OPT__(, ) __VA_ARGS__)
#define DoTraceMessage(Flags, Msg, ...)                                                                    \
    WppTraceMessage(TRACE_LEVEL_INFORMATION, (Flags), __func__, Msg __VA_OPT__(, ) __VA_ARGS__)

// WPP names the per-flag check "level enabled".
#define WPP_FLAG_ENABLED(Flags) WppTraceEnabled(TRACE_LEVEL_NONE, (Flags))
#define WPP_LEVEL_ENABLED(Flags) WPP_FLAG_ENABLED(Flags)
#define WPP_LEVEL_FLAGS_ENABLED(Level, Flags) WppTraceEnabled((Level), (Flags))

#ifdef WPP_CONTROL_GUIDS
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) Bits
#define WPP_DEFINE_BIT(Name) WPP_BIT_##Name,
enum WppBitPosition : ULONG { WPP_CONTROL_GUIDS };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Name) Name = 1U << WPP_BIT_##Name,
enum WppFlag : ULONG { WPP_CONTROL_GUIDS };
#undef WPP_DEFINE_BIT
#endif
