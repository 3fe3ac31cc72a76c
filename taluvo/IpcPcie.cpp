// The PCI device record of the modem, built from the bus driver's view of the function, and the link's
// power features kept as the driver wants them.
#include "IpcPcie.h"

#include <wdmguid.h>
#include <wmiguid.h>
#include <wmistr.h>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "Trace.h"

namespace
{

constexpr ULONG kConfigTag = 0x49435063u; // 'cPCI'
constexpr ULONG kSmbiosTag = 0x424D5363u; // 'cSMB'
constexpr s32 kIpcDevt = 0x10001;
constexpr const char* kIpcName = "IPC";

constexpr UCHAR kCapMsi = 0x05;
constexpr UCHAR kCapPciExpress = 0x10;
constexpr UCHAR kCapMsix = 0x11;
constexpr USHORT kExtAer = 0x01;
constexpr USHORT kExtLtr = 0x18;
constexpr USHORT kExtL1ss = 0x1E;
constexpr ULONG kExtFirst = 0x100;
constexpr ULONG kAerRegisters = 19;
constexpr ULONG kRootAerMask = 0x00100000; // Unsupported Request Error Mask alone

// A malformed list can loop; no list has more entries than its space has dwords.
constexpr ULONG kMaxCapabilities = (256 - 0x40) / 4;
constexpr ULONG kMaxExtendedCapabilities = (IPC_PCI_CONFIG_SIZE - kExtFirst) / 4;

// The driver's own SMBIOS and configuration buffers live only for the call.
struct PoolBuffer {
    explicit PoolBuffer(size_t size, ULONG tag) : data(static_cast<UCHAR*>(win_alloc(size, 0, tag))), tag(tag) {}
    ~PoolBuffer()
    {
        if (data != NULL)
            win_free(data, tag);
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    UCHAR* data;
    ULONG tag;
};

struct device_class* g_ipc_class;

USHORT Get16(const UCHAR* config, ULONG offset)
{
    return (USHORT)(config[offset] | config[offset + 1] << 8);
}

ULONG Get32(const UCHAR* config, ULONG offset)
{
    return (ULONG)Get16(config, offset) | (ULONG)Get16(config, offset + 2) << 16;
}

// Configuration access of the modem (through the bus interface) or of the root port above it; a
// transfer counts only when the full length moved.
class ConfigPort
{
  public:
    static ConfigPort Modem(PIPC_PCI_DEVICE device) { return ConfigPort(device, false); }
    static ConfigPort Root(PIPC_PCI_DEVICE device) { return ConfigPort(device, true); }

    bool Available() const
    {
        if (root_)
            return device_->RootPortInterface.Context != NULL && device_->RootPortInterface.ReadConfigSpace != NULL;
        return device_->BusInterface.GetBusData != NULL;
    }

    bool Read(ULONG offset, void* buffer, ULONG length) const { return Transfer(false, offset, buffer, length); }
    bool Write(ULONG offset, void* buffer, ULONG length) const { return Transfer(true, offset, buffer, length); }

    const char* Name() const { return root_ ? "root port" : "modem"; }

    // Reads the register of `width` bytes; when `change` gives a new value, writes it. Failures traced.
    template <typename Change> void Update(ULONG offset, ULONG width, const char* what, Change change) const
    {
        if (offset == 0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "%s has no %s", Name(), what);
            return;
        }
        ULONG value = 0;
        if (!Read(offset, &value, width)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "%s %s at 0x%x not read", Name(), what, offset);
            return;
        }
        ULONG next = value;
        if (!change(value, &next)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "%s %s 0x%x kept", Name(), what, value);
            return;
        }
        if (!Write(offset, &next, width)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "%s %s at 0x%x not written", Name(), what, offset);
            return;
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "%s %s 0x%x -> 0x%x", Name(), what, value, next);
    }

  private:
    ConfigPort(PIPC_PCI_DEVICE device, bool root) : device_(device), root_(root) {}

    bool Transfer(bool write, ULONG offset, void* buffer, ULONG length) const
    {
        if (!Available())
            return false;
        ULONG moved;
        if (root_) {
            const PCI_EXPRESS_ROOT_PORT_INTERFACE& port = device_->RootPortInterface;
            moved = (write ? port.WriteConfigSpace : port.ReadConfigSpace)(port.Context, buffer, offset, length);
        } else {
            const BUS_INTERFACE_STANDARD& bus = device_->BusInterface;
            moved = (write ? bus.SetBusData : bus.GetBusData)(bus.Context, PCI_WHICHSPACE_CONFIG, buffer, offset, length);
        }
        return moved == length;
    }
    PIPC_PCI_DEVICE device_;
    bool root_;
};

