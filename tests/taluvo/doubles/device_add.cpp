#include "device_add.h"

int& doubles::DeviceAdds()
{
    static int adds;
    return adds;
}

NTSTATUS Mbb_EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT)
{
    doubles::DeviceAdds()++;
    return STATUS_NOT_SUPPORTED;
}
