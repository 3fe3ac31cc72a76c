// The MBIM control path between MbbCx and the modem. Until the path is routed, fragments are refused
// and session data is dropped.
#include "Device.h"
#include "Trace.h"

void EvtMbbDeviceSendMbimFragment(WDFDEVICE, MBBREQUEST Fragment)
{
    MbbRequestComplete(Fragment, STATUS_UNSUCCESSFUL);
}

void EvtMbbDeviceReceiveMbimFragment(WDFDEVICE, MBBREQUEST Fragment)
{
    MbbRequestComplete(Fragment, STATUS_UNSUCCESSFUL);
}

void EvtMbbDeviceSendServiceSessionData(WDFDEVICE, DSS_SESSION_ID, WDFMEMORY Data)
{
    MbbDeviceSendDeviceServiceSessionDataComplete(Data, STATUS_SUCCESS);
}

void CidTableInit(PMBB_DEVICE_CONTEXT)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "CID table: nothing to route yet");
}

void CidprocessingThread_Cancel(PMBB_DEVICE_CONTEXT Context)
{
    // No processing thread runs yet: only the stop is recorded.
    Context->CidThreadStop = TRUE;
}
