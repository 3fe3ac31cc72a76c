// DPCs on the emulated processors: targeting, importance, flushing, callback checks and leak reports.
#include <gtest/gtest.h>

#include <host/executive.h>
#include <host/image.h>
#include <wdm.h>

#include <string>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

struct Trace {
    std::string order;
    ULONG processor = 99;
    KIRQL irql = PASSIVE_LEVEL;
};

struct Probe {
    KDPC dpc;
    Trace* trace;
    char name;
};

void Record(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* probe = static_cast<Probe*>(context);
    probe->trace->order += probe->name;
    probe->trace->processor = KeGetCurrentProcessorNumber();
    probe->trace->irql = KeGetCurrentIrql();
}

// Keeps its processor busy in a stall until the clock moves.
void Busy(PKDPC, PVOID, PVOID, PVOID) { KeStallExecutionProcessor(100); }

void Init(Probe& probe, Trace& trace, char name, CCHAR processor)
{
    probe.trace = &trace;
    probe.name = name;
    KeInitializeDpc(&probe.dpc, Record, &probe);
    KeSetTargetProcessorDpc(&probe.dpc, processor);
}

TEST(Dpcs, RunAtDispatchOnTheirTargetProcessor)
{
    EXPECT_EQ(2u, KeQueryActiveProcessorCount(nullptr));
    for (CCHAR processor : {0, 1}) {
        Trace trace;
        Probe probe;
        Init(probe, trace, 'a', processor);
        EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
        KeFlushQueuedDpcs();
        EXPECT_EQ("a", trace.order);
        EXPECT_EQ(static_cast<ULONG>(processor), trace.processor);
        EXPECT_EQ(DISPATCH_LEVEL, trace.irql);
    }
}

TEST(Dpcs, QueuedOnceHighImportanceFirstAndRemovable)
{
    KDPC busy;
    KeInitializeDpc(&busy, Busy, nullptr);
    KeSetTargetProcessorDpc(&busy, 1);
    KeInsertQueueDpc(&busy, nullptr, nullptr);
    host::ClockAdvance(0); // processor 1 is now inside the stall

    Trace trace;
    Probe a, b, c;
    Init(a, trace, 'a', 1);
    Init(b, trace, 'b', 1);
    Init(c, trace, 'c', 1);
    KeSetImportanceDpc(&b.dpc, HighImportance);
    EXPECT_TRUE(KeInsertQueueDpc(&a.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&a.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&b.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&c.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&c.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&c.dpc));
    KeFlushQueuedDpcs();
    EXPECT_EQ("ba", trace.order);
}

TEST(Dpcs, ProcessorQueriesAndAffinityAreRecorded)
{
    KAFFINITY active = 0;
    EXPECT_EQ(2u, KeQueryActiveProcessorCount(&active));
    EXPECT_EQ(KAFFINITY{3}, active);
    EXPECT_EQ(2u, KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS));
    PROCESSOR_NUMBER number{};
    EXPECT_EQ(STATUS_SUCCESS, KeGetProcessorNumberFromIndex(1, &number));
    EXPECT_EQ(1, number.Number);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, KeGetProcessorNumberFromIndex(2, &number));
    KDPC dpc;
    KeInitializeDpc(&dpc, Record, nullptr);
    number.Number = 2;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, KeSetTargetProcessorDpcEx(&dpc, &number));
    EXPECT_EQ(KeGetCurrentProcessorNumberEx(&number), KeGetCurrentProcessorNumber());

    EXPECT_EQ(KAFFINITY{0}, KeSetSystemAffinityThreadEx(2));
    EXPECT_EQ(KAFFINITY{2}, KeSetSystemAffinityThreadEx(1));
    KeRevertToUserAffinityThreadEx(0);
    GROUP_AFFINITY group{}, previous{};
    group.Mask = 1;
    KeSetSystemGroupAffinityThread(&group, &previous);
    KeSetSystemGroupAffinityThread(&previous, &group);
    EXPECT_EQ(KAFFINITY{1}, group.Mask);
    KeRevertToUserGroupAffinityThread(&previous);
}

TEST(Dpcs, ProcessorRunExecutesOnThatProcessor)
{
    ULONG processor = 99;
    KIRQL irql = PASSIVE_LEVEL;
    EXPECT_TRUE(host::ProcessorRun(1, [&] {
        processor = KeGetCurrentProcessorNumber();
        irql = KeGetCurrentIrql();
    }));
    EXPECT_FALSE(host::ProcessorRun(2, [] {}));
    host::Quiesce();
    EXPECT_EQ(1u, processor);
    EXPECT_EQ(DISPATCH_LEVEL, irql);
}

TEST(Dpcs, ReturningAtAnotherIrqlIsReported)
{
    hosttest::ExpectReport expect(host::Check::CallbackIrqlMismatch);
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
}

TEST(Dpcs, StillQueuedAtUnloadIsALeak)
{
    KDPC busy;
    KeInitializeDpc(&busy, Busy, nullptr);
    KeInsertQueueDpc(&busy, nullptr, nullptr);
    host::ClockAdvance(0);
    Trace trace;
    Probe probe;
    Init(probe, trace, 'a', 0);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    {
        hosttest::ExpectReport expect(host::Check::DpcLeak);
        EXPECT_EQ(1, host::ImageCheckUnload(host::ImageMain()));
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ("a", trace.order);
}

} // namespace