// Link Control: the root port's ASPM support, with common clock and clock PM on the modem (`extra`
// 0x140) or common clock on the root port (0x40).
bool AspmChange(ULONG value, ULONG support, ULONG extra, ULONG* next)
{
    bool clockPm = (extra & 0x100) != 0;
    if ((value & 3) == support && (!clockPm || (value & 0x100) != 0))
        return false;
    *next = (value & ~3u) | support | extra;
    return true;
}

void TracePciExpress(const char* who, const UCHAR* config, ULONG cap)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC,
                "%s PCIe at 0x%x: LinkCap 0x%x LinkCtl 0x%x DevCap 0x%x (FLR %u) DevCap2 0x%x (LTR %u OBFF %u) "
                "DevCtl2 0x%x (LTR %u OBFF %u)",
                who, cap, Get32(config, cap + 0x0C), Get16(config, cap + 0x10), Get32(config, cap + 0x04),
                (Get32(config, cap + 0x04) >> 28) & 1, Get32(config, cap + 0x24), (Get32(config, cap + 0x24) >> 11) & 1,
                (Get32(config, cap + 0x24) >> 18) & 3, Get16(config, cap + 0x28), (Get16(config, cap + 0x28) >> 10) & 1,
                (Get16(config, cap + 0x28) >> 13) & 3);
}

void TraceAer(const char* who, const ULONG* registers, ULONG count)
{
    for (ULONG i = 0; i < count; i++)
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "%s AER +0x%02x: 0x%08x", who, i * 4, registers[i]);
}

UCHAR CapabilityPointer(const UCHAR* config)
{
    return (config[0x0E] & 0x7F) == 2 ? config[0x14] : config[0x34];
}

NTSTATUS QueryInterface(WDFDEVICE device, const GUID& guid, INTERFACE* iface, USHORT size, const char* what)
{
    NTSTATUS status = WdfFdoQueryForInterface(device, &guid, iface, size, 1, NULL);
    if (!NT_SUCCESS(status)) {
        iface->Context = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "%s interface not queried: %!STATUS!", what, status);
    }
    return status;
}

void ReadModemCapabilities(PIPC_PCI_DEVICE device, WDFDEVICE wdfDevice, const UCHAR* config, UCHAR pointer)
{
    UCHAR msix = PcieConfigLookupCapabilityID(config, pointer, kCapMsix);
    if (msix != 0) {
        device->MsixCapOffset = msix;
        for (ULONG i = 0; i < 3; i++)
            device->MsixCap[i] = Get32(config, msix + 4 * i);
        ULONG control = device->MsixCap[0] >> 16;
        device->MessageSignalled = (control >> 15) & 1;
        if (device->MessageSignalled) {
            device->MsixTable = device->MsixCap[1];
            device->MsixPba = device->MsixCap[2];
            QueryInterface(wdfDevice, GUID_MSIX_TABLE_CONFIG_INTERFACE,
                           reinterpret_cast<INTERFACE*>(&device->MsixTableInterface),
                           sizeof(device->MsixTableInterface), "MSI-X table");
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC,
                    "MSI-X at 0x%x: enable %u, function mask %u, table size %u, table BIR %u offset 0x%x, "
                    "PBA BIR %u offset 0x%x",
                    msix, (control >> 15) & 1, (control >> 14) & 1, (control & 0x7FF) + 1, device->MsixCap[1] & 7,
                    device->MsixCap[1] & ~7u, device->MsixCap[2] & 7, device->MsixCap[2] & ~7u);
    }
    UCHAR msi = PcieConfigLookupCapabilityID(config, pointer, kCapMsi);
    if (msi != 0) {
        device->MsiCapOffset = msi;
        device->MsiEnabled = Get32(config, msi) & 0x10000;
    }
}

