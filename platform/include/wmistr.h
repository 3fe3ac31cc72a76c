// WMI data blocks as the kernel's WMI interfaces return them: a WNODE header, then the block's layout.
#pragma once

#include <ntdef.h>

// Access rights of a data block opened with IoWMIOpenBlock.
#define WMIGUID_QUERY 0x0001
#define WMIGUID_SET 0x0002
#define WMIGUID_NOTIFICATION 0x0004
#define WMIGUID_READ_DESCRIPTION 0x0008
#define WMIGUID_EXECUTE 0x0010

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020

typedef struct _WNODE_HEADER {
    ULONG BufferSize; // of the whole WNODE, header included
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage; // offset of the next WNODE, 0 for the last
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;
static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER keeps its Windows layout");

typedef struct {
    ULONG OffsetInstanceData;
    ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

// Offsets are from the start of the WNODE. Without WNODE_FLAG_FIXED_INSTANCE_SIZE each instance has
// its own offset and length.
typedef struct tagWNODE_ALL_DATA {
    WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets; // an array of InstanceCount offsets of counted (USHORT) names
    union {
        ULONG FixedInstanceSize;
        OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[ANYSIZE_ARRAY];
    };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;
static_assert(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) == 60, "WNODE_ALL_DATA keeps its layout");

// What a query writes into a buffer too small for the answer, when the buffer holds this much.
typedef struct tagWNODE_TOO_SMALL {
    WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;
