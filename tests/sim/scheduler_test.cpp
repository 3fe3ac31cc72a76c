// The device models' scheduler: actions at host times, on a registered thread or stepped by the caller.
#include <gtest/gtest.h>

#include <host/host.h>
#include <wdm.h>

#include <atomic>
#include <vector>

#include "sim/pci/scheduler.h"

namespace {

using sim::pci::ExecutionMode;
using sim::pci::Scheduler;

constexpr LONGLONG Ms(LONGLONG ms)
{
    return ms * 10000;
}

TEST(Scheduler, ThreadedActionsRunAtTheirHostTimeInOrder)
{
    Scheduler scheduler(ExecutionMode::Threaded);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    LONGLONG start = host::ClockNow();
    std::vector<std::pair<int, LONGLONG>> ran; // written by the scheduler's thread only
    std::atomic<bool> onThread{true};
    auto record = [&](int what) {
        return [&, what] {
            ran.emplace_back(what, host::ClockNow());
            onThread = onThread && scheduler.OnSchedulerThread();
        };
    };
    scheduler.At(start + Ms(5), record(3));
    scheduler.At(start + Ms(2), record(1));
    scheduler.At(start + Ms(2), record(2));
    Scheduler::Id cancelled = scheduler.At(start + Ms(3), record(99));
    EXPECT_TRUE(scheduler.Cancel(cancelled));
    EXPECT_FALSE(scheduler.Cancel(cancelled));
    scheduler.At(start + Ms(5), [&] {
        // Scheduled from an action, for later.
        scheduler.After(Ms(1), [&] {
            ran.emplace_back(4, host::ClockNow());
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        });
    });
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ((std::vector<std::pair<int, LONGLONG>>{
                  {1, start + Ms(2)}, {2, start + Ms(2)}, {3, start + Ms(5)}, {4, start + Ms(6)}}),
              ran);
    EXPECT_TRUE(onThread);
    EXPECT_FALSE(scheduler.OnSchedulerThread());
}

TEST(Scheduler, StepModeRunsWhatIsDueOnTheCaller)
{
    Scheduler scheduler(ExecutionMode::Step);
    LONGLONG start = host::ClockNow();
    std::vector<int> ran;
    scheduler.At(start + Ms(1), [&] { ran.push_back(2); });
    scheduler.At(start, [&] {
        ran.push_back(1);
        scheduler.At(start, [&] { ran.push_back(11); }); // due now: the same step runs it
    });
    EXPECT_TRUE(ran.empty()) << "never inline";
    EXPECT_EQ(2u, scheduler.Step());
    EXPECT_EQ((std::vector<int>{1, 11}), ran);
    EXPECT_EQ(1u, scheduler.Pending());
    EXPECT_EQ(start, host::ClockNow()) << "stepping does not move the clock";
    scheduler.At(start + Ms(10), [&] { ran.push_back(3); });
    EXPECT_EQ(2u, scheduler.Drain());
    EXPECT_EQ((std::vector<int>{1, 11, 2, 3}), ran);

    scheduler.At(start, [&] { ran.push_back(4); });
    scheduler.Stop();
    EXPECT_EQ(0u, scheduler.Step());
    scheduler.At(start, [&] { ran.push_back(5); });
    EXPECT_EQ(0u, scheduler.Pending()) << "nothing is scheduled once stopped";
}

} // namespace