void ReadModemExtended(PIPC_PCI_DEVICE device, const UCHAR* config)
{
    USHORT l1ss = PcieConfigLookupExtendedCapabilityID(config, kExtL1ss);
    if (l1ss != 0) {
        device->L1ssCtl1Offset = l1ss + 8u;
        device->L1ssCtl2Offset = l1ss + 12u;
    }
    USHORT ltr = PcieConfigLookupExtendedCapabilityID(config, kExtLtr);
    if (ltr != 0)
        device->LtrLatencyOffset = ltr + 4u;
    USHORT aer = PcieConfigLookupExtendedCapabilityID(config, kExtAer);
    if (aer != 0 && aer + kAerRegisters * 4 <= IPC_PCI_CONFIG_SIZE) {
        device->AerOffset = aer;
        ULONG registers[kAerRegisters];
        for (ULONG i = 0; i < kAerRegisters; i++)
            registers[i] = Get32(config, aer + 4 * i);
        TraceAer("modem", registers, 18);
    }
}

// The root port's side (steps after its interface was found): offsets, support bits, its AER mask.
void ReadRootPort(PIPC_PCI_DEVICE device, const UCHAR* config)
{
    UCHAR pcie = PcieConfigLookupCapabilityID(config, CapabilityPointer(config), kCapPciExpress);
    if (pcie != 0) {
        device->RootLinkCtlOffset = pcie + 0x10u;
        device->RootDevCtl2Offset = pcie + 0x28u;
        device->RootAspmSupport = (USHORT)((Get32(config, pcie + 0x0C) >> 10) & 3);
        device->RootLtrSupported = (Get32(config, pcie + 0x24) >> 11) & 1;
        TracePciExpress("root port", config, pcie);
    }
    USHORT aer = PcieConfigLookupExtendedCapabilityID(config, kExtAer);
    if (aer != 0) {
        // The mask goes to the root port's own Uncorrectable Error Mask, wherever its AER sits.
        device->RootAerOffset = aer;
        ConfigPort root = ConfigPort::Root(device);
        ULONG mask = 0;
        if (root.Read(aer + 8u, &mask, 4)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "root port AER mask 0x%x", mask);
            mask = kRootAerMask;
            if (!root.Write(aer + 8u, &mask, 4))
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "root port AER mask not written");
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "root port AER mask not read");
        }
    }
    USHORT l1ss = PcieConfigLookupExtendedCapabilityID(config, kExtL1ss);
    if (l1ss != 0) {
        device->RootL1ssCtl1Offset = l1ss + 8u;
        device->RootL1ssSupport = l1ss + 8u <= IPC_PCI_CONFIG_SIZE ? Get32(config, l1ss + 4u) & 0xF : 0;
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "root port has no L1 PM substates");
        device->RootL1ssSupport = 0;
    }
}

} // namespace

UCHAR PcieConfigLookupCapabilityID(const UCHAR* Config, UCHAR Pointer, UCHAR Id)
{
    ULONG at = Pointer & 0xFCu;
    for (ULONG step = 0; at != 0 && step < kMaxCapabilities; step++) {
        if (Get16(Config, at) == 0xFFFF) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "capability list broken at 0x%x", at);
            return 0;
        }
        if (Config[at] == Id)
            return (UCHAR)at;
        at = Config[at + 1] & 0xFCu;
    }
    return 0;
}

USHORT PcieConfigLookupExtendedCapabilityID(const UCHAR* Config, USHORT Id)
{
    ULONG at = kExtFirst;
    for (ULONG step = 0; step < kMaxExtendedCapabilities; step++) {
        ULONG header = Get32(Config, at);
        if (header == 0xFFFFFFFF) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "extended capability list broken at 0x%x", at);
            return 0;
        }
        if ((header & 0xFFFF) == Id)
            return (USHORT)at;
        at = (header >> 20) & 0xFFCu;
        if (at < 16)
            return 0;
    }
    return 0;
}

