// The registry of live memory blocks, the DMA view of it, and physical addresses (identity here: a
// device's logical address is the host address).
#include "memory_blocks.h"

#include <host/dma.h>
#include <host/verifier.h>
#include <wdm.h>

#include <algorithm>

namespace host {
namespace memory {
namespace {

using BlockMap = std::map<uintptr_t, Block>;

// The block whose range contains `address`, or end(). Caller holds the lock.
BlockMap::iterator FindContaining(BlockMap& blocks, uintptr_t address)
{
    auto it = blocks.upper_bound(address);
    if (it == blocks.begin())
        return blocks.end();
    --it;
    return address - it->first < it->second.length ? it : blocks.end();
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Pool: return "pool";
    case Kind::Contiguous: return "contiguous memory";
    case Kind::Registered: return "a DMA registration";
    }
    return "?";
}

} // namespace

Registry& Blocks()
{
    static Registry* registry = new Registry; // device threads may touch it during static teardown
    return *registry;
}

bool Insert(const void* address, Block block)
{
    auto start = reinterpret_cast<uintptr_t>(address);
    Registry& registry = Blocks();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto next = registry.blocks.lower_bound(start);
    if (next != registry.blocks.end() && next->first - start < std::max<SIZE_T>(block.length, 1))
        return false;
    if (FindContaining(registry.blocks, start) != registry.blocks.end())
        return false;
    block.sequence = registry.nextSequence++;
    registry.blocks.emplace(start, block);
    return true;
}

bool Release(const void* address, Kind kind, const char* caller, Block* released)
{
    auto start = reinterpret_cast<uintptr_t>(address);
    Block found;
    uintptr_t foundStart = 0;
    bool exact = false, inside = false;
    {
        Registry& registry = Blocks();
        std::lock_guard<std::mutex> guard(registry.lock);
        auto it = registry.blocks.find(start);
        if (it != registry.blocks.end() && it->second.kind == kind) {
            *released = it->second;
            registry.blocks.erase(it);
            return true;
        }
        exact = it != registry.blocks.end();
        if (!exact)
            it = FindContaining(registry.blocks, start);
        if (it != registry.blocks.end()) {
            inside = true;
            found = it->second;
            foundStart = it->first;
        }
    }
    if (exact)
        VerifierReport(Check::FreeNotAllocated, "%s(%p): this is %s, not %s", caller, address,
                       KindName(found.kind), KindName(kind));
    else if (inside)
        VerifierReport(Check::FreeNotAllocated, "%s(%p): inside %s at %#zx (%zu bytes), not its start",
                       caller, address, KindName(found.kind), static_cast<size_t>(foundStart), found.length);
    else
        VerifierReport(Check::FreeNotAllocated,
                       "%s(%p): not a live allocation (freed twice or never allocated)", caller, address);
    return false;
}

} // namespace memory

namespace {

enum class DmaOp { Check, Read, Write };

void DmaCopy(DmaOp op, ULONG64 logical, void* buffer, SIZE_T length)
{
    auto* target = reinterpret_cast<UCHAR*>(logical);
    if (op == DmaOp::Read)
        memcpy(buffer, target, length);
    else if (op == DmaOp::Write)
        memcpy(target, buffer, length);
}

bool DmaAccess(DmaOp op, ULONG64 logical, void* buffer, SIZE_T length)
{
    if (length == 0)
        return true;
    if (!VerifierEnabled()) {
        // A real device's DMA reaches whatever the address names; without the verifier nothing checks it.
        DmaCopy(op, logical, buffer, length);
        return true;
    }
    static const char* const kOpNames[] = {"check", "read", "write"};
    const char* opName = kOpNames[static_cast<int>(op)];
    if (logical + length < logical) {
        VerifierReport(Check::DmaOutsideAllocation, "DMA %s of %zu bytes at %#llx wraps the address space",
                       opName, length, static_cast<unsigned long long>(logical));
        return false;
    }
    memory::Block found;
    uintptr_t foundStart = 0;
    bool inside = false;
    {
        memory::Registry& registry = memory::Blocks();
        std::lock_guard<std::mutex> guard(registry.lock);
        auto it = memory::FindContaining(registry.blocks, logical);
        if (it != registry.blocks.end()) {
            if (it->second.dmaVisible && logical + length - it->first <= it->second.length) {
                // Copy under the lock: a free waits until the device's access is done.
                DmaCopy(op, logical, buffer, length);
                return true;
            }
            inside = true;
            found = it->second;
            foundStart = it->first;
        }
    }
    if (!inside)
        VerifierReport(Check::DmaOutsideAllocation, "DMA %s of %zu bytes at %#llx: no live allocation there",
                       opName, length, static_cast<unsigned long long>(logical));
    else if (!found.dmaVisible)
        VerifierReport(Check::DmaOutsideAllocation,
                       "DMA %s of %zu bytes at %#llx: paged pool is not DMA-visible", opName, length,
                       static_cast<unsigned long long>(logical));
    else
        VerifierReport(
            Check::DmaOutsideAllocation,
            "DMA %s of %zu bytes at %#llx overruns the allocation at %#zx (%zu bytes) by %llu bytes", opName,
            length, static_cast<unsigned long long>(logical), static_cast<size_t>(foundStart), found.length,
            static_cast<unsigned long long>(logical + length - foundStart - found.length));
    return false;
}

} // namespace

bool DmaRegister(const void* address, SIZE_T length, const void* owner)
{
    memory::Block block;
    block.length = length;
    block.kind = memory::Kind::Registered;
    block.dmaVisible = true;
    block.owner = owner;
    if (length != 0 && memory::Insert(address, block))
        return true;
    VerifierReport(Check::InvalidParameter, "DmaRegister(%p, %zu bytes) by %p: empty or overlaps live memory",
                   address, length, owner);
    return false;
}

bool DmaUnregister(const void* address)
{
    memory::Block released;
    return memory::Release(address, memory::Kind::Registered, "DmaUnregister", &released);
}

bool DmaCheck(ULONG64 logical, SIZE_T length)
{
    return DmaAccess(DmaOp::Check, logical, nullptr, length);
}
bool DmaRead(ULONG64 logical, void* buffer, SIZE_T length)
{
    return DmaAccess(DmaOp::Read, logical, buffer, length);
}
bool DmaWrite(ULONG64 logical, const void* data, SIZE_T length)
{
    return DmaAccess(DmaOp::Write, logical, const_cast<void*>(data), length);
}

} // namespace host

extern "C" PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress)
{
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(BaseAddress));
    return physical;
}
