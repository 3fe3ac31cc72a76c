// The modem device: its add, its PnP and power callbacks, and the callbacks that the control path, the
// adapter and the COM child bus fill in with their own code.
#pragma once

#include <mbbcx.h>
#include <netadaptercx.h>
#include <wdf.h>

#include "MbbDevice.h"

// The second PCI subsystem vendor whose modem needs no settling sleep after release (besides 0x14C3).
#define MBB_SUBSYSTEM_VENDOR_MAIN 0x14C3
#define MBB_SUBSYSTEM_VENDOR_SECOND 0x1CF8

// Idle time-out that device add starts with.
#define MBB_IDLE_TIMEOUT_AT_ADD_MS 7200000

// PnP and power callbacks of the modem device.
EVT_WDF_DEVICE_PREPARE_HARDWARE Mbb_EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE Mbb_EvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY Mbb_EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED Mbb_EvtDeviceD0EntryPostInterruptsEnabled;
EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED Mbb_EvtDeviceD0ExitPreInterruptsDisabled;
EVT_WDF_DEVICE_D0_EXIT Mbb_EvtDeviceD0Exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT Mbb_EvtDeviceSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP Mbb_EvtDeviceSelfManagedIoCleanup;
EVT_WDF_DEVICE_SURPRISE_REMOVAL Mbb_EvtDeviceSurpriseRemoval;
EVT_WDF_OBJECT_CONTEXT_CLEANUP Mbb_EvtDeviceContextCleanup;
EVT_WDF_DEVICE_FILE_CREATE MbbDeviceEvtCreateFile;
EVT_WDF_FILE_CLOSE MbbDeviceEvtCloseFile;

// Wake and idle callbacks of the power policy, with the resets.
EVT_WDF_DEVICE_ARM_WAKE_FROM_S0 Mbb_ArmDeviceForWake;
EVT_WDF_DEVICE_DISARM_WAKE_FROM_S0 Mbb_EvtDeviceDisarmWake;
EVT_WDF_DEVICE_WAKE_FROM_S0_TRIGGERED Mbb_EvtDeviceWakeTriggered;
EVT_NET_DEVICE_PREVIEW_BITMAP_PATTERN EvtDevicePreviewBitmapPattern;
void SwitchFriendlyName(WDFDEVICE Device);

void SetCapabilities_Power(WDFDEVICE Device);
NTSTATUS GetIhvIoTarget(WDFDEVICE Device);
void SetMbimParameters(PMBB_DEVICE_CONTEXT Context);
NTSTATUS RegisterPowerSettingCallback(WDFDEVICE Device);
void UnregisterPowerSettingCallback(WDFDEVICE Device);
POWER_SETTING_CALLBACK PcieAspmPowerSettingCallback;

// MbbCx callbacks: MBIM fragments to and from the modem, device-service session data, adapters.
EVT_MBB_DEVICE_SEND_MBIM_FRAGMENT EvtMbbDeviceSendMbimFragment;
EVT_MBB_DEVICE_RECEIVE_MBIM_FRAGMENT EvtMbbDeviceReceiveMbimFragment;
EVT_MBB_DEVICE_SEND_DEVICE_SERVICE_SESSION_DATA EvtMbbDeviceSendServiceSessionData;
EVT_MBB_DEVICE_CREATE_ADAPTER EvtMbbDeviceCreateAdapter;

// The COM child bus: the identification of one child, and the child list's callbacks.
typedef struct _WWAN_CHILD_ID_DESCRIPTION {
    ULONG Size;
    ULONG ChildId;
} WWAN_CHILD_ID_DESCRIPTION, *PWWAN_CHILD_ID_DESCRIPTION;
NTSTATUS Wwan_EvtDeviceListCreatePdo(WDFOBJECT ChildList, PVOID IdentificationDescription, PWDFDEVICE_INIT ChildInit);
void Bus_EvtChildListScanForChildren(WDFOBJECT ChildList);
void Bus_EvtChildListDeviceReenumerated(WDFOBJECT ChildList, WDFDEVICE OldDevice, PVOID AddressDescription,
                                        PVOID IdentificationDescription);
// Unlinks every port function of the device from its peer node.
void DisconnectPeers(WDFDEVICE Device);

// The CID table of the control path, and the stop of its processing thread.
void CidTableInit(PMBB_DEVICE_CONTEXT Context);
void CidprocessingThread_Cancel(PMBB_DEVICE_CONTEXT Context);
