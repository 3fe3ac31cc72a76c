// Tasklets, work items, the three timer kinds and system threads of the kernel support layer: the level
// and serialisation their parent gives them, their contexts, and deletion with their parent queue.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/verifier.h>

#include <atomic>
#include <mutex>

#include "device_fixture.h"
#include "host_test.h"
#include "kal.h"

namespace
{

constexpr LONGLONG kMs = 10000;

struct Seen {
    std::atomic<int> runs{0};
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    KIRQL irql = 0xFF;
    PVOID data = nullptr;
    LONG value = 0;
    LONGLONG at = 0;
    KEVENT done;
};
Seen* g_seen;

void Note(PVOID data, LONG value)
{
    // Two work items may note side by side.
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    Seen& seen = *g_seen;
    seen.irql = KeGetCurrentIrql();
    seen.data = data;
    seen.value = value;
    seen.at = host::ClockNow();
    seen.runs++;
    KeSetEvent(&seen.done, IO_NO_INCREMENT, FALSE);
}

void TaskletFunc(WDFDPC dpc)
{
    PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(dpc);
    Note(context->data, context->value);
}

void SlowWork(WDFWORKITEM work)
{
    int now = ++g_seen->concurrent;
    if (now > g_seen->maxConcurrent)
        g_seen->maxConcurrent = now;
    msleep(50);
    --g_seen->concurrent;
    PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(work);
    Note(context->data, context->value);
}

void CtxTimerFunc(WDFTIMER timer)
{
    Note(WdfObjectGet_WWAN_OBJ_CONTEXT(timer)->data, 0);
}

void PlainTimerFunc(WDFTIMER timer)
{
    Note(timer, 0);
}

void ExTimerFunc(WDFTIMER* timer)
{
    Note(timer, 0);
}

class DeferredTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        g_seen = &seen_;
        KeInitializeEvent(&seen_.done, NotificationEvent, FALSE);
        DeviceTest::SetUp();
    }
    void WaitRun()
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -1000 * kMs;
        ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&seen_.done, Executive, KernelMode, FALSE, &timeout));
        KeClearEvent(&seen_.done);
    }
    // The parent queue made for an object is gone: its handle is no longer a live object.
    static void ExpectGone(WDFOBJECT parent)
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter);
        EXPECT_EQ(nullptr, WdfIoQueueGetDevice(static_cast<WDFQUEUE>(parent)));
    }
    Seen seen_;
};

TEST_F(DeferredTest, TaskletRunsAtDispatchWithItsDataAndValue)
{
    int data;
    WDFDPC tasklet = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, _tasklet_init(&tasklet, TaskletFunc, &data, 42));
    WDFOBJECT parent = WdfDpcGetParentObject(tasklet);
    EXPECT_EQ(Device(), WdfIoQueueGetDevice(static_cast<WDFQUEUE>(parent)));
    WdfDpcEnqueue(tasklet);
    WaitRun();
    EXPECT_EQ(DISPATCH_LEVEL, seen_.irql);
    EXPECT_EQ(&data, seen_.data);
    EXPECT_EQ(42, seen_.value);
    tasklet_kill(&tasklet);
    EXPECT_EQ(nullptr, tasklet);
    ExpectGone(parent);
    tasklet_kill(&tasklet);
}

