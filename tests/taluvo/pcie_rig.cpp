#include "pcie_rig.h"

#include "host_test.h"

#include <host/host.h>
#include <host/image.h>
#include <host/pool.h>

#include "glue_driver.h"

namespace taluvotest
{
namespace
{

struct State {
    std::unique_ptr<sim::modem::Board> board;
    GlueDriver driver;
};
State* g_state;

} // namespace

NTSTATUS PcieRig::Start(const sim::modem::ModemConfig& config, const pci_device_id* id)
{
    g_state = new State;
    g_state->driver.id = id != nullptr ? *id : mdm_pcie_bus_driver()->id_table[0];
    g_state->board = std::make_unique<sim::modem::Board>(config);
    return GlueDriverStart(g_state->driver, g_state->board->function);
}

void PcieRig::Stop()
{
    if (g_state == nullptr)
        return;
    GlueDriverStop(g_state->driver);
    g_state->board->modem.Stop();
    delete g_state;
    g_state = nullptr;
    for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
        ADD_FAILURE() << "pool left: '" << host::PoolTagText(leak.tag) << "', " << leak.count << " blocks";
}

void PcieRig::SetUp()
{
    doubles::Core() = {};
    doubles::Indications().clear();
}

void PcieRig::TearDown()
{
    Stop();
}

sim::modem::Modem& PcieRig::Modem()
{
    return g_state->board->modem;
}

IPC_PCI_DEVICE* PcieRig::Pdev()
{
    return &g_state->driver.pdev;
}

struct mdm_pci_dev* PcieRig::Dev()
{
    return g_state->driver.pdev.MdmDevice;
}

int PcieRig::ProbeResult()
{
    return g_state->driver.probe;
}

std::vector<std::pair<ULONG, ULONG>> PcieRig::MacWrites()
{
    std::vector<std::pair<ULONG, ULONG>> writes;
    for (const sim::modem::RegisterWrite& w : Modem().Writes())
        if (w.bar == sim::modem::kBarMac)
            writes.emplace_back(static_cast<ULONG>(w.offset), w.value);
    return writes;
}

std::vector<std::pair<ULONG, ULONG>> PcieRig::DoorbellWrites()
{
    std::vector<std::pair<ULONG, ULONG>> writes;
    for (const sim::modem::RegisterWrite& w : Modem().Writes())
        if (w.bar == sim::modem::kBarWindow && w.offset >= sim::modem::kMhccifOffset &&
            w.offset < sim::modem::kMhccifOffset + 0x1000)
            writes.emplace_back(static_cast<ULONG>(w.offset - sim::modem::kMhccifOffset), w.value);
    return writes;
}

ULONG PcieRig::Mac(ULONG offset)
{
    return Modem().MacRegister(offset);
}

bool PcieRig::WaitFor(const std::function<bool()>& done, LONGLONG limit)
{
    return hosttest::WaitUntil(done, limit, sim::modem::Milliseconds(1));
}

} // namespace taluvotest
