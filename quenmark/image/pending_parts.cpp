// What stands in, inside the driver image, for the filter's worker threads, its AT answers and its status
// path until they join: no worker runs (a module stays in its first synchronisation, holding the
// operating system's first WWAN OID), and every indication goes up unchanged.
#include "filter.h"

void WorkerThreadWake(PWORKER_THREAD) {}

NTSTATUS ModeSyncThreadStart(PFILTER_MODULE_CONTEXT)
{
    return STATUS_SUCCESS;
}

void ModeSyncThreadStop(PFILTER_MODULE_CONTEXT) {}

NTSTATUS ModeSwitchThreadStart(PFILTER_MODULE_CONTEXT)
{
    return STATUS_SUCCESS;
}

void ModeSwitchThreadStop(PFILTER_MODULE_CONTEXT) {}

NTSTATUS ConfirmThreadStart(PFILTER_MODULE_CONTEXT)
{
    return STATUS_SUCCESS;
}

void ConfirmThreadStop(PFILTER_MODULE_CONTEXT) {}

void SleepMilliseconds(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(Milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void ReplayRadioStateSet(PFILTER_MODULE_CONTEXT, PPENDING_RADIO_STATE_RECORD) {}

void OidProcessStatusIndication(PFILTER_MODULE_CONTEXT Module, PNDIS_STATUS_INDICATION Indication)
{
    NdisFIndicateStatus(Module->FilterHandle, Indication);
}
