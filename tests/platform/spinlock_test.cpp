// IRQL tracking and spin locks: raising, mutual exclusion, and the verifier's lock checks.
#include <gtest/gtest.h>

#include <host/host.h>
#include <wdm.h>

#include <vector>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

TEST(Irql, RaiseAndLowerAreCheckedAndPagedCodeIsTooAboveApcLevel)
{
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PAGED_CODE(); // fine at APC_LEVEL
    EXPECT_EQ(APC_LEVEL, KeRaiseIrqlToDpcLevel());
    {
        hosttest::ExpectReport expect(host::Check::PagedCodeAtHighIrql);
        PAGED_CODE();
    }
    {
        hosttest::ExpectReport expect(host::Check::InvalidIrql);
        KIRQL ignored;
        KeRaiseIrql(PASSIVE_LEVEL, &ignored);
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    }
    KeLowerIrql(old);
    {
        hosttest::ExpectReport expect(host::Check::InvalidIrql);
        KeLowerIrql(DISPATCH_LEVEL);
    }
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    old = KeAcquireSpinLockRaiseToDpc(&lock);
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    KeAcquireSpinLockAtDpcLevel(&inner);
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&lock, old);

    hosttest::ExpectReport expect(host::Check::InvalidIrql);
    KeAcquireSpinLockAtDpcLevel(&inner); // at PASSIVE_LEVEL
    KeReleaseSpinLockFromDpcLevel(&inner);
}

TEST(SpinLocks, ExcludeEachOtherAcrossThreadsEvenWhileTheOwnerStalls)
{
    struct Shared {
        KSPIN_LOCK lock;
        LONG inside = 0;
        LONG overlaps = 0;
        LONG count = 0;
    } shared;
    KeInitializeSpinLock(&shared.lock);
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 4; i++)
        threads.push_back(exectest::StartThread([&shared] {
            for (int round = 0; round < 200; round++) {
                KIRQL old;
                KeAcquireSpinLock(&shared.lock, &old);
                if (InterlockedIncrement(&shared.inside) != 1)
                    InterlockedIncrement(&shared.overlaps);
                shared.count++;
                if (round % 50 == 0)
                    KeStallExecutionProcessor(10); // the others block on the lock so virtual time can move
                InterlockedDecrement(&shared.inside);
                KeReleaseSpinLock(&shared.lock, old);
            }
        }));
    for (PKTHREAD thread : threads)
        exectest::Join(thread);
    EXPECT_EQ(800, shared.count);
    EXPECT_EQ(0, shared.overlaps);
}

TEST(SpinLocks, RecursionAndReleaseWithoutOwnershipAreReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    {
        hosttest::ExpectReport expect(host::Check::SpinLockRecursion);
        KeAcquireSpinLockAtDpcLevel(&lock); // reported instead of deadlocking
    }
    KeReleaseSpinLock(&lock, old);

    hosttest::ExpectReport expect(host::Check::SpinLockNotHeld);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner)
{
    KIRQL old;
    KeAcquireSpinLock(outer, &old);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, old);
}

TEST(SpinLocks, OppositeOrderIsReportedUntilTheLockIsInitialisedAgain)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    Nest(&a, &b);
    Nest(&a, &b);
    {
        hosttest::ExpectReport expect(host::Check::SpinLockOrder);
        Nest(&b, &a);
    }
    KeInitializeSpinLock(&b); // the memory is a new lock now
    Nest(&b, &a);
}

TEST(SpinLocks, InterlockedListsReturnThePreviousFirstEntry)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_EQ(nullptr, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(nullptr, ExInterlockedInsertTailList(&head, &a, &lock));
    EXPECT_EQ(&a, ExInterlockedInsertHeadList(&head, &b, &lock));
    EXPECT_EQ(&b, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(&a, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

} // namespace
