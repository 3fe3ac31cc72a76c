// The hardware-facing part of wdm.h (which includes it): the resources a bus assigns, the interfaces a
// function driver queries from its bus, and WMI data blocks.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------------------------------------
// Resource lists: what the PnP manager hands a driver at start, raw (as the bus sees them) and
// translated (as the processor sees them).
typedef enum _INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, PCIBus = 5 } INTERFACE_TYPE;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6
#define CmResourceTypeMemoryLarge 7
#define CmResourceTypeDevicePrivate 129

typedef enum _CM_SHARE_DISPOSITION {
    CmResourceShareUndetermined = 0,
    CmResourceShareDeviceExclusive,
    CmResourceShareDriverExclusive,
    CmResourceShareShared
} CM_SHARE_DISPOSITION;

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE 0x0002
#define CM_RESOURCE_INTERRUPT_POLICY_INCLUDED 0x0004
// The vector of a raw message-signalled descriptor: the message is routed when the driver connects.
#define CM_RESOURCE_INTERRUPT_MESSAGE_TOKEN ((ULONG)-2)

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _KINTERRUPT_POLARITY {
    InterruptPolarityUnknown,
    InterruptActiveHigh,
    InterruptActiveLow,
} KINTERRUPT_POLARITY;

#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000
#define CM_RESOURCE_MEMORY_PREFETCHABLE 0x0004

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            USHORT Level; // raw: the line; translated: the device IRQL
            USHORT Group;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            union {
                struct {
                    USHORT Group;
                    USHORT MessageCount;
                    ULONG Vector; // CM_RESOURCE_INTERRUPT_MESSAGE_TOKEN
                    KAFFINITY Affinity;
                } Raw;
                struct {
                    USHORT Level;
                    USHORT Group;
                    ULONG Vector;
                    KAFFINITY Affinity;
                } Translated;
            };
        } MessageInterrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Data[3];
        } DevicePrivate;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[ANYSIZE_ARRAY];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[ANYSIZE_ARRAY];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "resource descriptors keep their Windows layout");
static_assert(offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) == 20,
              "resource lists keep their Windows layout");

// ---------------------------------------------------------------------------------------------
// Interfaces a bus driver hands out. Each starts with the INTERFACE header; the bus references the
// interface before returning it and the caller dereferences it when done.
typedef void INTERFACE_REFERENCE(PVOID Context);
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef void INTERFACE_DEREFERENCE(PVOID Context);
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;

typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

// The standard bus interface: configuration space through GetBusData/SetBusData, which return the
// number of bytes moved.
#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350
#define PCI_BUS_INTERFACE_STANDARD_VERSION 1

struct _DMA_ADAPTER;
struct _DEVICE_DESCRIPTION;
typedef BOOLEAN TRANSLATE_BUS_ADDRESS(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length,
                                      PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress);
typedef TRANSLATE_BUS_ADDRESS* PTRANSLATE_BUS_ADDRESS;
typedef struct _DMA_ADAPTER* GET_DMA_ADAPTER(PVOID Context, struct _DEVICE_DESCRIPTION* DeviceDescriptor,
                                             PULONG NumberOfMapRegisters);
typedef GET_DMA_ADAPTER* PGET_DMA_ADAPTER;
typedef ULONG GET_SET_DEVICE_DATA(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length);
typedef GET_SET_DEVICE_DATA* PGET_SET_DEVICE_DATA;

typedef struct _BUS_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
    PGET_DMA_ADAPTER GetDmaAdapter;
    PGET_SET_DEVICE_DATA SetBusData;
    PGET_SET_DEVICE_DATA GetBusData;
} BUS_INTERFACE_STANDARD, *PBUS_INTERFACE_STANDARD;
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 64, "BUS_INTERFACE_STANDARD keeps its Windows layout");

// The configuration space of the root port above the function.
#define PCI_EXPRESS_ROOT_PORT_INTERFACE_VERSION 1
typedef ULONG PCI_EXPRESS_ROOT_PORT_READ_CONFIG_SPACE(PVOID Context, PVOID Buffer, ULONG Offset, ULONG Length);
typedef PCI_EXPRESS_ROOT_PORT_READ_CONFIG_SPACE* PPCI_EXPRESS_ROOT_PORT_READ_CONFIG_SPACE;
typedef ULONG PCI_EXPRESS_ROOT_PORT_WRITE_CONFIG_SPACE(PVOID Context, PVOID Buffer, ULONG Offset, ULONG Length);
typedef PCI_EXPRESS_ROOT_PORT_WRITE_CONFIG_SPACE* PPCI_EXPRESS_ROOT_PORT_WRITE_CONFIG_SPACE;

typedef struct _PCI_EXPRESS_ROOT_PORT_INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PPCI_EXPRESS_ROOT_PORT_READ_CONFIG_SPACE ReadConfigSpace;
    PPCI_EXPRESS_ROOT_PORT_WRITE_CONFIG_SPACE WriteConfigSpace;
} PCI_EXPRESS_ROOT_PORT_INTERFACE, *PPCI_EXPRESS_ROOT_PORT_INTERFACE;
static_assert(sizeof(PCI_EXPRESS_ROOT_PORT_INTERFACE) == 48, "root port interface keeps its Windows layout");

