// The mobile-broadband class extension: a framework device bound to it exchanges MBIM fragments with the
// operating system's side through requests of the class extension, and creates a network adapter per
// data session when asked.
#pragma once

#include <netadaptercx.h>
#include <wdf.h>

extern "C" {

// A control request of the class extension (not a framework object): one MBIM fragment to send, or room
// for one to receive. Valid from the callback that hands it out until it is completed, exactly once.
typedef struct MBBREQUEST__* MBBREQUEST;

typedef ULONG DSS_SESSION_ID;

typedef void EVT_MBB_DEVICE_SEND_MBIM_FRAGMENT(WDFDEVICE Device, MBBREQUEST Fragment);
typedef EVT_MBB_DEVICE_SEND_MBIM_FRAGMENT* PFN_MBB_DEVICE_SEND_MBIM_FRAGMENT;
typedef void EVT_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT(WDFDEVICE Device, MBBREQUEST Fragment);
typedef EVT_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT* PFN_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT;
typedef void EVT_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA(WDFDEVICE Device, DSS_SESSION_ID SessionId,
                                                             WDFMEMORY Data);
typedef EVT_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA* PFN_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA;
typedef NTSTATUS EVT_MBB_DEVICE_CREATE_ADAPTER(WDFDEVICE Device, NETADAPTER_INIT* AdapterInit);
typedef EVT_MBB_DEVICE_CREATE_ADAPTER* PFN_MBB_DEVICE_CREATE_ADAPTER;

typedef struct _MBB_DEVICE_CONFIG {
    ULONG Size;
    PFN_MBB_DEVICE_SEND_MBIM_FRAGMENT EvtMbbDeviceSendMbimFragment;
    PFN_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT EvtMbbDeviceReceiveMbimFragment;
    PFN_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA EvtMbbDeviceSendDeviceServiceSessionData;
    PFN_MBB_DEVICE_CREATE_ADAPTER EvtMbbDeviceCreateAdapter;
} MBB_DEVICE_CONFIG, *PMBB_DEVICE_CONFIG;

inline void MBB_DEVICE_CONFIG_INIT(PMBB_DEVICE_CONFIG Config, PFN_MBB_DEVICE_SEND_MBIM_FRAGMENT SendMbimFragment,
                                   PFN_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT ReceiveMbimFragment,
                                   PFN_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA SendDeviceServiceSessionData,
                                   PFN_MBB_DEVICE_CREATE_ADAPTER CreateAdapter)
{
    RtlZeroMemory(Config, sizeof(*Config));
    Config->Size = sizeof(*Config);
    Config->EvtMbbDeviceSendMbimFragment = SendMbimFragment;
    Config->EvtMbbDeviceReceiveMbimFragment = ReceiveMbimFragment;
    Config->EvtMbbDeviceSendDeviceServiceSessionData = SendDeviceServiceSessionData;
    Config->EvtMbbDeviceCreateAdapter = CreateAdapter;
}

// Four 32-bit words: Size (16), the MBIM version, the extended MBIM version and the largest fragment
// the device takes and gives, in bytes.
typedef struct _MBB_DEVICE_MBIM_PARAMETERS {
    ULONG Size;
    ULONG Version;
    ULONG MbimExtendedVersion;
    ULONG MaximumFragmentSize;
} MBB_DEVICE_MBIM_PARAMETERS, *PMBB_DEVICE_MBIM_PARAMETERS;

typedef struct _MBB_DEVICE_WAKE_CAPABILITIES {
    ULONG Size;
    BOOLEAN PacketState;
    BOOLEAN RegisterState;
    BOOLEAN SmsReceive;
    BOOLEAN UiccChange;
    BOOLEAN UssdReceive;
} MBB_DEVICE_WAKE_CAPABILITIES, *PMBB_DEVICE_WAKE_CAPABILITIES;

inline void MBB_DEVICE_WAKE_CAPABILITIES_INIT(PMBB_DEVICE_WAKE_CAPABILITIES Capabilities)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
}

// Before WdfDeviceCreate, and only after NetDeviceInitConfig on the same init
// (STATUS_INVALID_DEVICE_STATE otherwise).
NTSTATUS MbbDeviceInitConfig(PWDFDEVICE_INIT DeviceInit);
// After WdfDeviceCreate, once, on a device whose init was configured; every callback is required.
NTSTATUS MbbDeviceInitialize(WDFDEVICE Device, const MBB_DEVICE_CONFIG* Config);
NTSTATUS MbbDeviceSetMbimParameters(WDFDEVICE Device, PMBB_DEVICE_MBIM_PARAMETERS MbimParameters);
NTSTATUS MbbDeviceSetWakeCapabilities(WDFDEVICE Device, PMBB_DEVICE_WAKE_CAPABILITIES WakeCapabilities);

// A send: the fragment and its size. A receive: empty room and its capacity.
PVOID MbbRequestGetBuffer(MBBREQUEST Request, size_t* BufferSize);
void MbbRequestComplete(MBBREQUEST Request, NTSTATUS Status);
void MbbRequestCompleteWithInformation(MBBREQUEST Request, NTSTATUS Status, size_t Information);

// A response waits in the device: the class extension fetches it with a receive request later, on its
// own thread. IRQL <= DISPATCH_LEVEL.
void MbbDeviceResponseAvailable(WDFDEVICE Device);
void MbbDeviceSendDeviceServiceSessionDataComplete(WDFMEMORY Data, NTSTATUS Status);

// On an adapter made from the init of EvtMbbDeviceCreateAdapter, before NetAdapterStart (which fails
// with STATUS_INVALID_DEVICE_STATE otherwise).
NTSTATUS MbbAdapterInitialize(NETADAPTER Adapter);
// The data session the adapter was created for.
ULONG MbbAdapterGetSessionId(NETADAPTER Adapter);

} // extern "C"
