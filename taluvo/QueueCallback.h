// Runs a routine once, with one argument, in a framework work item at PASSIVE_LEVEL (or raised to a
// given IRQL for the call).
#pragma once

#include <wdf.h>

typedef void WORKER_ROUTINE(PVOID Argument);

#define WORKER_ITEM_ARGUMENT_AREA 256

typedef struct _WORKER_ITEM_CONTEXT {
    WORKER_ROUTINE* Routine;
    UCHAR ArgumentArea[WORKER_ITEM_ARGUMENT_AREA]; // by reference: the pointer; by copy: the bytes
    UCHAR CopyLength;
    UCHAR RaiseIrql; // 0: passive
    ULONG ByReference;
} WORKER_ITEM_CONTEXT, *PWORKER_ITEM_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKER_ITEM_CONTEXT, GetWorkerItemContext);

// By reference the argument pointer is handed on and must stay valid until the routine ran; by copy
// `Length` bytes are copied into the work item. Returns the creation status: on failure nothing runs.
NTSTATUS QueueCallback(WDFDEVICE Device, WORKER_ROUTINE* Routine, PVOID Argument, UCHAR Length,
                       LONG ByReference, UCHAR Irql);
EVT_WDF_WORKITEM EvtQueueCallbackWorkItem;
