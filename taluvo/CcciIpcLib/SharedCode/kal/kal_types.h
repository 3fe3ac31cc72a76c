// Fixed-width names of the chip's host-interface code, and the trace line of its modules: each line
// starts with the module's tag ("CCCI_BM: ...").
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wpp.h>

typedef UINT8 u8;
typedef UINT16 u16;
typedef UINT32 u32;
typedef UINT64 u64;
typedef INT8 s8;
typedef INT16 s16;
typedef INT32 s32;
typedef INT64 s64;

#define ccci_log(level, tag, fmt, ...) TraceEvents(level, 0, tag ": " fmt __VA_OPT__(, ) __VA_ARGS__)
#define ccci_err(tag, fmt, ...) ccci_log(TRACE_LEVEL_ERROR, tag, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ccci_warn(tag, fmt, ...) ccci_log(TRACE_LEVEL_WARNING, tag, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ccci_info(tag, fmt, ...) ccci_log(TRACE_LEVEL_INFORMATION, tag, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ccci_dbg(tag, fmt, ...) ccci_log(TRACE_LEVEL_VERBOSE, tag, fmt __VA_OPT__(, ) __VA_ARGS__)

// The kernel support layer's own module tag.
#define KAL_TAG "KAL"
