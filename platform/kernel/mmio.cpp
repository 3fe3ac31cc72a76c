// Register windows and their mappings. A mapping is an inaccessible reservation, so a driver that
// dereferences a register pointer faults at once; the register accessors translate the address to
// (window, offset) and call the device's handler on the calling thread.
//
// An access costs a lookup cached per thread (the mapping table is published whole) and two stores to a
// slot of the calling thread that names the window in use: no read-modify-write on a line that other
// threads share. Withdrawing a window marks it and then waits until no thread's slot names it.
#include <host/mmio.h>
#include <host/verifier.h>
#include <wdm.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace host {

struct IoWindow {
    ULONG64 base = 0;
    ULONG64 length = 0;
    IoWindowHandlers handlers;
    std::atomic<bool> withdrawn{false};
};

namespace {

struct Mapping {
    uintptr_t start; // what MmMapIoSpaceEx returned
    uintptr_t end;
    ULONG64 offset; // of `start` in the window
    IoWindow* window;
    void* reservation;
    SIZE_T reservationLength;
};

// The windows a thread's accessors are in, innermost last: a handler may reach another window.
constexpr int kNesting = 8;
struct InUse {
    std::atomic<IoWindow*> windows[kNesting] = {};
    int depth = 0;     // the owning thread's only
    bool free = false; // guarded by the space's lock; a thread that ends leaves its slot to the next
};

// Sorted by start. A table is published whole and never changed, so accessors read it without a lock.
struct MappingTable {
    std::vector<Mapping> mappings;
};

struct IoSpace {
    std::mutex lock;                // serialises registration and mapping changes
    std::vector<IoWindow*> windows; // registered
    std::atomic<const MappingTable*> table{nullptr};
    // Replaced tables and withdrawn windows are kept for the process's life: an accessor may still be
    // reading one. Both are small and change only as drivers map and unmap and devices come and go.
    std::vector<std::unique_ptr<const MappingTable>> tables;
    std::vector<std::unique_ptr<IoWindow>> allWindows;
    std::vector<std::unique_ptr<InUse>> inUse; // every thread's slot, kept for reuse
};

IoSpace& Space()
{
    static IoSpace* space = [] {
        auto* s = new IoSpace;
        s->tables.push_back(std::make_unique<MappingTable>());
        s->table.store(s->tables.back().get());
        return s;
    }();
    return *space;
}

// The calling thread's slot, taken on its first access and left for reuse when it ends.
struct InUseHolder {
    InUse* slot = nullptr;
    ~InUseHolder()
    {
        if (slot == nullptr)
            return;
        std::lock_guard<std::mutex> guard(Space().lock);
        slot->free = true;
    }
};
thread_local InUseHolder t_inUse;

InUse& MyInUse()
{
    if (t_inUse.slot != nullptr)
        return *t_inUse.slot;
    IoSpace& space = Space();
    std::lock_guard<std::mutex> guard(space.lock);
    auto reusable = std::find_if(space.inUse.begin(), space.inUse.end(), [](const auto& s) { return s->free; });
    if (reusable == space.inUse.end()) {
        space.inUse.push_back(std::make_unique<InUse>());
        reusable = std::prev(space.inUse.end());
    }
    (*reusable)->free = false;
    t_inUse.slot = reusable->get();
    return *t_inUse.slot;
}

// The last mapping this thread resolved, and the table it came from.
thread_local const MappingTable* t_table = nullptr;
thread_local const Mapping* t_mapping = nullptr;

// Caller holds the lock.
void Publish(IoSpace& space, std::vector<Mapping> mappings)
{
    std::sort(mappings.begin(), mappings.end(),
              [](const Mapping& a, const Mapping& b) { return a.start < b.start; });
    space.tables.push_back(std::make_unique<MappingTable>(MappingTable{std::move(mappings)}));
    space.table.store(space.tables.back().get(), std::memory_order_release);
}

const Mapping* FindMapping(const MappingTable& table, uintptr_t address, ULONG64 bytes)
{
    auto it = std::upper_bound(table.mappings.begin(), table.mappings.end(), address,
                               [](uintptr_t a, const Mapping& m) { return a < m.start; });
    if (it == table.mappings.begin())
        return nullptr;
    --it;
    return address < it->end && bytes <= it->end - address ? &*it : nullptr;
}

struct Access {
    IoWindow* window;
    ULONG64 offset;
};

const Mapping* Resolve(uintptr_t start, ULONG64 bytes)
{
    const MappingTable* table = Space().table.load(std::memory_order_acquire);
    const Mapping* cached = t_mapping;
    if (table == t_table && cached != nullptr && start >= cached->start && start < cached->end &&
        bytes <= cached->end - start)
        return cached;
    const Mapping* mapping = FindMapping(*table, start, bytes);
    t_table = table;
    t_mapping = mapping;
    return mapping;
}

void Leave(const Access& access)
{
    UNREFERENCED_PARAMETER(access);
    InUse& inUse = *t_inUse.slot;
    inUse.windows[--inUse.depth].store(nullptr, std::memory_order_release);
}

// Resolves [address, address + bytes) to one live window; otherwise reports and returns false. The
// slot's store and the withdrawn mark's load are ordered against the withdrawal's store and its scan
// (sequentially consistent on both sides), so one of the two sees the other.
bool Enter(const volatile void* address, ULONG64 bytes, const char* what, Access* access)
{
    auto start = reinterpret_cast<uintptr_t>(address);
    const Mapping* mapping = Resolve(start, bytes);
    if (mapping == nullptr) {
        VerifierReport(Check::RegisterAccessUnmapped,
                       "%s of %llu bytes at %p: outside every mapped register window", what,
                       static_cast<unsigned long long>(bytes), const_cast<const void*>(address));
        return false;
    }
    IoWindow* window = mapping->window;
    InUse& inUse = MyInUse();
    if (inUse.depth == kNesting) {
        VerifierReport(Check::InvalidParameter, "%s at %p: register accesses nested more than %d deep", what,
                       const_cast<const void*>(address), kNesting);
        return false;
    }
    inUse.windows[inUse.depth++].store(window, std::memory_order_seq_cst);
    if (window->withdrawn.load(std::memory_order_seq_cst)) {
        Leave(Access{window, 0});
        VerifierReport(Check::RegisterAccessUnmapped,
                       "%s at %p: the window at physical %#llx was unregistered", what,
                       const_cast<const void*>(address), static_cast<unsigned long long>(window->base));
        return false;
    }
    *access = Access{window, mapping->offset + (start - mapping->start)};
    return true;
}

// The buffer forms move through consecutive registers, as the x64 string moves they stand for do.
template <typename T> void ReadRegisters(volatile T* registers, T* buffer, ULONG count)
{
    Access access;
    if (count == 0)
        return;
    if (!Enter(registers, ULONG64(count) * sizeof(T), "register read", &access)) {
        std::fill(buffer, buffer + count, static_cast<T>(~T(0)));
        return;
    }
    const auto& read = access.window->handlers.read;
    for (ULONG i = 0; i < count; i++)
        buffer[i] = read ? static_cast<T>(read(access.offset + ULONG64(i) * sizeof(T), sizeof(T)))
                         : static_cast<T>(~T(0));
    Leave(access);
}

template <typename T> void WriteRegisters(volatile T* registers, const T* buffer, ULONG count)
{
    Access access;
    if (count == 0)
        return;
    if (!Enter(registers, ULONG64(count) * sizeof(T), "register write", &access))
        return;
    const auto& write = access.window->handlers.write;
    if (write)
        for (ULONG i = 0; i < count; i++)
            write(access.offset + ULONG64(i) * sizeof(T), sizeof(T), buffer[i]);
    Leave(access);
}

template <typename T> T ReadRegister(volatile T* reg)
{
    T value;
    ReadRegisters(reg, &value, 1);
    return value;
}

} // namespace

