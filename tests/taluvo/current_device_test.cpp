// The current device and its queries, QueueCallback's one-shot work items, and the DMA-enabler callbacks.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/pnp.h>
#include <host/trace.h>
#include <host/verifier.h>

#include <cstring>
#include <vector>

#include "CurrentDevice.h"
#include "QueueCallback.h"
#include "device_fixture.h"
#include "host_test.h"

namespace
{

using taluvotest::DeviceTest;

TEST_F(DeviceTest, ResetInProgressFollowsTheDeviceStateAndThePendingReset)
{
    EXPECT_EQ(Device(), IpcGetCurrentDevice(nullptr));
    struct Case {
        ULONG state;
        bool inProgress; // without a pending reset
    };
    const Case cases[] = {{0, false}, {3, false}, {7, true}, {8, true}, {9, true}};
    for (const Case& c : cases)
        for (BOOLEAN pending : {FALSE, TRUE}) {
            Context()->DeviceState = c.state;
            Context()->ResetPending = pending;
            EXPECT_EQ(pending, Mbb_IsResetPending());
            EXPECT_EQ(c.inProgress || pending, Mbb_IsResetInProgress() != FALSE)
                << c.state << " " << int(pending);
        }
    EXPECT_FALSE(Mbb_IsMbbCxInitialized());
    Context()->MbbCxBound = TRUE;
    EXPECT_TRUE(Mbb_IsMbbCxInitialized());
}

TEST_F(DeviceTest, ADepartingDeviceStopsBeingCurrentAndTheQueriesAnswerNo)
{
    Context()->DeviceState = 9;
    Context()->ResetPending = TRUE;
    Context()->MbbCxBound = TRUE;
    // Another device going leaves this one current.
    IpcForgetCurrentDevice(reinterpret_cast<WDFDEVICE>(Context()));
    EXPECT_EQ(Device(), IpcGetCurrentDevice(nullptr));
    IpcForgetCurrentDevice(Device());
    EXPECT_EQ(nullptr, IpcGetCurrentDevice(nullptr));
    EXPECT_FALSE(Mbb_IsResetPending());
    EXPECT_FALSE(Mbb_IsResetInProgress());
    EXPECT_FALSE(Mbb_IsMbbCxInitialized());
    IpcGetCurrentDevice(Device());
}

struct Call {
    PVOID argument;
    KIRQL irql;
    std::vector<UCHAR> bytes; // the first bytes at the argument
    WDFWORKITEM item;         // by copy: the work item that carried it
};
std::vector<Call> g_calls;

void Record(PVOID argument)
{
    Call call{argument, KeGetCurrentIrql(), std::vector<UCHAR>((UCHAR*)argument, (UCHAR*)argument + 4),
              nullptr};
    g_calls.push_back(call);
}

void RecordCopy(PVOID argument)
{
    Record(argument);
    auto* context = CONTAINING_RECORD(argument, WORKER_ITEM_CONTEXT, ArgumentArea);
    g_calls.back().item = static_cast<WDFWORKITEM>(WdfObjectContextGetObject(context));
}

TEST_F(DeviceTest, QueueCallbackByReferenceHandsThePointerOnOnce)
{
    UCHAR argument[4] = {1, 2, 3, 4};
    ASSERT_EQ(STATUS_SUCCESS, QueueCallback(Device(), Record, argument, 8, 1, 0));
    host::Quiesce();
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(argument, g_calls[0].argument);
    EXPECT_EQ(PASSIVE_LEVEL, g_calls[0].irql);
    host::Quiesce();
    EXPECT_EQ(1u, g_calls.size());
}

TEST_F(DeviceTest, QueueCallbackByCopyKeepsItsOwnBytesAndGoesAfterItsRun)
{
    UCHAR argument[4] = {1, 2, 3, 4};
    ASSERT_EQ(STATUS_SUCCESS, QueueCallback(Device(), RecordCopy, argument, sizeof(argument), 0, 0));
    memset(argument, 0xEE, sizeof(argument)); // before the work item runs
    host::Quiesce();
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_NE(argument, g_calls[0].argument);
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3, 4}), g_calls[0].bytes);
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    EXPECT_EQ(nullptr, WdfWorkItemGetParentObject(g_calls[0].item)); // deleted after its run
}

TEST_F(DeviceTest, QueueCallbackRaisesTheLevelForTheCallOnly)
{
    UCHAR argument[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, QueueCallback(Device(), Record, argument, 8, 1, DISPATCH_LEVEL));
    host::Quiesce(); // a level left raised would be reported when the work item returns
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(DISPATCH_LEVEL, g_calls[0].irql);
}

TEST_F(DeviceTest, QueueCallbackThatCannotMakeItsWorkItemRunsNothing)
{
    UCHAR argument[4] = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, QueueCallback(nullptr, Record, argument, 8, 1, 0));
    host::Quiesce();
    EXPECT_TRUE(g_calls.empty());
}

class DmaDeviceTest : public DeviceTest
{
  protected:
    bool WithDmaEnabler() const override { return true; }
};

TEST_F(DmaDeviceTest, EnablingDmaOnTheWayBackToD0ClearsTheIdleFlag)
{
    Context()->IsPowerPolicyIdle = TRUE;
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemSleeping3));
    EXPECT_TRUE(Context()->IsPowerPolicyIdle);
    EXPECT_FALSE(host::TraceFind("DMA enabler disable").empty());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    EXPECT_FALSE(Context()->IsPowerPolicyIdle);
    EXPECT_FALSE(host::TraceFind("DMA enabler enable").empty());
}

} // namespace
