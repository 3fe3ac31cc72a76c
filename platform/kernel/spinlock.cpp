// Spin locks on an atomic word. One implementation for both verifier modes: with the verifier on, each
// acquire and release also goes through the recursion, ownership and lock-order checks.
//
// The word is 0 when free, kHeld when held, and kHeld | kWaiters when a thread may be blocked on it. An
// uncontended acquire is one exchange, a release another (it must see kWaiters as it frees the word, or
// a sleeper would be missed). A contended acquire spins with a CPU pause, then blocks: on the word itself
// (a futex on its low half) with the real clock, through the dispatcher with the virtual clock, which
// must know the thread is blocked so that time can move while the holder stalls or waits.
#include "executive_internal.h"

#include <host/verifier.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

namespace host::exec {
namespace {

constexpr ULONG_PTR kHeld = 1;
constexpr ULONG_PTR kWaiters = 2;
constexpr int kSpins = 128;

// Set from host::Start: blocked acquirers go through the dispatcher (virtual clock) or a futex.
std::atomic<bool> g_dispatcherBlocking{true};

// Learnt order: after[A] holds each B acquired while A was held.
struct Order {
    std::mutex lock;
    std::unordered_map<PKSPIN_LOCK, std::unordered_set<PKSPIN_LOCK>> after;
    std::unordered_map<PKSPIN_LOCK, std::unordered_set<PKSPIN_LOCK>> before;
};

Order& Orders()
{
    static Order* order = new Order;
    return *order;
}

void Forget(PKSPIN_LOCK lock)
{
    Order& order = Orders();
    std::lock_guard<std::mutex> guard(order.lock);
    if (auto it = order.after.find(lock); it != order.after.end()) {
        for (PKSPIN_LOCK next : it->second)
            order.before[next].erase(lock);
        order.after.erase(it);
    }
    if (auto it = order.before.find(lock); it != order.before.end()) {
        for (PKSPIN_LOCK previous : it->second)
            order.after[previous].erase(lock);
        order.before.erase(it);
    }
}

void Learn(const std::vector<PKSPIN_LOCK>& held, PKSPIN_LOCK lock)
{
    PKSPIN_LOCK inverted = nullptr;
    {
        Order& order = Orders();
        std::lock_guard<std::mutex> guard(order.lock);
        auto seen = order.after.find(lock);
        for (PKSPIN_LOCK h : held) {
            if (seen != order.after.end() && seen->second.count(h) != 0) {
                inverted = h;
                continue;
            }
            order.after[h].insert(lock);
            order.before[lock].insert(h);
        }
    }
    if (inverted != nullptr)
        VerifierReport(Check::SpinLockOrder, "lock %p acquired while holding %p, the opposite order was seen before",
                       static_cast<void*>(lock), static_cast<void*>(inverted));
}

// The futex covers the word's low half, which holds the state bits (x86-64 is little-endian).
int* FutexWord(PKSPIN_LOCK lock) { return reinterpret_cast<int*>(lock); }

void FutexWait(PKSPIN_LOCK lock)
{
    syscall(SYS_futex, FutexWord(lock), FUTEX_WAIT_PRIVATE, static_cast<int>(kHeld | kWaiters), nullptr, nullptr, 0);
}

void FutexWake(PKSPIN_LOCK lock) { syscall(SYS_futex, FutexWord(lock), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

// Takes the lock marked kWaiters, so that its release wakes whoever still sleeps on it.
bool TakeMarked(PKSPIN_LOCK lock) { return __atomic_exchange_n(lock, kHeld | kWaiters, __ATOMIC_ACQUIRE) == 0; }

// Blocks through the dispatcher until the lock is released, so that virtual time can move while the
// owner is itself blocked (a stall under the lock). The mark is set under the dispatcher lock, which a
// release that sees it takes before waking: the wake cannot fall between the mark and the block.
void BlockInDispatcher(PKSPIN_LOCK lock, ThreadRecord& self)
{
    Exec& x = X();
    Lock guard(x.lock);
    while (!TakeMarked(lock)) {
        self.spinWait = lock;
        self.waitCount = 0;
        x.spinWaiters.push_back(&self);
        Block(guard, self, kInfinite);
        x.spinWaiters.erase(std::find(x.spinWaiters.begin(), x.spinWaiters.end(), &self));
        self.spinWait = nullptr;
    }
}

// `seen` is what the first exchange found. That exchange may have cleared kWaiters: a thread that saw it
// goes straight to blocking, whose marked exchange puts it back before anyone could miss it.
void TakeContended(PKSPIN_LOCK lock, ThreadRecord& self, ULONG_PTR seen)
{
    if ((seen & kWaiters) == 0) {
        for (int spins = 0; spins < kSpins; spins++) {
            __builtin_ia32_pause();
            ULONG_PTR expected = 0;
            if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
                __atomic_compare_exchange_n(lock, &expected, kHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
                return;
        }
    }
    if (g_dispatcherBlocking.load(std::memory_order_relaxed)) {
        BlockInDispatcher(lock, self);
        return;
    }
    while (!TakeMarked(lock))
        FutexWait(lock);
}

inline void Take(PKSPIN_LOCK lock, ThreadRecord& self)
{
    const ULONG_PTR seen = __atomic_exchange_n(lock, kHeld, __ATOMIC_ACQUIRE);
    if (seen != 0)
        TakeContended(lock, self, seen);
}

inline void Free(PKSPIN_LOCK lock)
{
    if ((__atomic_exchange_n(lock, 0, __ATOMIC_RELEASE) & kWaiters) == 0)
        return;
    if (g_dispatcherBlocking.load(std::memory_order_relaxed)) {
        Lock guard(X().lock);
        SpinWakeLocked(lock);
    } else {
        FutexWake(lock);
    }
}

inline void AcquireAtDpc(PKSPIN_LOCK lock, ThreadRecord& self)
{
    if (!VerifierEnabled()) {
        Take(lock, self);
        return;
    }
    if (std::find(self.held.begin(), self.held.end(), lock) != self.held.end()) {
        VerifierReport(Check::SpinLockRecursion, "lock %p acquired again by its owner", static_cast<void*>(lock));
        return;
    }
    if (!self.held.empty())
        Learn(self.held, lock);
    Take(lock, self);
    self.held.push_back(lock);
}

// False when the verifier refused the release (the lock stays as it was).
inline bool ReleaseAtDpc(PKSPIN_LOCK lock, ThreadRecord& self)
{
    if (VerifierEnabled()) {
        auto it = std::find(self.held.rbegin(), self.held.rend(), lock);
        if (it == self.held.rend()) {
            VerifierReport(Check::SpinLockNotHeld, "lock %p released by a thread that does not hold it",
                           static_cast<void*>(lock));
            return false;
        }
        self.held.erase(std::next(it).base());
    }
    Free(lock);
    return true;
}

// KeAcquireSpinLock's raise: above DISPATCH_LEVEL the verifier reports and the level stays.
inline KIRQL AcquireRaising(PKSPIN_LOCK lock, ThreadRecord& self)
{
    const KIRQL old = self.irql;
    if (old <= DISPATCH_LEVEL)
        self.irql = DISPATCH_LEVEL;
    else if (VerifierEnabled())
        VerifierReport(Check::InvalidIrql, "spin lock %p acquired at IRQL %u", static_cast<void*>(lock), old);
    AcquireAtDpc(lock, self);
    return old;
}

inline void ReleaseLowering(PKSPIN_LOCK lock, ThreadRecord& self, KIRQL irql)
{
    if (ReleaseAtDpc(lock, self))
        LowerIrql(self, irql);
}

// Returns the list's previous first entry, NULL when it was empty.
PLIST_ENTRY InsertInterlocked(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock, void (*insert)(PLIST_ENTRY, PLIST_ENTRY))
{
    ThreadRecord& self = Self();
    const KIRQL old = AcquireRaising(lock, self);
    PLIST_ENTRY first = IsListEmpty(head) ? nullptr : head->Flink;
    insert(head, entry);
    ReleaseLowering(lock, self, old);
    return first;
}

} // namespace

void SpinLocksStart(bool virtualClock, bool verifier)
{
    g_dispatcherBlocking.store(virtualClock, std::memory_order_relaxed);
    if (verifier)
        return;
    // Nothing is learnt while the verifier is off, and locks met then are not forgotten when their memory
    // is reused: what an earlier boot learnt would no longer be true.
    Order& order = Orders();
    std::lock_guard<std::mutex> guard(order.lock);
    order.after.clear();
    order.before.clear();
}

void SpinWakeLocked(PKSPIN_LOCK lock)
{
    for (ThreadRecord* record : X().spinWaiters)
        if (record->spinWait == lock)
            Wake(*record, STATUS_SUCCESS);
}

} // namespace host::exec

using namespace host::exec;

extern "C" {

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
    if (host::VerifierEnabled())
        Forget(SpinLock); // the memory may have held another lock
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { *OldIrql = AcquireRaising(SpinLock, Self()); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return AcquireRaising(SpinLock, Self()); }

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { ReleaseLowering(SpinLock, Self(), NewIrql); }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    ThreadRecord& self = Self();
    if (host::VerifierEnabled() && self.irql < DISPATCH_LEVEL)
        host::VerifierReport(host::Check::InvalidIrql, "spin lock %p acquired at DPC level from IRQL %u",
                             static_cast<void*>(SpinLock), self.irql);
    AcquireAtDpc(SpinLock, self);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseAtDpc(SpinLock, Self()); }

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    return InsertInterlocked(ListHead, ListEntry, Lock, InsertHeadList);
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    return InsertInterlocked(ListHead, ListEntry, Lock, InsertTailList);
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    ThreadRecord& self = Self();
    const KIRQL old = AcquireRaising(Lock, self);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    ReleaseLowering(Lock, self, old);
    return first;
}

} // extern "C"
