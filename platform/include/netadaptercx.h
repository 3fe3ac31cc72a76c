// The network-adapter class extension: adapters of a framework device and their configuration.
#pragma once

#include <wdf.h>

extern "C" {

// Both are framework objects: contexts, WdfObjectDelete and parenting work on them. An adapter is a
// child of its device, a configuration a child of its adapter.
typedef struct NETADAPTER__* NETADAPTER;
typedef struct NETCONFIGURATION__* NETCONFIGURATION;
typedef struct NETADAPTER_INIT NETADAPTER_INIT;

// What the adapter is created for; freed by the driver with NetAdapterInitFree after NetAdapterCreate,
// whatever its result. NULL when it cannot be allocated.
NETADAPTER_INIT* NetAdapterInitAllocate(WDFDEVICE Device);
void NetAdapterInitFree(NETADAPTER_INIT* AdapterInit);
NTSTATUS NetAdapterCreate(NETADAPTER_INIT* AdapterInit, PWDF_OBJECT_ATTRIBUTES AdapterAttributes,
                          NETADAPTER* Adapter);

typedef enum _NET_CONFIGURATION_QUERY_ULONG_FLAGS {
    NET_CONFIGURATION_QUERY_ULONG_NO_FLAGS = 0,
    NET_CONFIGURATION_QUERY_ULONG_MAY_BE_STORED_AS_HEX_STRING = 1,
} NET_CONFIGURATION_QUERY_ULONG_FLAGS;

// The adapter's configuration is its device's driver (software) key, where the standard adapter
// keywords live.
NTSTATUS NetAdapterOpenConfiguration(NETADAPTER Adapter, PWDF_OBJECT_ATTRIBUTES ConfigurationAttributes,
                                     NETCONFIGURATION* Configuration);
NTSTATUS NetConfigurationQueryUlong(NETCONFIGURATION Configuration, NET_CONFIGURATION_QUERY_ULONG_FLAGS Flags,
                                    PCUNICODE_STRING ValueName, PULONG Value);
void NetConfigurationClose(NETCONFIGURATION Configuration);

} // extern "C"
