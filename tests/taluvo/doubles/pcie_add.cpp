#include "pcie_add.h"

namespace
{

int g_result;

} // namespace

std::vector<doubles::PcieAdd>& doubles::PcieAdds()
{
    static std::vector<PcieAdd> adds;
    return adds;
}

void doubles::SetPcieAddResult(int result)
{
    g_result = result;
}

int IpcPcieAdd(struct pci_driver* Driver, ULONG Tag)
{
    doubles::PcieAdds().push_back({Driver, Tag});
    return g_result;
}
