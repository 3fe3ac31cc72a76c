// The host clock in virtual time: waits and delays cost nothing, timers fire exactly when due, and a
// deadlock is reported instead of hanging.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/verifier.h>
#include <wdm.h>

#include <vector>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

using exectest::Ms;
using exectest::Relative;

constexpr LONGLONG kBoot = 134116992000000000LL; // 2026-01-01 as system time

TEST(Clock, SixtySecondWaitCompletesAtOnceWithTheClockSixtySecondsOn)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LONGLONG start = host::ClockNow();
    LARGE_INTEGER timeout = Relative(Ms(60000));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(start + Ms(60000), host::ClockNow());
}

TEST(Clock, QueriesFollowTheClock)
{
    host::ClockAdvance(Ms(1500));
    LONGLONG now = host::ClockNow();

    LARGE_INTEGER system, ticks, frequency;
    KeQuerySystemTime(&system);
    EXPECT_EQ(kBoot + now, system.QuadPart);
    KeQuerySystemTimePrecise(&system);
    EXPECT_EQ(kBoot + now, system.QuadPart);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(156250u, KeQueryTimeIncrement());
    EXPECT_EQ(now / 156250, ticks.QuadPart);
    EXPECT_EQ(static_cast<ULONGLONG>(now), KeQueryInterruptTime());
    ULONG64 qpc = 0;
    EXPECT_EQ(static_cast<ULONGLONG>(now), KeQueryInterruptTimePrecise(&qpc));
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, now);
    EXPECT_EQ(10000000, frequency.QuadPart);
    EXPECT_EQ(static_cast<ULONG64>(now), qpc);
}

TEST(Clock, DelaysAreRelativeOrAbsoluteAndStallsMoveTimeAtAnyIrql)
{
    LONGLONG start = host::ClockNow();
    LARGE_INTEGER interval = Relative(Ms(10));
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    EXPECT_EQ(start + Ms(10), host::ClockNow());

    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += Ms(5);
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &absolute));
    EXPECT_EQ(start + Ms(15), host::ClockNow());

    absolute.QuadPart -= Ms(100); // in the past: returns at once
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &absolute));
    EXPECT_EQ(start + Ms(15), host::ClockNow());

    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeStallExecutionProcessor(50);
    KeLowerIrql(old);
    EXPECT_EQ(start + Ms(15) + 500, host::ClockNow());
}

struct Load {
    KSPIN_LOCK lock = 0;
    LONG stop = 0;
    LONG rounds = 0;
};

struct Fired {
    KEVENT event;
    LONGLONG at = 0;
};

// Other registered threads keep doing host work (locks and stalls) while the timer is pending: it still
// fires at exactly 100 ms of host time.
TEST(Clock, TimerFiresExactlyWhenDueUnderLoad)
{
    Load load;
    KeInitializeSpinLock(&load.lock);
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 3; i++)
        threads.push_back(exectest::StartThread([&load, i] {
            while (!ReadAcquire(&load.stop)) {
                KIRQL old;
                KeAcquireSpinLock(&load.lock, &old);
                load.rounds++;
                KeStallExecutionProcessor(200 + 50 * i);
                KeReleaseSpinLock(&load.lock, old);
            }
        }));

    Fired fired;
    KeInitializeEvent(&fired.event, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* f = static_cast<Fired*>(context);
            f->at = host::ClockNow();
            KeSetEvent(&f->event, IO_NO_INCREMENT, FALSE);
        },
        &fired);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = host::ClockNow();
    KeSetTimer(&timer, Relative(Ms(100)), &dpc);

    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&fired.event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(start + Ms(100), fired.at);
    WriteRelease(&load.stop, 1);
    for (PKTHREAD thread : threads)
        exectest::Join(thread);
    EXPECT_GT(load.rounds, 100);
}

TEST(Clock, AdvanceStepsThroughEachDeadlineInOrder)
{
    struct Ticks {
        std::vector<LONGLONG> at;
    } ticks;
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Ticks*>(context)->at.push_back(host::ClockNow()); },
        &ticks);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = host::ClockNow();
    KeSetTimerEx(&timer, Relative(Ms(10)), 10, &dpc);
    host::ClockAdvance(Ms(35));
    KeCancelTimer(&timer);
    EXPECT_EQ((std::vector<LONGLONG>{start + Ms(10), start + Ms(20), start + Ms(30)}), ticks.at);
    EXPECT_EQ(start + Ms(35), host::ClockNow());
}

// With every registered thread blocked and nothing due, the deadlock is reported once; here the report
// itself releases the wait so that the test can go on.
TEST(Clock, DeadlockIsReportedOnce)
{
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    int hangs = 0;
    host::VerifierSetHandler([&hangs](const host::Report& report) {
        if (report.check != host::Check::HostHang) {
            ADD_FAILURE() << host::CheckName(report.check) << ": " << report.message;
            return;
        }
        hangs++;
        EXPECT_NE(std::string::npos, report.message.find("no time-out"));
        KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    });
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr));
    hosttest::InstallReportHandler();
    EXPECT_EQ(1, hangs);
    EXPECT_EQ(start, host::ClockNow());
}

} // namespace
