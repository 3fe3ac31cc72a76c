// Interrupt vectors and their delivery. Each vector has at most one connected service routine, run on
// processor (vector mod N) through host::ProcessorRun. The table lock guards the vectors' state and is
// never held while a routine or a bus's connection callback runs.
#include <host/executive.h>
#include <host/interrupt.h>
#include <host/verifier.h>

#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace host {

struct Interrupt {
    InterruptConnection connection;
    KSPIN_LOCK ownLock = 0;
    PKSPIN_LOCK lock = nullptr;
    KIRQL synchronizeIrql = 0;
    bool enabled = true; // guarded by the table lock
};

namespace {

constexpr ULONG kFirstVector = 0x40;
constexpr ULONG kVectorBlock = 64;

struct Vector {
    InterruptSource source;
    bool registered = true;
    std::shared_ptr<Interrupt> routine;
    bool requested = false; // a latched request not yet served
    bool asserted = false;  // a level-triggered line's state
    bool queued = false;    // a run is queued on the vector's processor
    ULONG storm = 0;        // back-to-back runs that left the line asserted
    bool stormed = false;   // reported; the line is ignored until de-asserted
    InterruptCounters counters;
};

struct Table {
    std::mutex lock;
    std::map<ULONG, Vector> vectors;
    std::unordered_map<Interrupt*, std::shared_ptr<Interrupt>> connections;
    ULONG next = kFirstVector;
};

Table& Vectors()
{
    static Table* table = new Table; // processors may deliver during static teardown
    return *table;
}

bool Level(const Vector& v) { return v.source.trigger == InterruptTrigger::Level; }

bool Due(const Vector& v)
{
    return v.routine != nullptr && v.routine->enabled &&
           (v.requested || (Level(v) && v.asserted && !v.stormed));
}

void Deliver(ULONG vector);

// Queues a run when one is due and none is queued (table lock held).
void QueueLocked(ULONG vector, Vector& v)
{
    if (v.queued || !Due(v))
        return;
    v.queued = true;
    if (!ProcessorRun(InterruptVectorProcessor(vector), [vector] { Deliver(vector); })) {
        v.queued = false; // no processors: the host is not running
        v.requested = false;
        v.counters.dropped++;
    }
}

// A run on the vector's processor, at DISPATCH_LEVEL on entry.
void Deliver(ULONG vector)
{
    Table& table = Vectors();
    std::shared_ptr<Interrupt> interrupt;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.vectors.find(vector);
        if (it == table.vectors.end())
            return;
        Vector& v = it->second;
        v.queued = false;
        if (!Due(v))
            return;
        v.requested = false;
        v.counters.runs++;
        interrupt = v.routine;
    }
    KIRQL previous = InterruptAcquireLock(interrupt.get());
    KIRQL irql;
    int locks;
    CallbackEnter("interrupt service routine", &irql, &locks);
    BOOLEAN claimed = interrupt->connection.service(interrupt.get(), interrupt->connection.context);
    CallbackLeave("interrupt service routine", irql, locks);
    InterruptReleaseLock(interrupt.get(), previous);

    bool storm = false;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.vectors.find(vector);
        if (it == table.vectors.end())
            return;
        Vector& v = it->second;
        if (!claimed)
            v.counters.unclaimed++;
        if (Level(v) && v.asserted && v.routine == interrupt && !v.stormed && ++v.storm >= kInterruptStormLimit)
            v.stormed = storm = true;
        QueueLocked(vector, v);
    }
    if (storm)
        VerifierReport(Check::InterruptStorm,
                       "vector %#x: line still asserted after %u back-to-back runs of its service routine",
                       vector, kInterruptStormLimit);
}

std::shared_ptr<Interrupt> FindConnection(Table& table, Interrupt* interrupt, const char* caller)
{
    auto it = table.connections.find(interrupt);
    if (it != table.connections.end())
        return it->second;
    VerifierReport(Check::InvalidParameter, "%s(%p): not a connected interrupt", caller,
                   static_cast<void*>(interrupt));
    return nullptr;
}

void SetEnabled(Interrupt* interrupt, bool enabled, const char* caller)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    if (FindConnection(table, interrupt, caller) == nullptr)
        return;
    interrupt->enabled = enabled;
    ULONG vector = interrupt->connection.vector;
    auto it = table.vectors.find(vector);
    if (it != table.vectors.end())
        QueueLocked(vector, it->second);
}

} // namespace

ULONG InterruptAllocateVectors(ULONG count)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    ULONG first = table.next;
    table.next = static_cast<ULONG>(ALIGN_UP_BY(first + (count != 0 ? count : 1), kVectorBlock));
    return first;
}

bool InterruptRegisterVector(ULONG vector, InterruptSource source)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto [it, added] = table.vectors.try_emplace(vector);
    if (!added)
        return false;
    it->second.source = std::move(source);
    return true;
}

void InterruptUnregisterVector(ULONG vector)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.vectors.find(vector);
    if (it == table.vectors.end())
        return;
    if (it->second.routine == nullptr) {
        table.vectors.erase(it);
        return;
    }
    // Kept for the connected routine's disconnect; nothing reaches it any more.
    Vector& v = it->second;
    v.registered = false;
    v.requested = v.asserted = false;
    v.source.connection = nullptr;
}