TEST_F(DeferredTest, WorkItemRunsAtPassiveSerialisedAndFlushWaitsForIt)
{
    int data;
    WDFWORKITEM works[2] = {};
    for (WDFWORKITEM& work : works)
        ASSERT_EQ(STATUS_SUCCESS, workitem_init(&work, SlowWork, &data, 7));
    // One item enqueued while it runs runs once more, never beside itself.
    WdfWorkItemEnqueue(works[0]);
    host::ClockAdvance(0);
    WdfWorkItemEnqueue(works[0]);
    WdfWorkItemFlush(works[0]);
    EXPECT_EQ(2, seen_.runs.load());
    EXPECT_EQ(1, seen_.maxConcurrent.load());
    EXPECT_EQ(PASSIVE_LEVEL, seen_.irql);
    EXPECT_EQ(&data, seen_.data);
    EXPECT_EQ(7, seen_.value);
    // Two items have a lock each: they run side by side.
    LONGLONG start = host::ClockNow();
    WdfWorkItemEnqueue(works[0]);
    WdfWorkItemEnqueue(works[1]);
    WdfWorkItemFlush(works[0]);
    WdfWorkItemFlush(works[1]);
    EXPECT_EQ(4, seen_.runs.load());
    EXPECT_EQ(50 * kMs, host::ClockNow() - start);
    WDFOBJECT parent = WdfWorkItemGetParentObject(works[0]);
    WdfWorkItemEnqueue(works[0]);
    workitem_destroy(&works[0]); // waits for the queued run
    EXPECT_EQ(5, seen_.runs.load());
    ExpectGone(parent);
    workitem_destroy(&works[1]);
}

TEST_F(DeferredTest, TimersRunOnceAtPassive)
{
    int data;
    WDFTIMER ctx = nullptr, plain = nullptr, ex = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, win_create_timer_ctx(&ctx, CtxTimerFunc, false, &data));
    ASSERT_EQ(STATUS_SUCCESS, win_create_timer(&plain, PlainTimerFunc, true));
    ASSERT_EQ(STATUS_SUCCESS, win_create_timer_ex(&ex, ExTimerFunc, false));
    EXPECT_EQ(Device(), WdfTimerGetParentObject(plain));
    EXPECT_EQ(Device(), WdfTimerGetParentObject(ex));

    struct Case {
        const char* what;
        WDFTIMER timer;
        PVOID data;
    };
    const Case cases[] = {
        {"context timer", ctx, &data},
        {"device timer", plain, plain},
        {"callback timer", ex, &ex},
    };
    for (const Case& c : cases) {
        seen_.runs = 0;
        LONGLONG start = host::ClockNow();
        WdfTimerStart(c.timer, -20 * kMs);
        WaitRun();
        EXPECT_EQ(start + 20 * kMs, seen_.at) << c.what;
        EXPECT_EQ(PASSIVE_LEVEL, seen_.irql) << c.what;
        EXPECT_EQ(c.data, seen_.data) << c.what;
        host::ClockAdvance(100 * kMs);
        EXPECT_EQ(1, seen_.runs.load()) << c.what;
    }

    // A due time already past fires at once.
    LONGLONG now = host::ClockNow();
    WdfTimerStart(ctx, 1);
    WaitRun();
    EXPECT_EQ(now, seen_.at);

    WDFOBJECT parent = WdfTimerGetParentObject(ctx);
    win_delete_timer(&ctx);
    ExpectGone(parent);
    win_delete_timer(&plain);
    win_delete_timer(&ex);
    EXPECT_EQ(nullptr, plain);
}

TEST_F(DeferredTest, CallbackTimerWithoutItsVariableDoesNothing)
{
    WDFTIMER ex = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, win_create_timer_ex(&ex, ExTimerFunc, false));
    WdfObjectGet_TIMER_CB_CONTEXT(ex)->timer = nullptr;
    _TIMER_EX_CB(ex);
    EXPECT_EQ(0, seen_.runs.load());
    win_delete_timer(&ex);
}

TEST_F(DeferredTest, MadeAgainAndDeletedLeavesTheDeviceAsItWas)
{
    // What a reset does to each object: delete and make again. The old parent queues go each time.
    std::vector<WDFOBJECT> parents;
    for (int round = 0; round < 3; round++) {
        WDFDPC tasklet = nullptr;
        WDFWORKITEM work = nullptr;
        WDFTIMER timer = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, _tasklet_init(&tasklet, TaskletFunc, nullptr, 0));
        ASSERT_EQ(STATUS_SUCCESS, workitem_init(&work, SlowWork, nullptr, 0));
        ASSERT_EQ(STATUS_SUCCESS, win_create_timer_ctx(&timer, CtxTimerFunc, false, nullptr));
        parents.insert(parents.end(), {WdfDpcGetParentObject(tasklet), WdfWorkItemGetParentObject(work),
                                       WdfTimerGetParentObject(timer)});
        tasklet_kill(&tasklet);
        workitem_destroy(&work);
        win_delete_timer(&timer);
    }
    for (WDFOBJECT parent : parents)
        ExpectGone(parent);
}

