// The interfaces a function's driver queries from the bus (wdmguid.h): the standard bus interface, the
// root port's configuration space, the MSI-X table, device reset and re-enumerate-self.
#pragma once

#include <wdm.h>

namespace sim::pci {

class Function;

// Fills `interface` (whose buffer holds `size` bytes) with the interface `guid` at `version`, referenced
// for the caller. STATUS_NOT_SUPPORTED for an interface the function does not offer (an unknown GUID,
// the MSI-X table of a function without one) or a version it does not implement;
// STATUS_INVALID_PARAMETER for no buffer or one smaller than the interface;
// STATUS_INVALID_DEVICE_STATE once the function is unplugged.
NTSTATUS QueryInterface(Function& function, const GUID& guid, USHORT size, USHORT version, PINTERFACE interface);

} // namespace sim::pci