ULONG InterruptVectorProcessor(ULONG vector)
{
    ULONG processors = KeQueryActiveProcessorCount(nullptr);
    return processors != 0 ? vector % processors : 0;
}

// A vector's priority class is its upper four bits; device IRQLs stay between DISPATCH_LEVEL and
// CLOCK_LEVEL.
KIRQL InterruptVectorIrql(ULONG vector)
{
    ULONG level = vector >> 4;
    return static_cast<KIRQL>(level < DISPATCH_LEVEL + 1 ? DISPATCH_LEVEL + 1
                              : level > CLOCK_LEVEL - 1  ? CLOCK_LEVEL - 1
                                                         : level);
}

void InterruptRequest(ULONG vector)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.vectors.find(vector);
    if (it == table.vectors.end())
        return;
    Vector& v = it->second;
    if (!v.registered || v.routine == nullptr) {
        v.counters.dropped++;
        return;
    }
    v.requested = true;
    QueueLocked(vector, v);
}

void InterruptSetLine(ULONG vector, bool asserted)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.vectors.find(vector);
    if (it == table.vectors.end() || !it->second.registered)
        return;
    Vector& v = it->second;
    v.asserted = asserted;
    if (!asserted) {
        v.storm = 0;
        v.stormed = false;
    }
    QueueLocked(vector, v);
}

NTSTATUS InterruptConnect(const InterruptConnection& connection, Interrupt** interrupt)
{
    if (interrupt == nullptr || connection.service == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto made = std::make_shared<Interrupt>();
    made->connection = connection;
    KIRQL irql = connection.irql != 0 ? connection.irql : InterruptVectorIrql(connection.vector);
    if (irql <= DISPATCH_LEVEL || irql > HIGH_LEVEL || connection.synchronizeIrql > HIGH_LEVEL)
        return STATUS_INVALID_PARAMETER;
    made->connection.irql = irql;
    made->synchronizeIrql = connection.synchronizeIrql > irql ? connection.synchronizeIrql : irql;
    made->enabled = connection.enabled;
    made->lock = connection.spinLock != nullptr ? connection.spinLock : &made->ownLock;
    if (connection.spinLock == nullptr)
        KeInitializeSpinLock(&made->ownLock);

    std::function<void(bool)> notify;
    {
        Table& table = Vectors();
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.vectors.find(connection.vector);
        if (it == table.vectors.end() || !it->second.registered || it->second.routine != nullptr)
            return STATUS_INVALID_PARAMETER;
        Vector& v = it->second;
        v.routine = made;
        v.storm = 0;
        v.stormed = false;
        table.connections[made.get()] = made;
        notify = v.source.connection;
        QueueLocked(connection.vector, v);
    }
    *interrupt = made.get();
    if (notify)
        notify(true);
    return STATUS_SUCCESS;
}

void InterruptDisconnect(Interrupt* interrupt)
{
    std::function<void(bool)> notify;
    ULONG vector;
    {
        Table& table = Vectors();
        std::lock_guard<std::mutex> guard(table.lock);
        std::shared_ptr<Interrupt> connected = FindConnection(table, interrupt, "InterruptDisconnect");
        if (connected == nullptr)
            return;
        table.connections.erase(interrupt);
        vector = interrupt->connection.vector;
        auto it = table.vectors.find(vector);
        if (it != table.vectors.end() && it->second.routine == connected) {
            Vector& v = it->second;
            v.routine = nullptr;
            v.requested = false;
            notify = v.source.connection;
            if (!v.registered)
                table.vectors.erase(it);
        }
    }
    if (notify)
        notify(false);
    // A run in progress ends before a marker queued behind it on the same processor.
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        VerifierReport(Check::InvalidIrql, "InterruptDisconnect at IRQL %u", irql);
        return;
    }
    KEVENT idle;
    KeInitializeEvent(&idle, NotificationEvent, FALSE);
    if (ProcessorRun(InterruptVectorProcessor(vector), [&idle] { KeSetEvent(&idle, IO_NO_INCREMENT, FALSE); }))
        KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
}

void InterruptEnable(Interrupt* interrupt) { SetEnabled(interrupt, true, "InterruptEnable"); }
void InterruptDisable(Interrupt* interrupt) { SetEnabled(interrupt, false, "InterruptDisable"); }

KIRQL InterruptAcquireLock(Interrupt* interrupt)
{
    KIRQL previous;
    KeRaiseIrql(interrupt->synchronizeIrql, &previous);
    KeAcquireSpinLockAtDpcLevel(interrupt->lock);
    return previous;
}

void InterruptReleaseLock(Interrupt* interrupt, KIRQL previous)
{
    KeReleaseSpinLockFromDpcLevel(interrupt->lock);
    KeLowerIrql(previous);
}

BOOLEAN InterruptSynchronize(Interrupt* interrupt, BOOLEAN (*routine)(PVOID context), PVOID context)
{
    KIRQL previous = InterruptAcquireLock(interrupt);
    BOOLEAN result = routine(context);
    InterruptReleaseLock(interrupt, previous);
    return result;
}

InterruptCounters InterruptVectorCounters(ULONG vector)
{
    Table& table = Vectors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.vectors.find(vector);
    return it != table.vectors.end() ? it->second.counters : InterruptCounters{};
}

} // namespace host
