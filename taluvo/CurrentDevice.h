// The current device: the one modem device through which the host-interface code, which has no device
// handle of its own, reaches the framework device and its contexts; and the queries on it that every
// part of the driver asks before it touches the hardware.
#pragma once

#include <wdf.h>

// A non-NULL device becomes current; returns the current device (NULL before one was made current).
WDFDEVICE IpcGetCurrentDevice(WDFDEVICE device);

// A departing device stops being current (another current device is left alone).
void IpcForgetCurrentDevice(WDFDEVICE device);

// These read the current device's MBB_DEVICE_CONTEXT; with no device current they answer FALSE.
BOOLEAN Mbb_IsResetPending(void);
// DeviceState 7, 8 or 9 (a platform- or function-level reset under way), or a pending reset.
BOOLEAN Mbb_IsResetInProgress(void);
BOOLEAN Mbb_IsMbbCxInitialized(void);

// DMA-enabler callbacks of the modem device.
EVT_WDF_DMA_ENABLER_ENABLE Mbb_EvtWdfDmaEnablerEnable;
EVT_WDF_DMA_ENABLER_DISABLE Mbb_EvtWdfDmaEnablerDisable;
