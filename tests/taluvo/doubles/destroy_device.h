// Stands in for the IPC glue's release of the PCI device record: records each call.
#pragma once

#include "IpcContext.h"

#include <vector>

namespace doubles
{

struct DestroyDevice {
    struct pci_driver* driver;
    ULONG tag;
};

std::vector<DestroyDevice>& DestroyDevices();

} // namespace doubles
