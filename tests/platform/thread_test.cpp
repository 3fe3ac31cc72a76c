// System threads: start, wait on the thread object, termination, callback checks and leak reports.
#include <gtest/gtest.h>

#include <host/image.h>
#include <wdm.h>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

TEST(Threads, RunAtPassiveWithTheirOwnIdentityAndSignalWhenDone)
{
    struct Seen {
        KIRQL irql = HIGH_LEVEL;
        HANDLE id = nullptr;
        PKTHREAD thread = nullptr;
    } seen;
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(
                                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client,
                                  [](PVOID context) {
                                      auto* s = static_cast<Seen*>(context);
                                      s->irql = KeGetCurrentIrql();
                                      s->id = PsGetCurrentThreadId();
                                      s->thread = KeGetCurrentThread();
                                  },
                                  &seen));
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(PASSIVE_LEVEL, seen.irql);
    EXPECT_EQ(client.UniqueThread, seen.id);
    EXPECT_EQ(PsGetCurrentProcessId(), client.UniqueProcess);
    EXPECT_NE(PsGetCurrentThreadId(), seen.id);
    EXPECT_EQ(object, seen.thread);
    EXPECT_EQ(reinterpret_cast<PETHREAD>(KeGetCurrentThread()), PsGetCurrentThread());
    ObDereferenceObject(object);

    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(Threads, TerminateUnwindsToTheEnd)
{
    bool after = false;
    PKTHREAD thread = exectest::StartThread([&after] {
        PsTerminateSystemThread(STATUS_SUCCESS);
        after = true;
    });
    exectest::Join(thread);
    EXPECT_FALSE(after);
}

TEST(Threads, PrioritiesAreRecorded)
{
    PKTHREAD self = KeGetCurrentThread();
    KPRIORITY initial = KeQueryPriorityThread(self);
    EXPECT_EQ(initial, KeSetPriorityThread(self, LOW_REALTIME_PRIORITY));
    EXPECT_EQ(LOW_REALTIME_PRIORITY, KeQueryPriorityThread(self));
    EXPECT_EQ(0, KeSetBasePriorityThread(self, 2));
    EXPECT_EQ(2, KeSetBasePriorityThread(self, 0));
    KeSetPriorityThread(self, initial);
}

TEST(Threads, ReturningAtRaisedIrqlOrHoldingALockIsReported)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        hosttest::ExpectReport expect(host::Check::CallbackIrqlMismatch);
        exectest::Join(exectest::StartThread([] { KeRaiseIrqlToDpcLevel(); }));
    }
    {
        // The lock is released for it, and the raised IRQL it left is reported too.
        hosttest::ExpectReport held(host::Check::CallbackLockHeld);
        hosttest::ExpectReport irql(host::Check::CallbackIrqlMismatch);
        exectest::Join(exectest::StartThread([] { KeAcquireSpinLockRaiseToDpc(&lock); }));
    }
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KeReleaseSpinLock(&lock, old);
}

TEST(Threads, AliveAtUnloadIsALeak)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PKTHREAD thread = exectest::StartThread(
        [&release] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    {
        hosttest::ExpectReport expect(host::Check::ThreadLeak);
        EXPECT_EQ(1, host::ImageCheckUnload(host::ImageMain()));
    }
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    exectest::Join(thread);
    EXPECT_EQ(0, host::ImageCheckUnload(host::ImageMain()));
}

} // namespace
