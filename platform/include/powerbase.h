// Suspend and resume notification by callback: the power manager's system sleep and resume call every
// registered callback with the broadcast's event type.
#pragma once

#include <windef.h>

// The event types a suspend/resume callback receives.
#define PBT_APMSUSPEND 0x0004
#define PBT_APMRESUMESUSPEND 0x0007
#define PBT_APMRESUMEAUTOMATIC 0x0012

#define DEVICE_NOTIFY_CALLBACK 2

typedef PVOID HPOWERNOTIFY;
typedef HPOWERNOTIFY* PHPOWERNOTIFY;

typedef ULONG(CALLBACK* PDEVICE_NOTIFY_CALLBACK_ROUTINE)(PVOID Context, ULONG Type, PVOID Setting);

typedef struct _DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS {
    PDEVICE_NOTIFY_CALLBACK_ROUTINE Callback;
    PVOID Context;
} DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS, *PDEVICE_NOTIFY_SUBSCRIBE_PARAMETERS;

extern "C" {

// Flags must be DEVICE_NOTIFY_CALLBACK with Recipient a DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS holding a
// callback (ERROR_INVALID_PARAMETER otherwise); the record is copied.
DWORD PowerRegisterSuspendResumeNotification(DWORD Flags, HANDLE Recipient, PHPOWERNOTIFY RegistrationHandle);
// Returns once no call of the registration's callback runs any more; ERROR_INVALID_HANDLE when unknown.
DWORD PowerUnregisterSuspendResumeNotification(HPOWERNOTIFY RegistrationHandle);

} // extern "C"
