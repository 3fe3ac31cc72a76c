#include "modem_event_actions.h"

doubles::ModemEventActions& doubles::Actions()
{
    static ModemEventActions actions;
    return actions;
}

void AssignSettings_S0Idle(WDFDEVICE, ULONG IdleTimeoutMs)
{
    doubles::Actions().idleTimeouts.push_back(IdleTimeoutMs);
    doubles::Actions().idleIrqls.push_back(KeGetCurrentIrql());
}

void AssignSettings_SxWake(WDFDEVICE)
{
    doubles::Actions().sxWake++;
}

NTSTATUS PLDR(PMBB_DEVICE_CONTEXT)
{
    doubles::Actions().pldr++;
    return doubles::Actions().resetStatus;
}

NTSTATUS FLDR(PMBB_DEVICE_CONTEXT, BOOLEAN)
{
    doubles::Actions().fldr++;
    return doubles::Actions().resetStatus;
}

int SetupWwanIFDevice(WDFDEVICE, ULONG Kind, ULONG Type)
{
    doubles::Actions().setups.emplace_back(Kind, Type);
    return doubles::Actions().setupResult;
}

void ConnectPeers(WDFDEVICE, PVOID, PIPC_PORT_FUNCTION Function)
{
    doubles::Actions().peers.push_back(Function->FunctionType);
}

void RemoveWwanIFDevice(WDFDEVICE, ULONG Kind)
{
    doubles::Actions().removedInterfaces.push_back(Kind);
}

namespace
{

NTSTATUS ComReceive(PPORT_REFERENCE)
{
    return STATUS_SUCCESS;
}

} // namespace

IPC_PORT_COMPLETION* WwanComReceiveCallback(ULONG)
{
    return ComReceive;
}

NTSTATUS MbimCpReadComplete(PLIST_ENTRY, PKSPIN_LOCK, WDFDEVICE)
{
    return STATUS_SUCCESS;
}

NTSTATUS MipcReadComplete(PLIST_ENTRY, PKSPIN_LOCK, WDFDEVICE)
{
    return STATUS_SUCCESS;
}