IoWindow* IoWindowRegister(ULONG64 physicalBase, ULONG64 length, IoWindowHandlers handlers)
{
    if (length == 0 || physicalBase + length < physicalBase)
        return nullptr;
    IoSpace& space = Space();
    std::lock_guard<std::mutex> guard(space.lock);
    for (IoWindow* other : space.windows)
        if (physicalBase < other->base + other->length && other->base < physicalBase + length)
            return nullptr;
    auto window = std::make_unique<IoWindow>();
    window->base = physicalBase;
    window->length = length;
    window->handlers = std::move(handlers);
    space.windows.push_back(window.get());
    space.allWindows.push_back(std::move(window));
    return space.windows.back();
}

void IoWindowUnregister(IoWindow* window)
{
    {
        IoSpace& space = Space();
        std::lock_guard<std::mutex> guard(space.lock);
        auto it = std::find(space.windows.begin(), space.windows.end(), window);
        if (it == space.windows.end()) {
            VerifierReport(Check::InvalidParameter, "IoWindowUnregister(%p): not a registered window",
                           static_cast<void*>(window));
            return;
        }
        space.windows.erase(it);
        window->withdrawn.store(true, std::memory_order_seq_cst);
    }
    // Not a host wait: handlers never block, so this ends as soon as the running ones return. The
    // calling thread's own slot is skipped: a handler may unregister its own window.
    std::vector<InUse*> slots;
    {
        IoSpace& space = Space();
        std::lock_guard<std::mutex> guard(space.lock);
        for (const auto& slot : space.inUse)
            if (slot.get() != t_inUse.slot)
                slots.push_back(slot.get());
    }
    for (InUse* slot : slots)
        for (const std::atomic<IoWindow*>& inUse : slot->windows)
            while (inUse.load(std::memory_order_seq_cst) == window)
                std::this_thread::yield();
}

} // namespace host

