// Events and waits: notification against synchronization semantics, wait-any and wait-all, time-outs,
// and the verifier's wait checks.
#include <gtest/gtest.h>

#include <host/host.h>
#include <wdm.h>

#include <vector>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

using exectest::Ms;
using exectest::Relative;

struct Waiters {
    KEVENT event;
    LONG woken = 0;
    std::vector<PKTHREAD> threads;

    // Starts `count` threads that each wait on the event (up to 1 s), then lets them all block.
    void Start(int count)
    {
        for (int i = 0; i < count; i++)
            threads.push_back(exectest::StartThread([this] {
                LARGE_INTEGER timeout = Relative(Ms(1000));
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_WAIT_0)
                    InterlockedIncrement(&woken);
            }));
        host::ClockAdvance(0);
    }
    void Join()
    {
        for (PKTHREAD thread : threads)
            exectest::Join(thread);
    }
};

TEST(Events, NotificationWakesEveryWaiterSynchronizationWakesOne)
{
    struct Case {
        EVENT_TYPE type;
        LONG stateAfterSet;
        LONG woken;
    } cases[] = {{NotificationEvent, 1, 3}, {SynchronizationEvent, 0, 1}};
    for (const Case& c : cases) {
        Waiters waiters;
        KeInitializeEvent(&waiters.event, c.type, FALSE);
        waiters.Start(3);
        EXPECT_EQ(0, KeSetEvent(&waiters.event, IO_NO_INCREMENT, FALSE));
        EXPECT_EQ(c.stateAfterSet, KeReadStateEvent(&waiters.event)) << c.type;
        waiters.Join(); // the others time out
        EXPECT_EQ(c.woken, waiters.woken) << c.type;
    }
}

TEST(Events, SetResetAndPollReturnPreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll)); // auto-reset
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(0, KeResetEvent(&event));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST(Waits, AnyReturnsLowestSignalledIndexAllNeedsEvery)
{
    KEVENT events[3];
    for (KEVENT& event : events)
        KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    LARGE_INTEGER poll{};
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_WAIT_1, KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr));

    // A wait-all blocked on the last object completes when it is set, consuming synchronization objects.
    KeInitializeEvent(&events[0], SynchronizationEvent, FALSE);
    PKTHREAD setter = exectest::StartThread([&events] {
        LARGE_INTEGER delay = Relative(Ms(5));
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
    });
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr));
    EXPECT_EQ(start + Ms(5), host::ClockNow());
    EXPECT_EQ(0, KeReadStateEvent(&events[0]));
    EXPECT_EQ(1, KeReadStateEvent(&events[1]));
    exectest::Join(setter);
}

TEST(Waits, WaiterWokenBySignalGetsTheIndexOfTheObject)
{
    KEVENT events[2];
    for (KEVENT& event : events)
        KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID objects[2] = {&events[0], &events[1]};
    PKTHREAD setter = exectest::StartThread([&events] { KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += Ms(1000);
    EXPECT_EQ(STATUS_WAIT_1, KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &absolute, nullptr));
    exectest::Join(setter);
}

TEST(Waits, PollingIsAllowedAtDispatchLevelBlockingIsNot)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
    {
        hosttest::ExpectReport expect(host::Check::BlockingWaitAtHighIrql);
        LARGE_INTEGER timeout = Relative(Ms(1));
        EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    }
    KeLowerIrql(old);
}

TEST(Waits, TooManyObjectsAreRefused)
{
    std::vector<KEVENT> events(MAXIMUM_WAIT_OBJECTS + 1);
    std::vector<PVOID> objects;
    for (KEVENT& event : events) {
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        objects.push_back(&event);
    }
    std::vector<KWAIT_BLOCK> blocks(MAXIMUM_WAIT_OBJECTS + 1);
    struct Case {
        ULONG count;
        PKWAIT_BLOCK blocks;
        NTSTATUS status;
    } cases[] = {
        {THREAD_WAIT_OBJECTS, nullptr, STATUS_WAIT_0},
        {THREAD_WAIT_OBJECTS + 1, nullptr, STATUS_INVALID_PARAMETER},
        {MAXIMUM_WAIT_OBJECTS, blocks.data(), STATUS_WAIT_0},
        {MAXIMUM_WAIT_OBJECTS + 1, blocks.data(), STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        std::unique_ptr<hosttest::ExpectReport> expect;
        if (c.status != STATUS_WAIT_0)
            expect = std::make_unique<hosttest::ExpectReport>(host::Check::WaitTooManyObjects);
        EXPECT_EQ(c.status, KeWaitForMultipleObjects(c.count, objects.data(), WaitAll, Executive, KernelMode, FALSE,
                                                     nullptr, c.blocks))
            << c.count;
    }
}

TEST(Waits, UninitialisedObjectIsReported)
{
    KEVENT event{};
    hosttest::ExpectReport expect(host::Check::WaitUninitialisedObject);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
}

TEST(Events, ReinitialisingWithWaitersIsReportedAndTheWaitersSurvive)
{
    Waiters waiters;
    KeInitializeEvent(&waiters.event, NotificationEvent, FALSE);
    waiters.Start(1);
    {
        hosttest::ExpectReport expect(host::Check::EventReinitWithWaiters);
        KeInitializeEvent(&waiters.event, NotificationEvent, FALSE);
    }
    KeSetEvent(&waiters.event, IO_NO_INCREMENT, FALSE);
    waiters.Join();
    EXPECT_EQ(1, waiters.woken);
}

} // namespace
