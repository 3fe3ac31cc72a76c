// Stands in for the PCIe interrupt-source registry and the doorbell block: each call is logged in
// order ("mask 1", "unmask 1", "ack 1", "register 1", "doorbell 2"), and the doorbell status read
// answers what the test sets. Weak, so the real registry and doorbell block take over when they are
// linked; the tests that read this log then move to the simulated MAC's write log.
#pragma once

#include "pcie_device.h"

#include <string>
#include <vector>

namespace doubles
{

std::vector<std::string>& PcieIrqLog();
// The modem-to-host doorbell status mhccif_read_status gives; `readable` false makes the read fail.
void SetDoorbellStatus(u32 status, bool readable = true);
void ResetPcieIrq();

} // namespace doubles
