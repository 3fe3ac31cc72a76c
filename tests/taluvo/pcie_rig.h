// The simulated modem on the PCI bus with a tiny framework test driver bound to it, which plays the
// glue's role: its prepare-hardware builds the PCI device record (resources, MSI-X table and bus
// interfaces, the IPC context) and probes the chip's bus driver; release-hardware removes it. Tests
// then drive the chip code through the record and watch the modem's registers and write log.
#pragma once

#include <gtest/gtest.h>

#include <wdf.h>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccci_core.h"
#include "doubles/core_start.h"
#include "doubles/modem_events.h"
#include "pcie_device.h"
#include "sim/modem/modem.h"

#include <memory>
#include <vector>

namespace taluvotest
{

class PcieRig : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

  public:
    // Plugs the modem and starts the test driver on it; returns the start status. `id` is the
    // bus driver's id entry the probe is handed (the driver's own table when not given).
    NTSTATUS Start(const sim::modem::ModemConfig& config = {}, const pci_device_id* id = nullptr);
    void Stop();

    static sim::modem::Modem& Modem();
    static IPC_PCI_DEVICE* Pdev();
    static struct mdm_pci_dev* Dev();
    static int ProbeResult();

    // The writes to the MAC window (BAR 0) since the last ClearWrites, as {offset, value}.
    static std::vector<std::pair<ULONG, ULONG>> MacWrites();
    // The writes to the doorbell block, as {offset in the block, value}.
    static std::vector<std::pair<ULONG, ULONG>> DoorbellWrites();
    static ULONG Mac(ULONG offset);

    // Host time passes until `done` holds (at most `limit` of it); false when it never did.
    static bool WaitFor(const std::function<bool()>& done, LONGLONG limit = sim::modem::Milliseconds(3000));
};

} // namespace taluvotest
