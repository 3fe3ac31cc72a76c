// The network adapters of the MBIM data sessions. None is created yet.
#include "NetAdapter.h"

#include "Device.h"

NTSTATUS EvtMbbDeviceCreateAdapter(WDFDEVICE, NETADAPTER_INIT*)
{
    return STATUS_NOT_SUPPORTED;
}
