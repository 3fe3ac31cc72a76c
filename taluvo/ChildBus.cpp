// The COM child bus of the modem device. Its children are not enumerated yet.
#include "Device.h"
#include "Trace.h"

NTSTATUS Wwan_EvtDeviceListCreatePdo(WDFOBJECT, PVOID, PWDFDEVICE_INIT)
{
    return STATUS_NOT_SUPPORTED;
}

void Bus_EvtChildListScanForChildren(WDFOBJECT)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "child scan: no children yet");
}

void Bus_EvtChildListDeviceReenumerated(WDFOBJECT, WDFDEVICE, PVOID, PVOID)
{
}

void DisconnectPeers(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "disconnect peers of %p", Device);
}
