// Stands in for the IPC glue's PCI set-up: records each bus driver handed to it and answers with a
// result the test sets.
#pragma once

#include "IpcPcie.h"

#include <vector>

namespace doubles
{

struct PcieAdd {
    struct pci_driver* driver;
    ULONG tag;
};

std::vector<PcieAdd>& PcieAdds();
// What IpcPcieAdd returns (0 unless set).
void SetPcieAddResult(int result);

} // namespace doubles
