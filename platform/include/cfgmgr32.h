// The configuration manager's user-mode interface: the device interfaces present on the machine and
// notifications of their arrival and removal. Only the local machine exists: the _Ex forms take a null
// machine handle.
#pragma once

#include <windef.h>

typedef DWORD CONFIGRET;
typedef HANDLE HMACHINE;
typedef CHAR* DEVINSTID_A;
typedef WCHAR* DEVINSTID_W;
typedef CHAR* PZZSTR;
typedef WCHAR* PZZWSTR;

#define CR_SUCCESS 0x00000000
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_INVALID_DEVICE_ID 0x0000001E
#define CR_INVALID_DATA 0x0000001F
#define CR_ACCESS_DENIED 0x00000033

#define MAX_DEVICE_ID_LEN 200

// Which interfaces a list holds: those of present devices that are enabled, or all registered ones.
#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001

typedef struct HCMNOTIFICATION__* HCMNOTIFICATION;
typedef HCMNOTIFICATION* PHCMNOTIFICATION;

typedef enum _CM_NOTIFY_FILTER_TYPE {
    CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
    CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE,
    CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE,
    CM_NOTIFY_FILTER_TYPE_MAX
} CM_NOTIFY_FILTER_TYPE;

#define CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES 0x00000001
#define CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES 0x00000002

typedef struct _CM_NOTIFY_FILTER {
    DWORD cbSize;
    DWORD Flags;
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
        } DeviceInterface;
        struct {
            HANDLE hTarget;
        } DeviceHandle;
        struct {
            WCHAR InstanceId[MAX_DEVICE_ID_LEN];
        } DeviceInstance;
    } u;
} CM_NOTIFY_FILTER, *PCM_NOTIFY_FILTER;
static_assert(sizeof(CM_NOTIFY_FILTER) == 416, "Windows layout");

typedef enum _CM_NOTIFY_ACTION {
    CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
    CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
    CM_NOTIFY_ACTION_MAX = 11
} CM_NOTIFY_ACTION;

// What a callback receives: the record's size counts the link's characters and terminator.
typedef struct _CM_NOTIFY_EVENT_DATA {
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
            WCHAR SymbolicLink[1];
        } DeviceInterface;
    } u;
} CM_NOTIFY_EVENT_DATA, *PCM_NOTIFY_EVENT_DATA;

typedef DWORD(CALLBACK* PCM_NOTIFY_CALLBACK)(HCMNOTIFICATION hNotify, PVOID Context, CM_NOTIFY_ACTION Action,
                                             PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize);

extern "C" {

CONFIGRET CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                             ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_List_Size_ExA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                DEVINSTID_A pDeviceID, ULONG ulFlags, HMACHINE hMachine);
CONFIGRET CM_Get_Device_Interface_List_Size_ExW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                DEVINSTID_W pDeviceID, ULONG ulFlags, HMACHINE hMachine);
CONFIGRET CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_List_ExA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                           ULONG BufferLen, ULONG ulFlags, HMACHINE hMachine);
CONFIGRET CM_Get_Device_Interface_List_ExW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                           ULONG BufferLen, ULONG ulFlags, HMACHINE hMachine);

// The callback runs on a thread of the configuration manager, never inside the PnP operation that caused
// it; the callbacks of one registration run one at a time, in order.
CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext, PCM_NOTIFY_CALLBACK pCallback,
                                   PHCMNOTIFICATION pNotifyContext);
// Waits for a callback of the registration that is running, unless called from that callback.
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);

} // extern "C"

#ifdef UNICODE
#define CM_Get_Device_Interface_List_Size CM_Get_Device_Interface_List_SizeW
#define CM_Get_Device_Interface_List_Size_Ex CM_Get_Device_Interface_List_Size_ExW
#define CM_Get_Device_Interface_List CM_Get_Device_Interface_ListW
#define CM_Get_Device_Interface_List_Ex CM_Get_Device_Interface_List_ExW
#else
#define CM_Get_Device_Interface_List_Size CM_Get_Device_Interface_List_SizeA
#define CM_Get_Device_Interface_List_Size_Ex CM_Get_Device_Interface_List_Size_ExA
#define CM_Get_Device_Interface_List CM_Get_Device_Interface_ListA
#define CM_Get_Device_Interface_List_Ex CM_Get_Device_Interface_List_ExA
#endif
