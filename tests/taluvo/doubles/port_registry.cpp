#include "port_registry.h"

doubles::PortRegistry& doubles::Ports()
{
    static PortRegistry registry;
    return registry;
}

extern "C" PIPC_PORT_FUNCTION __wrap_IpcGetPortFnContextSio(ULONG Type)
{
    auto found = doubles::Ports().functions.find(Type);
    return found == doubles::Ports().functions.end() ? NULL : found->second;
}

extern "C" NTSTATUS __wrap_IpcReleaseDevice(PIPC_PORT_FUNCTION Function)
{
    doubles::Ports().released.push_back(Function->FunctionType);
    return STATUS_SUCCESS;
}
