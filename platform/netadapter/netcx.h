// What another class extension (the mobile-broadband one) uses of the network-adapter class extension:
// adapters it allocates on its client's behalf and removes again, their link state, and the system's
// side of their data path. Private to the platform library.
#pragma once

#include <netadaptercx.h>

#include <functional>

namespace netcx
{

// An adapter init allocated for the client of `device`; NetAdapterStart on an adapter made from it
// first calls `startCheck` (when set) and fails with its status. Freed with NetAdapterInitFree.
NETADAPTER_INIT* AllocateInit(WDFDEVICE device, NTSTATUS (*startCheck)(NETADAPTER, void*), void* context);
// Whether NetDeviceInitConfig ran on the device init.
bool DeviceInitConfigured(PWDFDEVICE_INIT init);

// The context given to AllocateInit for the init the adapter was made from (nullptr for a stranger).
void* StartContext(NETADAPTER adapter);
bool Started(NETADAPTER adapter);
// At PASSIVE_LEVEL: the data path is torn down, then the adapter deleted (its cleanup and destroy
// callbacks run).
void RemoveAdapter(NETADAPTER adapter);
void SetLinkState(NETADAPTER adapter, bool up);
bool LinkUp(NETADAPTER adapter);

// One packet of `length` bytes onto the adapter's transmit queue. Holds a power reference meanwhile
// (a device idling in D3 returns to D0 and its queues are created again first). Fails on an adapter
// removed or never started, on an empty frame and on one above the adapter's MaximumFrameSize.
NTSTATUS Transmit(NETADAPTER adapter, const void* data, size_t length);
// Where received packets go, on the receive queue's thread; nullptr drops them.
void SetReceiveSink(NETADAPTER adapter, std::function<void(const UCHAR*, size_t)> sink);

} // namespace netcx
