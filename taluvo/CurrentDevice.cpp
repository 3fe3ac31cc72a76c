// The current device, the queries made on it, and the modem device's DMA-enabler callbacks.
#include "CurrentDevice.h"

#include "MbbDevice.h"
#include "Trace.h"

namespace
{

// Written when the glue starts and cleared when its device goes, read everywhere without a lock.
WDFDEVICE g_current_device;

PMBB_DEVICE_CONTEXT CurrentContext()
{
    return GetMbbDeviceContext(IpcGetCurrentDevice(NULL));
}

} // namespace

WDFDEVICE IpcGetCurrentDevice(WDFDEVICE device)
{
    if (device != NULL)
        WritePointerRelease(reinterpret_cast<PVOID volatile*>(&g_current_device), device);
    return static_cast<WDFDEVICE>(ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&g_current_device)));
}

void IpcForgetCurrentDevice(WDFDEVICE device)
{
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_current_device), NULL, device);
}

// With no device current, nothing is reset and nothing is bound.
BOOLEAN Mbb_IsResetPending(void)
{
    return IpcGetCurrentDevice(NULL) != NULL && CurrentContext()->ResetPending;
}

BOOLEAN Mbb_IsResetInProgress(void)
{
    if (IpcGetCurrentDevice(NULL) == NULL)
        return FALSE;
    ULONG state = CurrentContext()->DeviceState;
    if (state == MBB_DEVICE_STATE_PLDR_REQUESTED || state == MBB_DEVICE_STATE_RESET_UNUSED ||
        state == MBB_DEVICE_STATE_FLDR_REQUESTED)
        return TRUE;
    return Mbb_IsResetPending();
}

BOOLEAN Mbb_IsMbbCxInitialized(void)
{
    return IpcGetCurrentDevice(NULL) != NULL && CurrentContext()->MbbCxBound;
}

NTSTATUS Mbb_EvtWdfDmaEnablerEnable(WDFDMAENABLER)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "DMA enabler enable");
    CurrentContext()->IsPowerPolicyIdle = FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS Mbb_EvtWdfDmaEnablerDisable(WDFDMAENABLER)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "DMA enabler disable");
    return STATUS_SUCCESS;
}