extern "C" {

// The protection (caching) does not change how the host reaches a device.
PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect)
{
    UNREFERENCED_PARAMETER(Protect);
    auto physical = static_cast<ULONG64>(PhysicalAddress.QuadPart);
    if (NumberOfBytes == 0 || physical + NumberOfBytes < physical)
        return nullptr;
    host::IoSpace& space = host::Space();
    std::lock_guard<std::mutex> guard(space.lock);
    auto covering = std::find_if(space.windows.begin(), space.windows.end(), [&](const host::IoWindow* w) {
        return physical >= w->base && physical + NumberOfBytes - w->base <= w->length;
    });
    if (covering == space.windows.end())
        return nullptr;
    SIZE_T pageOffset = physical & (PAGE_SIZE - 1);
    SIZE_T length = ALIGN_UP_BY(pageOffset + NumberOfBytes, PAGE_SIZE);
    void* reservation = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reservation == MAP_FAILED)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(reservation) + pageOffset;
    std::vector<host::Mapping> mappings = space.table.load()->mappings;
    mappings.push_back(host::Mapping{start, start + NumberOfBytes, physical - (*covering)->base, *covering,
                                     reservation, length});
    host::Publish(space, std::move(mappings));
    return reinterpret_cast<PVOID>(start);
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    void* reservation = nullptr;
    SIZE_T length = 0;
    {
        host::IoSpace& space = host::Space();
        std::lock_guard<std::mutex> guard(space.lock);
        std::vector<host::Mapping> mappings = space.table.load()->mappings;
        auto it = std::find_if(mappings.begin(), mappings.end(), [&](const host::Mapping& m) {
            return m.start == reinterpret_cast<uintptr_t>(BaseAddress) && m.end - m.start == NumberOfBytes;
        });
        if (it != mappings.end()) {
            reservation = it->reservation;
            length = it->reservationLength;
            mappings.erase(it);
            host::Publish(space, std::move(mappings));
        }
    }
    if (reservation == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "MmUnmapIoSpace(%p, %zu): no such mapping",
                             BaseAddress, NumberOfBytes);
        return;
    }
    munmap(reservation, length);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register)
{
    return host::ReadRegister(Register);
}
USHORT READ_REGISTER_USHORT(volatile USHORT* Register)
{
    return host::ReadRegister(Register);
}
ULONG READ_REGISTER_ULONG(volatile ULONG* Register)
{
    return host::ReadRegister(Register);
}
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* Register)
{
    return host::ReadRegister(Register);
}
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value)
{
    host::WriteRegisters(Register, &Value, 1);
}
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value)
{
    host::WriteRegisters(Register, &Value, 1);
}
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value)
{
    host::WriteRegisters(Register, &Value, 1);
}
void WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value)
{
    host::WriteRegisters(Register, &Value, 1);
}

void READ_REGISTER_BUFFER_UCHAR(volatile UCHAR* Register, PUCHAR Buffer, ULONG Count)
{
    host::ReadRegisters(Register, Buffer, Count);
}
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count)
{
    host::ReadRegisters(Register, Buffer, Count);
}
void WRITE_REGISTER_BUFFER_UCHAR(volatile UCHAR* Register, PUCHAR Buffer, ULONG Count)
{
    host::WriteRegisters(Register, Buffer, Count);
}
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count)
{
    host::WriteRegisters(Register, Buffer, Count);
}

} // extern "C"
