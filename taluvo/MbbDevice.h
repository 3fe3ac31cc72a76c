// The modem device's framework context. Fields of the MBIM control path, bridge link, adapter, session
// binding and COM child bus join it with their own code.
#pragma once

#include <wdf.h>

// DeviceState values (the modem's own states 2 to 5 are mirrored from its reports).
#define MBB_DEVICE_STATE_STARTED 0
#define MBB_DEVICE_STATE_ROM_READY 2
#define MBB_DEVICE_STATE_READY 3
#define MBB_DEVICE_STATE_CRASH 4
#define MBB_DEVICE_STATE_CD_READY 5
#define MBB_DEVICE_STATE_PLDR_REQUESTED 7
#define MBB_DEVICE_STATE_RESET_UNUSED 8 // blocks resets like 7 and 9; never set
#define MBB_DEVICE_STATE_FLDR_REQUESTED 9

#define WWAN_COM_FUNCTION_COUNT 12

// Index of each COM function in Functions (its child id less one).
typedef enum _WWAN_COM_INDEX {
    WwanComAt = 0,
    WwanComGnss,
    WwanComMdLog,
    WwanComSapLog,
    WwanComAdb,
    WwanComMetaSap,
    WwanComFullRamDump,
    WwanComNpt,
    WwanComFlash,
    WwanComNmea,
    WwanComTestGnss,
    WwanComMetaMd,
} WWAN_COM_INDEX;

typedef struct _WWAN_COM_FUNCTION_FLAGS {
    BOOLEAN Enabled;
    BOOLEAN Connected;
    BOOLEAN PortOpened;
} WWAN_COM_FUNCTION_FLAGS;

typedef struct _MBB_DEVICE_CONTEXT {
    WDFDEVICE Device;
    ULONG DeviceState;
    WDFQUEUE IoctlQueue;
    WDFQUEUE ReadQueue;
    WDFQUEUE WriteQueue;
    LIST_ENTRY InterfaceList;
    LIST_ENTRY PortFunctionList;
    LIST_ENTRY PeerList;
    WDFSPINLOCK DeviceLock;
    REENUMERATE_SELF_INTERFACE_STANDARD ReenumerateInterface;
    DEVICE_RESET_INTERFACE_STANDARD ResetInterface;
    KEVENT ResetCompleteEvent;
    BOOLEAN ResetPending;
    WDFSPINLOCK ResetLock;
    BOOLEAN IsPowerPolicyIdle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS IdleSettings;
    ULONG PreviousPowerState;
    ULONG AspmPolicyEnabled;
    PVOID PowerSettingHandle;
    WDFWAITLOCK MbimPortLock;
    ULONG MbimPortOpened;
    HANDLE CidThread;
    WDFIOTARGET IhvTarget;
    BOOLEAN CidThreadStop;
    PKTHREAD CidThreadObject;
    BOOLEAN MbimTraceEnabled;
    BOOLEAN IsFlashing;
    BOOLEAN IsDumping;
    BOOLEAN MbbCxBound;
    BOOLEAN IpcInUse;
    BOOLEAN Counted; // this device is in DeviceCount
    BOOLEAN AerDisableUR;
    ULONG WwanMbimVersionDowngrade;
    WWAN_COM_FUNCTION_FLAGS Functions[WWAN_COM_FUNCTION_COUNT];
} MBB_DEVICE_CONTEXT, *PMBB_DEVICE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(MBB_DEVICE_CONTEXT, GetMbbDeviceContext);