PIPC_PCI_DEVICE PcieCreateDevice(ULONG Tag)
{
    struct device_class* cls = class_create(NULL, kIpcName, Tag);
    if (cls == NULL)
        return NULL;
    struct device_node* node = device_create(cls, NULL, kIpcDevt, NULL, Tag, kIpcName);
    if (node == NULL) {
        win_free(cls, Tag);
        return NULL;
    }
    auto* device = static_cast<PIPC_PCI_DEVICE>(win_zalloc(sizeof(IPC_PCI_DEVICE), 0, Tag));
    if (device == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "PCI device record not allocated");
        device_destroy(cls, kIpcDevt, Tag);
        win_free(cls, Tag);
        return NULL;
    }
    static_assert(offsetof(IPC_PCI_DEVICE, MdmDevice) + sizeof(void*) == sizeof(struct device_node),
                  "the record starts with the node's layout");
    memcpy(device, node, sizeof(*node));
    g_ipc_class = cls;
    return device;
}

void PcieDeleteDevice(PIPC_PCI_DEVICE Device, ULONG Tag)
{
    if (Device == NULL)
        return;
    INTERFACE* interfaces[] = {reinterpret_cast<INTERFACE*>(&Device->BusInterface),
                               reinterpret_cast<INTERFACE*>(&Device->RootPortInterface),
                               reinterpret_cast<INTERFACE*>(&Device->MsixTableInterface)};
    for (INTERFACE* iface : interfaces) {
        if (iface->Context != NULL && iface->InterfaceDereference != NULL)
            iface->InterfaceDereference(iface->Context);
    }
    if (g_ipc_class != NULL) {
        device_destroy(g_ipc_class, Device->devt, Tag);
        win_free(g_ipc_class, Tag);
        g_ipc_class = NULL;
    }
    win_free(Device, Tag);
}

NTSTATUS PcieGetDeviceInformation(PIPC_PCI_DEVICE Device)
{
    WDFDEVICE wdfDevice = Device->IpcContext != NULL ? Device->IpcContext->Device : IpcGetCurrentDevice(NULL);
    if (!NT_SUCCESS(QueryInterface(wdfDevice, GUID_BUS_INTERFACE_STANDARD,
                                   reinterpret_cast<INTERFACE*>(&Device->BusInterface), sizeof(Device->BusInterface),
                                   "bus")))
        return STATUS_UNSUCCESSFUL;

    PoolBuffer config(IPC_PCI_CONFIG_SIZE, kConfigTag);
    if (config.data == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!ConfigPort::Modem(Device).Read(0, config.data, IPC_PCI_CONFIG_SIZE)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "modem configuration space not read");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const UCHAR* c = config.data;
    if (Device->IdTable == NULL || Get16(c, 0x00) != Device->IdTable->vendor ||
        Get16(c, 0x02) != Device->IdTable->device) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "device %04x:%04x not supported", Get16(c, 0x00), Get16(c, 0x02));
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    Device->VendorId = Get16(c, 0x00);
    Device->DeviceId = Get16(c, 0x02);
    Device->RevisionId = c[0x08];
    Device->SubsystemVendorId = Get16(c, 0x2C);
    Device->SubsystemId = Get16(c, 0x2E);
    KeInitializeEvent(&Device->ResumeEvent, NotificationEvent, FALSE);

    UCHAR pointer = CapabilityPointer(c);
    ReadModemCapabilities(Device, wdfDevice, c, pointer);
    UCHAR pcie = PcieConfigLookupCapabilityID(c, pointer, kCapPciExpress);
    if (pcie == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "modem has no PCI Express capability");
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    Device->LinkCtlOffset = pcie + 0x10u;
    Device->DevCtl2Offset = pcie + 0x28u;
    TracePciExpress("modem", c, pcie);
    ReadModemExtended(Device, c);

    NTSTATUS status = QueryInterface(wdfDevice, GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE,
                                     reinterpret_cast<INTERFACE*>(&Device->RootPortInterface),
                                     sizeof(Device->RootPortInterface), "root port");
    if (!NT_SUCCESS(status))
        return status;
    if (!ConfigPort::Root(Device).Read(0, config.data, IPC_PCI_CONFIG_SIZE)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "root port configuration space not read");
        return STATUS_SUCCESS;
    }
    ReadRootPort(Device, c);
    return status;
}

