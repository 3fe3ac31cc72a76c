// Framework work items, timers and DPCs on the host's workers, processors and clock.
#include <gtest/gtest.h>

#include <host/host.h>
#include <wdf.h>

#include <atomic>
#include <vector>

#include "host_test.h"

namespace
{

struct Record {
    std::atomic<int> runs{0};
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    std::vector<LONGLONG> times;
    std::vector<KIRQL> irqls;
    KEVENT done;
    int target = 1;
};
Record* g_record;

void Note(Record& r)
{
    r.times.push_back(host::ClockNow());
    r.irqls.push_back(KeGetCurrentIrql());
    if (++r.runs == r.target)
        KeSetEvent(&r.done, IO_NO_INCREMENT, FALSE);
}

void WaitDone(Record& r)
{
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr));
}

class DeferredTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        record_ = std::make_unique<Record>();
        g_record = record_.get();
        KeInitializeEvent(&record_->done, NotificationEvent, FALSE);
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, WdfDriverCreate(&driverObject_, &path_, nullptr, &config, &driver_));
    }
    void TearDown() override
    {
        driverObject_.DriverUnload(&driverObject_);
        host::Quiesce();
    }
    WDF_OBJECT_ATTRIBUTES Attributes(WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = driver_;
        attributes.ExecutionLevel = level;
        return attributes;
    }

    std::unique_ptr<Record> record_;
    DRIVER_OBJECT driverObject_{};
    UNICODE_STRING path_ =
        RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\FxDeferred");
    WDFDRIVER driver_ = nullptr;
};

// ---- work items

WDFWORKITEM g_item;

void SlowWork(WDFWORKITEM)
{
    Record& r = *g_record;
    int now = ++r.concurrent;
    int seen = r.maxConcurrent.load();
    while (now > seen && !r.maxConcurrent.compare_exchange_weak(seen, now)) {
    }
    if (r.runs.load() == 0)
        WdfWorkItemEnqueue(g_item); // enqueued while running: runs once more, afterwards
    LARGE_INTEGER delay;
    delay.QuadPart = -10000; // 1 ms, so other workers get a chance to run it concurrently if they could
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    --r.concurrent;
    Note(r);
}

TEST_F(DeferredTest, WorkItemCoalescesRerunsAndNeverRunsConcurrently)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, SlowWork);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    ASSERT_EQ(STATUS_SUCCESS, WdfWorkItemCreate(&config, &attributes, &g_item));
    EXPECT_EQ(driver_, WdfWorkItemGetParentObject(g_item));
    record_->target = 2;
    WdfWorkItemEnqueue(g_item);
    WdfWorkItemEnqueue(g_item); // already queued: no effect
    WdfWorkItemFlush(g_item);
    EXPECT_EQ(2, record_->runs.load());
    EXPECT_EQ(1, record_->maxConcurrent.load());
    EXPECT_EQ((std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}), record_->irqls);
}

void FlushSelf(WDFWORKITEM item)
{
    WdfWorkItemFlush(item);
    WdfObjectDelete(item); // deferred until this callback returns
    Note(*g_record);
}

TEST_F(DeferredTest, WorkItemFlushedFromItsOwnCallbackIsReportedAndSelfDeleteIsDeferred)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, FlushSelf);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    WDFWORKITEM item;
    ASSERT_EQ(STATUS_SUCCESS, WdfWorkItemCreate(&config, &attributes, &item));
    hosttest::ExpectReport expect(host::Check::FlushFromOwnCallback);
    WdfWorkItemEnqueue(item);
    WaitDone(*record_);
    host::Quiesce();
}

// ---- timers

void TimerTick(WDFTIMER)
{
    Note(*g_record);
}

TEST_F(DeferredTest, TimersFireOnHostTimeAtTheirExecutionLevel)
{
    struct {
        WDF_EXECUTION_LEVEL level;
        KIRQL expected;
    } cases[] = {{WdfExecutionLevelInheritFromParent, DISPATCH_LEVEL},
                 {WdfExecutionLevelPassive, PASSIVE_LEVEL}};
    for (auto& c : cases) {
        record_->runs = 0;
        record_->times.clear();
        record_->irqls.clear();
        KeClearEvent(&record_->done);
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, TimerTick);
        WDF_OBJECT_ATTRIBUTES attributes = Attributes(c.level);
        WDFTIMER timer;
        ASSERT_EQ(STATUS_SUCCESS, WdfTimerCreate(&config, &attributes, &timer));
        LONGLONG start = host::ClockNow();
        EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(100)));
        WaitDone(*record_);
        ASSERT_EQ(1u, record_->times.size());
        EXPECT_EQ(start + 100 * 10000, record_->times[0]);
        EXPECT_EQ(c.expected, record_->irqls[0]);
        WdfObjectDelete(timer);
    }
}

