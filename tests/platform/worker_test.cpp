// System work items, draining deferred work, restarting the host, and real-time mode.
#include <gtest/gtest.h>

#include <host/executive.h>
#include <host/host.h>
#include <host/image.h>
#include <wdm.h>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

using exectest::Ms;
using exectest::Relative;

struct Job {
    host::WorkItem item;
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    HANDLE thread = nullptr;
};

void RunJob(host::WorkItem* item)
{
    Job* job = CONTAINING_RECORD(item, Job, item);
    job->runs++;
    job->irql = KeGetCurrentIrql();
    job->thread = PsGetCurrentThreadId();
}

void Init(Job& job)
{
    job.item.routine = RunJob;
    job.item.owner = reinterpret_cast<const void*>(RunJob);
}

struct Blocker {
    host::WorkItem item;
    KEVENT* release;
};

void Block(host::WorkItem* item)
{
    KeWaitForSingleObject(CONTAINING_RECORD(item, Blocker, item)->release, Executive, KernelMode, FALSE, nullptr);
}

// Queues items that each hold a worker until `release` is set.
template <size_t N> void QueueBlockers(Blocker (&blockers)[N], KEVENT* release)
{
    KeInitializeEvent(release, NotificationEvent, FALSE);
    for (Blocker& blocker : blockers) {
        blocker.item.routine = Block;
        blocker.release = release;
        EXPECT_TRUE(host::WorkQueue(&blocker.item));
    }
}

TEST(Work, ItemsRunOnceAtPassiveOnAWorkerAndCanBeCancelled)
{
    // Both workers are held inside an item, so the next ones stay queued while this thread runs.
    KEVENT release;
    Blocker blockers[2];
    QueueBlockers(blockers, &release);
    host::ClockAdvance(0);

    Job a, b, c;
    Init(a);
    Init(b);
    Init(c);
    EXPECT_TRUE(host::WorkQueue(&a.item));
    EXPECT_FALSE(host::WorkQueue(&a.item));
    EXPECT_TRUE(host::WorkQueue(&b.item));
    EXPECT_TRUE(host::WorkQueue(&c.item));
    EXPECT_TRUE(host::WorkCancel(&b.item));
    EXPECT_FALSE(host::WorkCancel(&b.item));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    host::Quiesce();
    EXPECT_EQ(1, a.runs);
    EXPECT_EQ(0, b.runs);
    EXPECT_EQ(1, c.runs);
    EXPECT_EQ(PASSIVE_LEVEL, a.irql);
    EXPECT_NE(PsGetCurrentThreadId(), a.thread);
    EXPECT_FALSE(a.item.queued);
}

// Items that wait for long hold their workers; work queued behind them gets another worker before
// time moves on, so it runs while they still wait.
TEST(Work, ThePoolGrowsWhenEveryWorkerIsBlockedInItsItem)
{
    KEVENT release;
    Blocker blockers[3];
    QueueBlockers(blockers, &release);
    Job job;
    Init(job);
    EXPECT_TRUE(host::WorkQueue(&job.item));
    EXPECT_TRUE(hosttest::WaitUntil([&] { return job.runs == 1; }, Ms(10), Ms(1)));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    host::Quiesce();
    EXPECT_EQ(PASSIVE_LEVEL, job.irql);
}

TEST(Work, ItemAliveAtUnloadIsALeak)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    Blocker blocked{{}, &release};
    blocked.item.routine = Block;
    blocked.item.owner = reinterpret_cast<const void*>(Block);
    host::WorkQueue(&blocked.item);
    host::ClockAdvance(0); // running now, blocked on the event
    {
        hosttest::ExpectReport expect(host::Check::WorkItemLeak);
        EXPECT_EQ(1, host::ImageCheckUnload(host::ImageMain()));
    }
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    host::Quiesce();
    EXPECT_EQ(0, host::ImageCheckUnload(host::ImageMain()));
}

struct Chain {
    host::WorkItem item;
    KDPC dpc;
    KTIMER later;
    bool dpcRan = false;
};

// Quiesce drains a work item that queues a DPC, but does not move time to a timer not yet due.
TEST(Quiesce, DrainsDeferredWorkWithoutAdvancingTime)
{
    Chain chain;
    KeInitializeTimer(&chain.later);
    KeInitializeDpc(
        &chain.dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Chain*>(context)->dpcRan = true; }, &chain);
    chain.item.routine = [](host::WorkItem* item) {
        Chain* c = CONTAINING_RECORD(item, Chain, item);
        KeSetTimer(&c->later, Relative(Ms(1000)), nullptr);
        KeInsertQueueDpc(&c->dpc, nullptr, nullptr);
    };
    LONGLONG start = host::ClockNow();
    host::WorkQueue(&chain.item);
    host::Quiesce();
    EXPECT_TRUE(chain.dpcRan);
    EXPECT_EQ(start, host::ClockNow());
    EXPECT_FALSE(KeReadStateTimer(&chain.later));
    KeCancelTimer(&chain.later);
}

TEST(HostLifetime, RestartsWithAnotherConfiguration)
{
    host::Shutdown();
    EXPECT_FALSE(host::IsStarted());
    host::Config config;
    config.processors = 3;
    config.workerThreads = 1;
    host::Start(config);
    EXPECT_TRUE(host::IsStarted());
    EXPECT_EQ(3u, KeQueryActiveProcessorCount(nullptr));
    EXPECT_EQ(0, host::ClockNow()); // a new boot
    host::Shutdown();
    host::Start(host::Config{});
    EXPECT_EQ(2u, KeQueryActiveProcessorCount(nullptr));
}

// Real mode: wall-clock time, scaled; a timer thread fires timers. Nothing here depends on how fast.
TEST(HostLifetime, RealClockFiresTimersAndEndsWaits)
{
    host::Shutdown();
    host::Config config;
    config.clock = host::ClockMode::Real;
    config.scale = 1000.0;
    host::Start(config);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KDPC dpc;
    bool ran = false;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) { *static_cast<bool*>(context) = true; }, &ran);
    KeSetTimer(&timer, Relative(Ms(100)), &dpc);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
    EXPECT_GE(host::ClockNow(), Ms(100));
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(Ms(50));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout));
    host::Shutdown(); // quiesces: the DPC has run
    EXPECT_TRUE(ran);
    host::Start(host::Config{});
}

} // namespace
