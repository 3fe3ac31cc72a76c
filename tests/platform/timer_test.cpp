// Kernel timers: due times, cancelling, synchronization timers, expiry DPCs and leak reports.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/image.h>
#include <wdm.h>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

using exectest::Ms;
using exectest::Relative;

struct Expiry {
    KDPC dpc;
    int count = 0;
    LONGLONG systemTime = 0;
};

void OnExpiry(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    auto* expiry = static_cast<Expiry*>(context);
    expiry->count++;
    LARGE_INTEGER time;
    time.LowPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(argument1));
    time.HighPart = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(argument2));
    expiry->systemTime = time.QuadPart;
}

TEST(Timers, SignalAndQueueTheirDpcWhenDue)
{
    Expiry expiry;
    KeInitializeDpc(&expiry.dpc, OnExpiry, &expiry);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = host::ClockNow();
    EXPECT_FALSE(KeSetTimer(&timer, Relative(Ms(100)), &expiry.dpc));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(start + Ms(100), host::ClockNow());
    EXPECT_TRUE(KeReadStateTimer(&timer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(1, expiry.count);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, expiry.systemTime);
    EXPECT_FALSE(KeCancelTimer(&timer)); // expired: no longer set
}

TEST(Timers, SettingAgainOrCancellingReportsWhetherItWasSet)
{
    Expiry expiry;
    KeInitializeDpc(&expiry.dpc, OnExpiry, &expiry);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    EXPECT_FALSE(KeSetTimerEx(&timer, Relative(Ms(10)), 0, &expiry.dpc));
    EXPECT_TRUE(KeSetTimerEx(&timer, Relative(Ms(20)), 0, &expiry.dpc));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    host::ClockAdvance(Ms(50));
    EXPECT_EQ(0, expiry.count);
}

TEST(Timers, DueTimeInThePastFiresAtOnce)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= Ms(1);
    LONGLONG start = host::ClockNow();
    KeSetTimer(&timer, past, nullptr);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(start, host::ClockNow());
}

TEST(Timers, SynchronizationTimerResetsWhenAWaitIsSatisfied)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimerEx(&timer, Relative(Ms(5)), 5, nullptr);
    LONGLONG start = host::ClockNow();
    for (int period = 1; period <= 3; period++) {
        EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(start + Ms(5) * period, host::ClockNow());
        EXPECT_FALSE(KeReadStateTimer(&timer));
    }
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST(Timers, StillSetAtUnloadIsALeak)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(Ms(1000)), nullptr);
    {
        hosttest::ExpectReport expect(host::Check::TimerLeak);
        EXPECT_EQ(1, host::ImageCheckUnload(host::ImageMain()));
    }
    KeCancelTimer(&timer);
    EXPECT_EQ(0, host::ImageCheckUnload(host::ImageMain()));
}

} // namespace