int IpcPcieAdd(struct pci_driver* Driver, ULONG Tag)
{
    WDFDEVICE wdfDevice = IpcGetCurrentDevice(NULL);
    IPC_CONTEXT* context = wdfDevice != NULL ? GetIpcContext(wdfDevice) : NULL;
    if (context == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "no IPC context");
        return -1;
    }
    PIPC_PCI_DEVICE device = PcieCreateDevice(Tag);
    if (device == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "PCI device record not created");
        return -1;
    }
    device->IdTable = Driver->id_table;
    Driver->dev = device;
    device->IpcContext = context;
    context->PciDevice = device;
    context->PmOps = Driver->pm;
    context->Probe = Driver->probe;
    context->Remove = Driver->remove;

    NTSTATUS status = PcieGetDeviceInformation(device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "device information: %!STATUS!", status);
        return -1;
    }
    WdfDeviceSetAlignmentRequirement(wdfDevice, FILE_OCTA_ALIGNMENT);

    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64, 0x63000);
    config.EvtDmaEnablerEnable = Mbb_EvtWdfDmaEnablerEnable;
    config.EvtDmaEnablerDisable = Mbb_EvtWdfDmaEnablerDisable;
    status = WdfDmaEnablerCreate(wdfDevice, &config, WDF_NO_OBJECT_ATTRIBUTES, &device->DmaEnabler);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "DMA enabler not created: %!STATUS!", status);
        return -1;
    }
    return 0;
}

void IpcAspmCheckEnable(PIPC_PCI_DEVICE Device)
{
    ConfigPort modem = ConfigPort::Modem(Device);
    ULONG support = Device->RootAspmSupport;
    modem.Update(Device->LinkCtlOffset, 2, "LinkCtl",
                 [&](ULONG value, ULONG* next) { return AspmChange(value, support, 0x140, next); });

    ULONG l1ss = Device->RootL1ssSupport;
    bool l1 = support >= 2;
    if (l1ss != 0) {
        modem.Update(Device->L1ssCtl1Offset, 4, "L1SS Ctl1", [&](ULONG value, ULONG* next) {
            if (!l1 || (value & 0xF) == l1ss)
                return false;
            // Only the enables change; a threshold of 0 gets 94 x 1024 ns.
            *next = (value & 0xFFFFFFF0u) | l1ss;
            if (((*next >> 16) & 0x3FF) == 0)
                *next = (*next & 0x1C00FFFFu) | 0x405E0000u;
            return true;
        });
        modem.Update(Device->L1ssCtl2Offset, 4, "L1SS Ctl2", [&](ULONG value, ULONG* next) {
            if (!l1 || (((value >> 3) & 0x1F) != 0 && value != 0x28))
                return false;
            *next = (value & ~0x4Bu) | 0xB0;
            return true;
        });
    }

    ConfigPort root = ConfigPort::Root(Device);
    if (!root.Available())
        return;
    root.Update(Device->RootLinkCtlOffset, 2, "LinkCtl",
                [&](ULONG value, ULONG* next) { return AspmChange(value, support, 0x40, next); });
    if (l1ss != 0)
        root.Update(Device->RootL1ssCtl1Offset, 4, "L1SS Ctl1", [](ULONG, ULONG*) { return false; });
}

void IpcLtrCheckEnable(PIPC_PCI_DEVICE Device)
{
    if (!Device->RootLtrSupported)
        return;
    auto ltrEnable = [](ULONG value, ULONG* next) {
        *next = value | 0x400;
        return (value & 0x400) == 0;
    };
    ConfigPort modem = ConfigPort::Modem(Device);
    modem.Update(Device->DevCtl2Offset, 2, "DevCtl2", ltrEnable);
    modem.Update(Device->LtrLatencyOffset, 4, "LTR latency", [](ULONG value, ULONG* next) {
        if ((value & 0x3FF) != 0 && ((value >> 16) & 0x3FF) != 0)
            return false;
        *next = (value & 0xF003F003u) | 0x10031003u;
        return true;
    });
    ConfigPort root = ConfigPort::Root(Device);
    if (root.Available())
        root.Update(Device->RootDevCtl2Offset, 2, "DevCtl2", ltrEnable);
}

