// The C runtime's calendar time follows the host clock.
#include <gtest/gtest.h>

#include <time.h>

#include <host/host.h>
#include <wdm.h>

namespace {

TEST(CrtTime, CalendarTimeFollowsTheHostClock)
{
    time_t before = time(nullptr);
    EXPECT_GE(before, 1767225600); // the host boots on 2026-01-01
    LARGE_INTEGER delay;
    delay.QuadPart = -90LL * 10000000; // 90 s of host time, at once in virtual time
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    time_t after = time(nullptr);
    time_t stored = 0;
    EXPECT_EQ(after, time(&stored));
    EXPECT_EQ(after, stored);
    EXPECT_EQ(90, after - before);
}

} // namespace
