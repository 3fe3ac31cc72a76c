// The image's device add until the modem device's own code is part of it: no device is taken.
#include "Driver.h"

#include "Trace.h"

NTSTATUS Mbb_EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT)
{
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "modem device add is not part of this image");
    return STATUS_NOT_SUPPORTED;
}