void PcieAerCapCheck(PIPC_PCI_DEVICE Device)
{
    ULONG registers[kAerRegisters] = {};
    if (Device->AerOffset == 0 ||
        !ConfigPort::Modem(Device).Read(Device->AerOffset, registers, sizeof(registers))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "modem AER at 0x%x not read", Device->AerOffset);
        return;
    }
    TraceAer("modem", registers, kAerRegisters);
}

void IpcSmbiosWalk(const UCHAR* Table, ULONG Length)
{
    ULONG at = 0;
    while (at + 4 <= Length) {
        UCHAR type = Table[at];
        UCHAR formatted = Table[at + 1];
        if (formatted < 4 || at + formatted > Length) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "SMBIOS structure at %u runs past the end", at);
            return;
        }
        // The string set: NUL-terminated strings up to a double NUL, bounded by the table's end.
        ULONG strings = at + formatted;
        ULONG end = strings;
        while (end + 1 < Length && !(Table[end] == 0 && Table[end + 1] == 0))
            end++;
        if (type == 127) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "SMBIOS end of table");
            return;
        }
        if (type == 1) {
            // String `number` of the set (1-based, 0 none) as pointer and length, inside the table.
            auto text = [&](ULONG field, int* length) -> const char* {
                *length = 0;
                UCHAR number = field < formatted ? Table[at + field] : 0;
                ULONG s = strings;
                for (UCHAR n = 1; n < number && s < end; n++) {
                    while (s < end && Table[s] != 0)
                        s++;
                    s++;
                }
                if (number == 0 || s >= end)
                    return "";
                *length = (int)strnlen(reinterpret_cast<const char*>(Table + s), end - s);
                return reinterpret_cast<const char*>(Table + s);
            };
            int manufacturerLength = 0;
            int productLength = 0;
            const char* manufacturer = text(4, &manufacturerLength);
            const char* product = text(5, &productLength);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "SMBIOS manufacturer \"%.*s\" product \"%.*s\"",
                        manufacturerLength, manufacturer, productLength, product);
            return;
        }
        at = end + 2;
    }
}

void IpcSmbiosCheck(void)
{
    PVOID block = NULL;
    NTSTATUS status = IoWMIOpenBlock(&MSSmBios_RawSMBiosTables_GUID, WMIGUID_QUERY, &block);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "SMBIOS block not opened: %!STATUS!", status);
        return;
    }
    ULONG size = 0;
    status = IoWMIQueryAllData(block, &size, NULL);
    if (status != STATUS_BUFFER_TOO_SMALL || size < sizeof(WNODE_ALL_DATA)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "SMBIOS size query: %!STATUS!", status);
        ObDereferenceObject(block);
        return;
    }
    {
        PoolBuffer buffer(size, kSmbiosTag);
        if (buffer.data != NULL && NT_SUCCESS(status = IoWMIQueryAllData(block, &size, buffer.data))) {
            const auto* node = reinterpret_cast<const WNODE_ALL_DATA*>(buffer.data);
            ULONG offset = node->OffsetInstanceDataAndLength[0].OffsetInstanceData;
            ULONG length = node->OffsetInstanceDataAndLength[0].LengthInstanceData;
            if ((node->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) != 0) {
                offset = node->DataBlockOffset;
                length = node->FixedInstanceSize;
            }
            if (offset > size || length <= 11 || length > size - offset)
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "SMBIOS data at %u, %u bytes, of %u", offset, length, size);
            else
                IpcSmbiosWalk(buffer.data + offset + 8, length - 8);
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "SMBIOS data not read: %!STATUS!", status);
        }
    }
    ObDereferenceObject(block);
}
