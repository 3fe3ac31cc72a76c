// A tiny framework driver bound to the simulated modem that plays the IPC glue's role: its
// prepare-hardware builds the PCI device record (resources, MSI-X table and bus interfaces, the IPC
// context) and probes the chip's bus driver; release-hardware removes it. With `module_start` it plays
// only the device callbacks and goes through the IPC glue: prepare-hardware starts the glue (whose
// module start builds the device record) and prepares the hardware, release-hardware releases it and
// cleans the glue up. One runs at a time.
#pragma once

#include <wdf.h>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "pcie_device.h"
#include "sim/pci/bus.h"

#include <string>

namespace taluvotest
{

struct GlueDriver {
    pci_device_id id{};
    bool module_start = false;
    // Without the module start the device record and the IPC context are the test's own.
    IPC_PCI_DEVICE pdev{};
    IPC_CONTEXT context{};
    WDFDEVICE device = nullptr;
    int probe = -2;

    // The device record the probe was given (none before it).
    IPC_PCI_DEVICE* Pdev();
};

// Installs the driver for `function` and adds the device; the add's status.
NTSTATUS GlueDriverStart(GlueDriver& driver, sim::pci::Function& function);
// The device's driver (software) key, where its configuration values live.
std::u16string GlueDriverKey();
// Removes the device when it is still there (which unloads the driver) and drains the host's work.
void GlueDriverStop(GlueDriver& driver);

} // namespace taluvotest
