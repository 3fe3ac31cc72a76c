// The IPC glue's PCI set-up, entered from the chip's bus-driver registration: the PCI device record the
// host-interface code works on, the configuration space it is built from, and the link's power
// features (ASPM, clock PM, L1 PM substates, LTR) as the driver wants them.
#pragma once

#include <wdf.h>

#include "kal.h"

struct mdm_pci_dev;
typedef struct _IPC_CONTEXT IPC_CONTEXT;

#define IPC_PCI_MAX_INTERRUPTS 32
#define IPC_PCI_CONFIG_SIZE 4096

// PowerState / PreviousPowerState values.
#define IPC_PCI_POWER_D0 1
#define IPC_PCI_POWER_D3_FINAL 5

// One per modem; starts with the fields of the device node made for it, in the node's order.
typedef struct _IPC_PCI_DEVICE {
    s32 devt;
    const char* name;
    IPC_CONTEXT* IpcContext;
    struct device_node* next;
    WDFDMAENABLER DmaEnabler;
    WDFCMRESLIST RawResources;
    WDFCMRESLIST TranslatedResources;
    struct mdm_pci_dev* MdmDevice;

    BOOLEAN Idle;
    ULONG PreviousPowerState;
    ULONG PowerState;
    ULONG TargetPowerState;

    // Configuration offsets, read once at add.
    ULONG LtrLatencyOffset;
    ULONG DevCtl2Offset;
    ULONG LinkCtlOffset;
    ULONG L1ssCtl1Offset;
    ULONG L1ssCtl2Offset;
    ULONG RootDevCtl2Offset;
    ULONG RootLinkCtlOffset;
    ULONG RootL1ssCtl1Offset;
    // The modem's AER capability and the root port's: the root's error mask is written at its own
    // capability, the modem's registers are traced from the modem's.
    ULONG AerOffset;
    ULONG RootAerOffset;
    USHORT RootAspmSupport;
    ULONG RootL1ssSupport;
    ULONG RootLtrSupported;

    UCHAR MsiCapOffset;
    UCHAR MsixCapOffset;
    ULONG MsiEnabled;
    ULONG MessageSignalled;
    ULONG MsixCap[3];
    ULONG MsixTable;
    ULONG MsixPba;

    KEVENT ResumeEvent;
    BUS_INTERFACE_STANDARD BusInterface;
    PCI_EXPRESS_ROOT_PORT_INTERFACE RootPortInterface;
    PCI_MSIX_TABLE_CONFIG_INTERFACE MsixTableInterface;
    WDFINTERRUPT Interrupts[IPC_PCI_MAX_INTERRUPTS];

    ULONG VendorId;
    ULONG DeviceId;
    ULONG RevisionId;
    ULONG SubsystemVendorId;
    ULONG SubsystemId;
    const struct pci_device_id* IdTable;
    struct mdm_pci_dev* MdmDeviceLink;
} IPC_PCI_DEVICE, *PIPC_PCI_DEVICE;

// Builds the PCI device record for the bus driver and keeps its operations; 0 or -1.
int IpcPcieAdd(struct pci_driver* Driver, ULONG Tag);
// The record, zeroed, with the node of the glue's device class copied into its start; none on failure.
PIPC_PCI_DEVICE PcieCreateDevice(ULONG Tag);
// Releases what PcieCreateDevice made (node, class and record) and the interfaces the record holds.
void PcieDeleteDevice(PIPC_PCI_DEVICE Device, ULONG Tag);
NTSTATUS PcieGetDeviceInformation(PIPC_PCI_DEVICE Device);

// Capability walks over a configuration copy of IPC_PCI_CONFIG_SIZE bytes: the offset, or 0.
UCHAR PcieConfigLookupCapabilityID(const UCHAR* Config, UCHAR Pointer, UCHAR Id);
USHORT PcieConfigLookupExtendedCapabilityID(const UCHAR* Config, USHORT Id);

// Link power, re-applied at every D0 entry and power-setting change; failures are traced only.
void IpcAspmCheckEnable(PIPC_PCI_DEVICE Device);
void IpcLtrCheckEnable(PIPC_PCI_DEVICE Device);
// Traces the modem's AER registers.
void PcieAerCapCheck(PIPC_PCI_DEVICE Device);

// Traces the system's manufacturer and product from the firmware's SMBIOS tables.
void IpcSmbiosCheck(void);
// The walk over a structure table of `Length` bytes: traces the System Information strings.
void IpcSmbiosWalk(const UCHAR* Table, ULONG Length);
