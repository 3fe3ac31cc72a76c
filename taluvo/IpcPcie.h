// The IPC glue's PCI set-up, entered from the chip's bus-driver registration.
#pragma once

#include "kal.h"

// Builds the PCI device record for the bus driver and keeps its operations; 0 or -1.
int IpcPcieAdd(struct pci_driver* Driver, ULONG Tag);