// The MSI-X table: which message each entry sends, and its mask bit.
#define PCI_MSIX_TABLE_CONFIG_INTERFACE_VERSION1 1
typedef NTSTATUS PCI_MSIX_SET_ENTRY(PVOID Context, ULONG TableEntry, ULONG MessageNumber);
typedef PCI_MSIX_SET_ENTRY* PPCI_MSIX_SET_ENTRY;
typedef NTSTATUS PCI_MSIX_MASKUNMASK_ENTRY(PVOID Context, ULONG TableEntry);
typedef PCI_MSIX_MASKUNMASK_ENTRY* PPCI_MSIX_MASKUNMASK_ENTRY;
typedef NTSTATUS PCI_MSIX_GET_ENTRY(PVOID Context, ULONG TableEntry, PULONG MessageNumber, PBOOLEAN Masked);
typedef PCI_MSIX_GET_ENTRY* PPCI_MSIX_GET_ENTRY;
typedef NTSTATUS PCI_MSIX_GET_TABLE_SIZE(PVOID Context, PULONG TableSize);
typedef PCI_MSIX_GET_TABLE_SIZE* PPCI_MSIX_GET_TABLE_SIZE;

typedef struct _PCI_MSIX_TABLE_CONFIG_INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PPCI_MSIX_SET_ENTRY SetTableEntry;
    PPCI_MSIX_MASKUNMASK_ENTRY MaskTableEntry;
    PPCI_MSIX_MASKUNMASK_ENTRY UnmaskTableEntry;
    PPCI_MSIX_GET_ENTRY GetTableEntry;
    PPCI_MSIX_GET_TABLE_SIZE GetTableSize;
} PCI_MSIX_TABLE_CONFIG_INTERFACE, *PPCI_MSIX_TABLE_CONFIG_INTERFACE;
static_assert(sizeof(PCI_MSIX_TABLE_CONFIG_INTERFACE) == 72, "MSI-X table interface keeps its Windows layout");

// Device resets. A function-level reset given completion parameters completes asynchronously
// (STATUS_PENDING, then the completion with the reset's status); without them it is synchronous.
#define DEVICE_RESET_INTERFACE_VERSION_1 1
#define DEVICE_RESET_INTERFACE_VERSION DEVICE_RESET_INTERFACE_VERSION_1

typedef enum _DEVICE_RESET_TYPE {
    FunctionLevelDeviceReset,
    PlatformLevelDeviceReset,
} DEVICE_RESET_TYPE;

typedef void DEVICE_RESET_COMPLETION(NTSTATUS Status, PVOID Context);
typedef DEVICE_RESET_COMPLETION* PDEVICE_RESET_COMPLETION;

typedef struct _FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS {
    ULONG Size;
    PDEVICE_RESET_COMPLETION DeviceResetCompletion;
    PVOID CompletionContext;
} FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS, *PFUNCTION_LEVEL_DEVICE_RESET_PARAMETERS;

typedef NTSTATUS DEVICE_RESET_HANDLER(PVOID InterfaceContext, DEVICE_RESET_TYPE ResetType, ULONG Flags,
                                      PVOID ResetParameters);
typedef DEVICE_RESET_HANDLER* PDEVICE_RESET_HANDLER;

typedef struct _DEVICE_RESET_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PDEVICE_RESET_HANDLER DeviceReset;
    ULONG SupportedResetTypes; // bit (1 << DEVICE_RESET_TYPE) per type
    PVOID Reserved;
} DEVICE_RESET_INTERFACE_STANDARD, *PDEVICE_RESET_INTERFACE_STANDARD;

// Asks the bus to surprise-remove the device and enumerate it again; queued, never done inline.
#define REENUMERATE_SELF_INTERFACE_STANDARD_VERSION 1
typedef void REENUMERATE_SELF(PVOID Context);
typedef REENUMERATE_SELF* PREENUMERATE_SELF;

typedef struct _REENUMERATE_SELF_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PREENUMERATE_SELF SurpriseRemoveAndReenumerateSelf;
} REENUMERATE_SELF_INTERFACE_STANDARD, *PREENUMERATE_SELF_INTERFACE_STANDARD;

// ---------------------------------------------------------------------------------------------
// WMI data blocks (layouts in wmistr.h). Opened blocks are objects: close with ObDereferenceObject.
#define STATUS_WMI_GUID_NOT_FOUND ((NTSTATUS)0xC0000295L)

extern "C" {

NTSTATUS IoWMIOpenBlock(LPCGUID Guid, ULONG DesiredAccess, PVOID* DataBlockObject);
// A buffer too small (or none) gives STATUS_BUFFER_TOO_SMALL with the size needed in *InOutBufferSize.
NTSTATUS IoWMIQueryAllData(PVOID DataBlockObject, PULONG InOutBufferSize, PVOID OutBuffer);

} // extern "C"
