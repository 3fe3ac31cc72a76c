// Framework memory objects: a buffer from pool (freed with the object) or one the caller owns.
#include "fx.h"

#include <host/pool.h>

#include <new>

namespace fx
{
namespace
{

struct Memory : Object {
    Memory() : Object(Kind::Memory) {}
    ~Memory() override
    {
        if (owned && buffer != nullptr)
            ExFreePoolWithTag(buffer, tag);
    }
    void* buffer = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    bool owned = false;
};

// Default tag for memory objects created with tag 0: "FxDr" as the bytes appear in memory.
constexpr ULONG kDefaultTag = 'F' | ('x' << 8) | ('D' << 16) | ((ULONG)'r' << 24);

// The bytes [offset, offset + length) of a memory object, bounds-checked without overflow.
NTSTATUS Range(WDFMEMORY handle, size_t offset, size_t length, const void* other, const char* api, void** range)
{
    auto* memory = As<Memory>(handle, Kind::Memory, api);
    if (memory == nullptr || other == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (offset > memory->size || length > memory->size - offset)
        return STATUS_BUFFER_TOO_SMALL;
    *range = static_cast<UCHAR*>(memory->buffer) + offset;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer)
{
    if (Memory == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Memory = nullptr;
    if (Buffer != nullptr)
        *Buffer = nullptr;
    if (BufferSize == 0)
        return STATUS_INVALID_PARAMETER;
    auto* memory = new (std::nothrow) fx::Memory;
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memory->tag = PoolTag != 0 ? PoolTag : kDefaultTag;
    memory->buffer = host::PoolAllocate(PoolType == PagedPool ? POOL_FLAG_PAGED : POOL_FLAG_NON_PAGED,
                                        BufferSize, memory->tag, host::ImageFromAddress(_ReturnAddress()));
    if (memory->buffer == nullptr) {
        delete memory;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memory->size = BufferSize;
    memory->owned = true;
    NTSTATUS status = Publish(memory, Attributes, DriverOfCaller(_ReturnAddress()), _ReturnAddress(), Memory);
    if (NT_SUCCESS(status) && Buffer != nullptr)
        *Buffer = memory->buffer;
    return status;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory)
{
    if (Memory == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Memory = nullptr;
    if (Buffer == nullptr || BufferSize == 0)
        return STATUS_INVALID_PARAMETER;
    auto* memory = new (std::nothrow) fx::Memory;
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memory->buffer = Buffer;
    memory->size = BufferSize;
    return Publish(memory, Attributes, DriverOfCaller(_ReturnAddress()), _ReturnAddress(), Memory);
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    auto* memory = As<fx::Memory>(Memory, Kind::Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr)
        *BufferSize = memory == nullptr ? 0 : memory->size;
    return memory == nullptr ? nullptr : memory->buffer;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom)
{
    void* range = nullptr;
    NTSTATUS status =
        Range(DestinationMemory, DestinationOffset, NumBytesToCopyFrom, Buffer, "WdfMemoryCopyFromBuffer", &range);
    if (NT_SUCCESS(status))
        RtlCopyMemory(range, Buffer, NumBytesToCopyFrom);
    return status;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo)
{
    void* range = nullptr;
    NTSTATUS status = Range(SourceMemory, SourceOffset, NumBytesToCopyTo, Buffer, "WdfMemoryCopyToBuffer", &range);
    if (NT_SUCCESS(status))
        RtlCopyMemory(Buffer, range, NumBytesToCopyTo);
    return status;
}

} // extern "C"