TEST_F(DeferredTest, PeriodicTimerStopsAndReportsWhetherItWasSet)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT_PERIODIC(&config, TimerTick, 10);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    WDFTIMER timer;
    ASSERT_EQ(STATUS_SUCCESS, WdfTimerCreate(&config, &attributes, &timer));
    record_->target = 3;
    LONGLONG start = host::ClockNow();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    WaitDone(*record_);
    EXPECT_TRUE(WdfTimerStop(timer, TRUE));
    EXPECT_FALSE(WdfTimerStop(timer, TRUE));
    ASSERT_EQ(3u, record_->times.size());
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(start + (i + 1) * 10 * 10000, record_->times[i]);
    EXPECT_EQ(3, record_->runs.load());
}

TEST_F(DeferredTest, TimerDueInThePastFiresAtOnce)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, TimerTick);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    WDFTIMER timer;
    ASSERT_EQ(STATUS_SUCCESS, WdfTimerCreate(&config, &attributes, &timer));
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG start = host::ClockNow();
    WdfTimerStart(timer, now.QuadPart - 1); // absolute, already past
    WaitDone(*record_);
    EXPECT_EQ(start, record_->times[0]);
}

void StopSelf(WDFTIMER timer)
{
    WdfTimerStop(timer, TRUE);
    Note(*g_record);
}

TEST_F(DeferredTest, TimerStoppedWithWaitFromItsOwnCallbackIsReported)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, StopSelf);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    WDFTIMER timer;
    ASSERT_EQ(STATUS_SUCCESS, WdfTimerCreate(&config, &attributes, &timer));
    hosttest::ExpectReport expect(host::Check::FlushFromOwnCallback);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
    WaitDone(*record_);
}

// ---- DPCs and automatic serialisation

void DpcRun(WDFDPC)
{
    Note(*g_record);
}

TEST_F(DeferredTest, DpcRunsAtDispatchLevel)
{
    WDF_DPC_CONFIG config;
    WDF_DPC_CONFIG_INIT(&config, DpcRun);
    WDF_OBJECT_ATTRIBUTES attributes = Attributes();
    WDFDPC dpc;
    ASSERT_EQ(STATUS_SUCCESS, WdfDpcCreate(&config, &attributes, &dpc));
    ASSERT_NE(nullptr, WdfDpcWdmGetDpc(dpc));
    EXPECT_EQ(driver_, WdfDpcGetParentObject(dpc));

    EXPECT_TRUE(WdfDpcEnqueue(dpc));
    WaitDone(*record_);
    EXPECT_FALSE(WdfDpcCancel(dpc, TRUE)); // it ran: nothing left to cancel
    EXPECT_EQ(1, record_->runs.load());
    EXPECT_EQ(DISPATCH_LEVEL, record_->irqls[0]);
}

WDFOBJECT g_owner;
std::atomic<bool> g_ownerLocked;

void CheckSerialized(WDFWORKITEM)
{
    // The owner's lock is held around the callback: a poll for it from here would deadlock, so check
    // the flag the test sets while it holds the lock itself.
    EXPECT_FALSE(g_ownerLocked.load());
    Note(*g_record);
}

TEST_F(DeferredTest, AutomaticSerializationTakesTheOwnersLock)
{
    WDF_OBJECT_ATTRIBUTES ownerAttributes = Attributes(WdfExecutionLevelPassive);
    ownerAttributes.SynchronizationScope = WdfSynchronizationScopeQueue;
    ASSERT_EQ(STATUS_SUCCESS, WdfObjectCreate(&ownerAttributes, &g_owner));

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, CheckSerialized);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = g_owner;
    WDFWORKITEM item;
    ASSERT_EQ(STATUS_SUCCESS, WdfWorkItemCreate(&config, &attributes, &item));

    WdfObjectAcquireLock(g_owner);
    g_ownerLocked = true;
    WdfWorkItemEnqueue(item);
    LARGE_INTEGER delay;
    delay.QuadPart = -50 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay); // the item is blocked on the lock meanwhile
    EXPECT_EQ(0, record_->runs.load());
    g_ownerLocked = false;
    WdfObjectReleaseLock(g_owner);
    WaitDone(*record_);

    // A dispatch-level DPC cannot be serialised with a passive owner.
    WDF_DPC_CONFIG dpcConfig;
    WDF_DPC_CONFIG_INIT(&dpcConfig, DpcRun);
    WDFDPC dpc;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, WdfDpcCreate(&dpcConfig, &attributes, &dpc));
}

} // namespace
