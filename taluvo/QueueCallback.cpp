// One-shot work items that call a routine with one argument, by reference or by copy.
#include "QueueCallback.h"

#include "Trace.h"

#include <string.h>

NTSTATUS QueueCallback(WDFDEVICE Device, WORKER_ROUTINE* Routine, PVOID Argument, UCHAR Length,
                       LONG ByReference, UCHAR Irql)
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DEVICE, "queue %p, length %u, by reference %d, irql %u", Routine,
                Length, ByReference, Irql);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKER_ITEM_CONTEXT);
    attributes.ParentObject = Device;
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, EvtQueueCallbackWorkItem);
    config.AutomaticSerialization = TRUE;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "work item not created: %!STATUS!", status);
        return status;
    }
    PWORKER_ITEM_CONTEXT context = GetWorkerItemContext(workItem);
    context->RaiseIrql = Irql;
    context->Routine = Routine;
    context->ByReference = (ULONG)ByReference;
    if (ByReference)
        memcpy(context->ArgumentArea, &Argument, sizeof(Argument));
    else
        memcpy(context->ArgumentArea, Argument, Length);
    context->CopyLength = Length;
    WdfWorkItemEnqueue(workItem);
    return status;
}

void EvtQueueCallbackWorkItem(WDFWORKITEM WorkItem)
{
    PWORKER_ITEM_CONTEXT context = GetWorkerItemContext(WorkItem);
    KIRQL previous = PASSIVE_LEVEL;
    if (context->RaiseIrql != 0)
        KeRaiseIrql(context->RaiseIrql, &previous);
    PVOID argument;
    if (context->ByReference)
        memcpy(&argument, context->ArgumentArea, sizeof(argument));
    else
        argument = context->ArgumentArea;
    context->Routine(argument);
    if (context->RaiseIrql != 0)
        KeLowerIrql(previous);
    WdfObjectDelete(WorkItem);
}
