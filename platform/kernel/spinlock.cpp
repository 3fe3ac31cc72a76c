// Spin locks on an atomic word, with the verifier's recursion, ownership and lock-order checks.
#include "executive_internal.h"

#include <host/verifier.h>

#include <algorithm>
#include <unordered_set>

namespace host::exec {
namespace {

// Threads that gave up spinning and blocked on a lock. A release looks at this only when it is non-zero;
// the sequentially consistent store and load on both sides make sure one of them sees the other.
std::atomic<int> g_sleepers{0};

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

bool TryTake(PKSPIN_LOCK lock, ULONG_PTR mine)
{
    ULONG_PTR expected = 0;
    return __atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
           __atomic_compare_exchange_n(lock, &expected, mine, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED);
}

// Blocks through the dispatcher until the lock is released, so that virtual time can move while the
// owner is itself blocked (a stall under the lock). True when the lock was taken on the way.
bool Sleep(PKSPIN_LOCK lock, ThreadRecord& self, ULONG_PTR mine)
{
    Exec& x = X();
    Lock guard(x.lock);
    g_sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (TryTake(lock, mine)) {
        g_sleepers.fetch_sub(1);
        return true;
    }
    self.spinWait = lock;
    self.waitCount = 0;
    x.spinWaiters.push_back(&self);
    Block(guard, self, kInfinite);
    x.spinWaiters.erase(std::find(x.spinWaiters.begin(), x.spinWaiters.end(), &self));
    self.spinWait = nullptr;
    g_sleepers.fetch_sub(1);
    return false;
}

void Take(PKSPIN_LOCK lock, ThreadRecord& self)
{
    auto mine = reinterpret_cast<ULONG_PTR>(&self) | 1;
    for (int spins = 0;; spins++) {
        if (TryTake(lock, mine))
            return;
        if (spins < 64) {
            std::this_thread::yield();
            continue;
        }
        if (Sleep(lock, self, mine))
            return;
        spins = 0;
    }
}

void AcquireAtDpc(PKSPIN_LOCK lock, ThreadRecord& self)
{
    if (std::find(self.held.begin(), self.held.end(), lock) != self.held.end()) {
        VerifierReport(Check::SpinLockRecursion, "lock %p acquired again by its owner", static_cast<void*>(lock));
        return;
    }
    if (!self.held.empty())
        Learn(self.held, lock);
    Take(lock, self);
    self.held.push_back(lock);
}

bool ReleaseAtDpc(PKSPIN_LOCK lock, ThreadRecord& self)
{
    auto it = std::find(self.held.rbegin(), self.held.rend(), lock);
    if (it == self.held.rend()) {
        VerifierReport(Check::SpinLockNotHeld, "lock %p released by a thread that does not hold it",
                       static_cast<void*>(lock));
        return false;
    }
    self.held.erase(std::next(it).base());
    __atomic_store_n(lock, 0, __ATOMIC_SEQ_CST);
    if (g_sleepers.load(std::memory_order_seq_cst) > 0) {
        Lock guard(X().lock);
        SpinWakeLocked(lock);
    }
    return true;
}

// Returns the list's previous first entry, NULL when it was empty.
PLIST_ENTRY InsertInterlocked(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock, void (*insert)(PLIST_ENTRY, PLIST_ENTRY))
{
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    PLIST_ENTRY first = IsListEmpty(head) ? nullptr : head->Flink;
    insert(head, entry);
    KeReleaseSpinLock(lock, old);
    return first;
}

} // namespace

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
    Forget(SpinLock); // the memory may have held another lock
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    ThreadRecord& self = Self();
    KIRQL old = self.irql;
    if (old > DISPATCH_LEVEL)
        host::VerifierReport(host::Check::InvalidIrql, "spin lock %p acquired at IRQL %u", static_cast<void*>(SpinLock),
                             old);
    else
        self.irql = DISPATCH_LEVEL;
    *OldIrql = old;
    AcquireAtDpc(SpinLock, self);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (ReleaseAtDpc(SpinLock, Self()))
        KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    ThreadRecord& self = Self();
    if (self.irql < DISPATCH_LEVEL)
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
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return first;
}

} // extern "C"
