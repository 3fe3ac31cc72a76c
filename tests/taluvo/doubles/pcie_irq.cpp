#include "pcie_irq.h"

#include "mhccif.h"

namespace
{

u32 g_status;
bool g_readable = true;

int Log(const char* what, u32 n)
{
    doubles::PcieIrqLog().push_back(std::string(what) + " " + std::to_string(n));
    return 0;
}

} // namespace

std::vector<std::string>& doubles::PcieIrqLog()
{
    static std::vector<std::string> log;
    return log;
}

void doubles::SetDoorbellStatus(u32 status, bool readable)
{
    g_status = status;
    g_readable = readable;
}

void doubles::ResetPcieIrq()
{
    PcieIrqLog().clear();
    SetDoorbellStatus(0);
}

__attribute__((weak)) int mdm_pcie_register_irq_callback(struct mdm_pci_dev*, u32 source, mdm_irq_cb, void*)
{
    return Log("register", source);
}

__attribute__((weak)) int mdm_pcie_irq_mask(struct mdm_pci_dev*, u32 source, bool mask)
{
    return Log(mask ? "mask" : "unmask", source);
}

__attribute__((weak)) int mdm_pcie_irq_ack(struct mdm_pci_dev*, u32 source)
{
    return Log("ack", source);
}

__attribute__((weak)) void mhccif_send_doorbell(struct mdm_pci_dev*, u32 n)
{
    Log("doorbell", n);
}

__attribute__((weak)) int mhccif_read_status(struct mdm_pci_dev*, u32* status)
{
    *status = g_status;
    return g_readable ? 1 : 0;
}
