#include "destroy_device.h"

std::vector<doubles::DestroyDevice>& doubles::DestroyDevices()
{
    static std::vector<DestroyDevice> calls;
    return calls;
}

void IpcDestroyDevice(struct pci_driver* Driver, ULONG Tag)
{
    doubles::DestroyDevices().push_back({Driver, Tag});
}
