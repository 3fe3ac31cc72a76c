// A function on the simulated bus as the PnP manager sees it: its hardware ids, the resource lists
// built from its BARs and vectors, the interfaces it answers and the power changes it hears of.
#pragma once

#include <host/pnp.h>

#include <string>
#include <vector>

namespace sim::pci {

class Function;
struct FunctionConfig;

// "PCI\VEN_vvvv&DEV_dddd&SUBSYS_ssssvvvv&REV_rr", then the same without the revision, then
// "PCI\VEN_vvvv&DEV_dddd".
std::vector<std::u16string> HardwareIds(const FunctionConfig& config);

// What host::PnpAddDevice takes for `function`: D0 from the power manager powers the function, D3
// puts it in D3hot, or D3cold when the system is going to sleep or hibernate. Also sets the function's
// PnP hooks: a re-enumeration request, a platform-level reset and a successful function-level reset
// bring the device back through the PnP manager (surprise removal, then added again).
host::PnpBusDevice PnpDevice(Function& function, std::u16string instanceId);

} // namespace sim::pci