void ThreadStart(PVOID context)
{
    Note(context, 0);
}

TEST_F(DeferredTest, SystemThreadRunsItsStartRoutine)
{
    int context;
    HANDLE thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, win_create_thread(&thread, ThreadStart, &context));
    ASSERT_NE(nullptr, thread);
    WaitRun();
    EXPECT_EQ(&context, seen_.data);
    EXPECT_EQ(PASSIVE_LEVEL, seen_.irql);
    PVOID object;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(object);
    ZwClose(thread);
}

// ---- waits and delays, on the host clock

class WaitTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (KEVENT& event : events_)
            KeInitializeEvent(&event, NotificationEvent, FALSE);
    }
    KEVENT events_[4];
};

TEST_F(WaitTest, SingleEventWaits)
{
    struct Case {
        const char* what;
        bool signalled;
        std::function<LONG(PKEVENT)> wait; // the helper's answer
        LONG expected;
        LONGLONG waited;
        bool stillSet;
    };
    const Case cases[] = {
        {"skip", false,
         [](PKEVENT e) { return (LONG)win_wait_event_interruptible_timeout(e, true, -10 * kMs); }, 1, 0,
         false},
        {"timeout on a clear event", false,
         [](PKEVENT e) { return (LONG)win_wait_event_interruptible_timeout(e, false, -10 * kMs); }, 0,
         10 * kMs, false},
        {"signalled, then cleared", true,
         [](PKEVENT e) { return (LONG)win_wait_event_interruptible_timeout(e, false, -10 * kMs); }, 1, 0,
         false},
        {"interruptible, signalled", true, [](PKEVENT e) { return (LONG)win_wait_interruptible(e); }, 0, 0,
         false},
        {"once, signalled, left set", true, [](PKEVENT e) { return (LONG)win_wait_once(e, -10 * kMs); }, 0, 0,
         true},
        {"once, timed out", false, [](PKEVENT e) { return (LONG)win_wait_once(e, -30 * kMs); }, 1, 30 * kMs,
         false},
    };
    for (const Case& c : cases) {
        PKEVENT event = &events_[0];
        KeClearEvent(event);
        if (c.signalled)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        LONGLONG start = host::ClockNow();
        EXPECT_EQ(c.expected, c.wait(event)) << c.what;
        EXPECT_EQ(c.waited, host::ClockNow() - start) << c.what;
        EXPECT_EQ(c.stillSet, KeReadStateEvent(event) != 0) << c.what;
    }
}

TEST_F(WaitTest, AnyEventGivesTheIndexOfASignalledOne)
{
    PKEVENT events[] = {&events_[0], &events_[1], &events_[2], &events_[3]};
    KeSetEvent(&events_[1], IO_NO_INCREMENT, FALSE);
    int index = 99;
    EXPECT_FALSE(win_wait_any_event(2, events, &index));
    EXPECT_EQ(1, index);
    // Without a wait-block array more than three objects cannot be waited on: refused before any wait.
    EXPECT_TRUE(win_wait_any_event(4, events, &index));
    EXPECT_EQ(-1, index);
    EXPECT_TRUE(win_wait_any_event(0, events, &index));
}

TEST_F(WaitTest, DelaysFollowTheHostClock)
{
    LONGLONG start = host::ClockNow();
    msleep(250);
    EXPECT_EQ(250 * kMs, host::ClockNow() - start);
    start = host::ClockNow();
    udelay(30);
    EXPECT_EQ(300, host::ClockNow() - start);
}

} // namespace
