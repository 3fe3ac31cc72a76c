// DMA-visible memory: what a device model may read and write. Every live non-paged pool allocation and
// contiguous allocation is visible; other buffers (the framework's common buffers) register here. A
// device reaches memory only through the checked accessors below, which copy under the same lock that
// frees take, so a buffer freed while the device still uses it is reported instead of corrupted.
#pragma once

#include <ntdef.h>

namespace host {

// Makes [address, address + length) DMA-visible; `owner` names the registrant in reports. False, with a
// report, when the range is empty or overlaps a live allocation or registration.
bool DmaRegister(const void* address, SIZE_T length, const void* owner);
// Withdraws a registration by its start address; reports FreeNotAllocated when there is none.
bool DmaUnregister(const void* address);

// Each checks that [logical, logical + length) lies inside one live DMA-visible block; otherwise it
// reports DmaOutsideAllocation and returns false, touching nothing. A zero-length access touches
// nothing and always succeeds. With the verifier off they copy unchecked, as a real device would.
bool DmaCheck(ULONG64 logical, SIZE_T length);
bool DmaRead(ULONG64 logical, void* buffer, SIZE_T length);
bool DmaWrite(ULONG64 logical, const void* data, SIZE_T length);

} // namespace host
