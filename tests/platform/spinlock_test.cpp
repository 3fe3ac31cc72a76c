// IRQL tracking and spin locks: raising, mutual exclusion, and the verifier's lock checks; the same
// lock path with the verifier's bookkeeping off.
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

// Four threads take one lock in turn, each form of acquire in its turn, with a stall under the lock now
// and then: the others block on the lock, and virtual time must still move for the stall to end. The
// plain counter is what ThreadSanitizer checks the acquire/release ordering on.
void ContendAndCount(int rounds)
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
        threads.push_back(exectest::StartThread([&shared, rounds, i] {
            for (int round = 0; round < rounds; round++) {
                const int form = (round + i) % 3;
                KIRQL old = PASSIVE_LEVEL;
                if (form == 0) {
                    KeAcquireSpinLock(&shared.lock, &old);
                } else if (form == 1) {
                    old = KeAcquireSpinLockRaiseToDpc(&shared.lock);
                } else {
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                    KeAcquireSpinLockAtDpcLevel(&shared.lock);
                }
                EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
                if (InterlockedIncrement(&shared.inside) != 1)
                    InterlockedIncrement(&shared.overlaps);
                shared.count++;
                if (round % 50 == 0)
                    KeStallExecutionProcessor(10);
                InterlockedDecrement(&shared.inside);
                if (form == 2) {
                    KeReleaseSpinLockFromDpcLevel(&shared.lock);
                    KeLowerIrql(old);
                } else {
                    KeReleaseSpinLock(&shared.lock, old);
                }
                EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
            }
        }));
    for (PKTHREAD thread : threads)
        exectest::Join(thread);
    EXPECT_EQ(4 * rounds, shared.count);
    EXPECT_EQ(0, shared.overlaps);
}

TEST(SpinLocks, ExcludeEachOtherAcrossThreadsEvenWhileTheOwnerStalls) { ContendAndCount(200); }

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

using exectest::VerifierOff;

TEST_P(VerifierOff, SpinLocksExcludeEachOtherUnderContentionEvenWhileTheOwnerStalls) { ContendAndCount(2000); }

TEST_P(VerifierOff, InterlockedListsKeepEveryEntryUnderContention)
{
    struct Shared {
        KSPIN_LOCK lock;
        LIST_ENTRY head;
        LIST_ENTRY entries[4][100];
    } shared;
    KeInitializeSpinLock(&shared.lock);
    InitializeListHead(&shared.head);
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 4; i++)
        threads.push_back(exectest::StartThread([&shared, i] {
            // Each thread moves its entries through the list: in at either end, out at the head.
            for (int round = 0; round < 100; round++) {
                if (round % 2 == 0)
                    ExInterlockedInsertTailList(&shared.head, &shared.entries[i][round], &shared.lock);
                else
                    ExInterlockedInsertHeadList(&shared.head, &shared.entries[i][round], &shared.lock);
                if (round % 4 == 3) {
                    EXPECT_NE(nullptr, ExInterlockedRemoveHeadList(&shared.head, &shared.lock));
                }
            }
        }));
    for (PKTHREAD thread : threads)
        exectest::Join(thread);
    int left = 0;
    while (ExInterlockedRemoveHeadList(&shared.head, &shared.lock) != nullptr)
        left++;
    EXPECT_EQ(4 * 75, left);
}

// IRQL stays the thread's own, and an invalid change is made as asked: nothing checks it.
TEST_P(VerifierOff, IrqlIsPerThreadAndChangesGoUnchecked)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL other = HIGH_LEVEL;
    PKTHREAD thread = exectest::StartThread([&other] {
        other = KeGetCurrentIrql();
        KIRQL mine;
        KeRaiseIrql(HIGH_LEVEL, &mine);
        KeLowerIrql(mine);
    });
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeRaiseIrql(APC_LEVEL, &old); // below: the verifier would refuse it
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    KeLowerIrql(PASSIVE_LEVEL);
    exectest::Join(thread);
    EXPECT_EQ(PASSIVE_LEVEL, other);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

INSTANTIATE_TEST_SUITE_P(Clocks, VerifierOff, testing::Values(host::ClockMode::Virtual, host::ClockMode::Real),
                         exectest::ClockName);

} // namespace
