// Wake arming of the modem device and its friendly name. Arming and wake are only traced for now.
#include "Device.h"
#include "Trace.h"

NTSTATUS Mbb_ArmDeviceForWake(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "arm for wake %p", Device);
    return STATUS_SUCCESS;
}

void Mbb_EvtDeviceDisarmWake(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "disarm wake %p", Device);
}

void Mbb_EvtDeviceWakeTriggered(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "wake triggered %p", Device);
}

NTSTATUS EvtDevicePreviewBitmapPattern(WDFDEVICE, NETWAKESOURCE)
{
    return STATUS_SUCCESS;
}

void SwitchFriendlyName(WDFDEVICE)
{
}
