// Interrupt delivery: service routines on the vector's processor at device IRQL, latched requests that
// merge, level-triggered lines that re-enter until de-asserted, storms, enable/disable and disconnect.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/interrupt.h>
#include <wdm.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host_test.h"

namespace {

// What a bus would register: one vector whose connection changes are recorded.
struct Source {
    explicit Source(host::InterruptTrigger trigger, ULONG count = 1) : vector(host::InterruptAllocateVectors(count))
    {
        for (ULONG i = 0; i < count; i++)
            EXPECT_TRUE(host::InterruptRegisterVector(
                vector + i, {trigger, [this](bool connected) { connections.push_back(connected); }}));
        this->count = count;
    }
    ~Source()
    {
        for (ULONG i = 0; i < count; i++)
            host::InterruptUnregisterVector(vector + i);
    }
    ULONG vector;
    ULONG count;
    std::vector<bool> connections;
};

struct Isr {
    std::atomic<int> runs{0};
    std::atomic<ULONG> processor{~0u};
    std::atomic<KIRQL> irql{0};
    std::atomic<ULONG> deassertAfter{0}; // level lines: de-assert `vector` on this run
    ULONG vector = 0;
    KDPC dpc{};
    KEVENT dpcDone{};
    std::atomic<ULONG> dpcProcessor{~0u};
    bool queueDpc = false;
};

BOOLEAN Service(host::Interrupt*, PVOID context)
{
    auto* isr = static_cast<Isr*>(context);
    int run = ++isr->runs;
    isr->processor = KeGetCurrentProcessorNumber();
    isr->irql = KeGetCurrentIrql();
    if (isr->deassertAfter != 0 && static_cast<ULONG>(run) == isr->deassertAfter)
        host::InterruptSetLine(isr->vector, false);
    if (isr->queueDpc)
        KeInsertQueueDpc(&isr->dpc, nullptr, nullptr);
    return TRUE;
}

void DpcRoutine(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* isr = static_cast<Isr*>(context);
    isr->dpcProcessor = KeGetCurrentProcessorNumber();
    KeSetEvent(&isr->dpcDone, IO_NO_INCREMENT, FALSE);
}

host::Interrupt* Connect(ULONG vector, Isr& isr, bool enabled = true)
{
    isr.vector = vector;
    host::InterruptConnection connection;
    connection.vector = vector;
    connection.service = Service;
    connection.context = &isr;
    connection.enabled = enabled;
    host::Interrupt* interrupt = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupt));
    return interrupt;
}

// Lets every processor run what it was handed.
void Settle() { host::ClockAdvance(0); }

TEST(Interrupt, MessagesRunOnTheVectorsProcessorAtDeviceIrqlAndQueueDpcs)
{
    ULONG processors = KeQueryActiveProcessorCount(nullptr);
    ASSERT_GE(processors, 2u);
    Source source(host::InterruptTrigger::Latched, 3);
    Isr isrs[3];
    host::Interrupt* interrupts[3];
    for (ULONG m = 0; m < 3; m++) {
        KeInitializeDpc(&isrs[m].dpc, DpcRoutine, &isrs[m]);
        KeInitializeEvent(&isrs[m].dpcDone, NotificationEvent, FALSE);
        isrs[m].queueDpc = true;
        interrupts[m] = Connect(source.vector + m, isrs[m]);
    }
    for (ULONG m = 0; m < 3; m++)
        host::InterruptRequest(source.vector + m);
    for (ULONG m = 0; m < 3; m++) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000;
        ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&isrs[m].dpcDone, Executive, KernelMode, FALSE, &timeout));
        ULONG vector = source.vector + m;
        EXPECT_EQ(1, isrs[m].runs.load());
        EXPECT_EQ(vector % processors, isrs[m].processor.load()) << "message " << m;
        EXPECT_EQ(host::InterruptVectorProcessor(vector), isrs[m].processor.load());
        EXPECT_EQ(host::InterruptVectorIrql(vector), isrs[m].irql.load());
        EXPECT_GT(isrs[m].irql.load(), DISPATCH_LEVEL);
        EXPECT_EQ(isrs[m].processor.load(), isrs[m].dpcProcessor.load()) << "the DPC runs where it was queued";
    }
    EXPECT_EQ(0u, source.vector % 64) << "a device's block starts on a multiple of 64";
    for (host::Interrupt* interrupt : interrupts)
        host::InterruptDisconnect(interrupt);
    EXPECT_EQ((std::vector<bool>{true, true, true, false, false, false}), source.connections);
}

TEST(Interrupt, LatchedRequestsMergeWhileHeldAndAreDroppedWithoutARoutine)
{
    Source source(host::InterruptTrigger::Latched);
    host::InterruptRequest(source.vector);
    EXPECT_EQ(1u, host::InterruptVectorCounters(source.vector).dropped);

    Isr isr;
    host::Interrupt* interrupt = Connect(source.vector, isr, false);
    for (int i = 0; i < 3; i++)
        host::InterruptRequest(source.vector);
    Settle();
    EXPECT_EQ(0, isr.runs.load()) << "a disabled connection holds its requests";
    host::InterruptEnable(interrupt);
    Settle();
    EXPECT_EQ(1, isr.runs.load()) << "held requests merge into one run";

    host::InterruptDisable(interrupt);
    host::InterruptRequest(source.vector);
    host::InterruptDisconnect(interrupt);
    host::InterruptRequest(source.vector);
    Settle();
    EXPECT_EQ(1, isr.runs.load()) << "disconnecting drops what was held";
    host::InterruptCounters counters = host::InterruptVectorCounters(source.vector);
    EXPECT_EQ(1u, counters.runs);
    EXPECT_EQ(2u, counters.dropped);
}

TEST(Interrupt, LevelLineReentersItsRoutineUntilDeasserted)
{
    Source source(host::InterruptTrigger::Level);
    host::InterruptSetLine(source.vector, true); // asserted before anyone listens
    Isr isr;
    isr.deassertAfter = 3;
    host::Interrupt* interrupt = Connect(source.vector, isr);
    Settle();
    EXPECT_EQ(3, isr.runs.load());

    // Disabled: the asserted line waits for the enable.
    host::InterruptDisable(interrupt);
    isr.deassertAfter = 4;
    host::InterruptSetLine(source.vector, true);
    Settle();
    EXPECT_EQ(3, isr.runs.load());
    host::InterruptEnable(interrupt);
    Settle();
    EXPECT_EQ(4, isr.runs.load());
    host::InterruptDisconnect(interrupt);
}

TEST(Interrupt, LineThatStaysAssertedIsReportedAsAStormAndIgnoredUntilDeasserted)
{
    Source source(host::InterruptTrigger::Level);
    Isr isr;
    host::Interrupt* interrupt = Connect(source.vector, isr);
    {
        hosttest::ExpectReport storm(host::Check::InterruptStorm);
        host::InterruptSetLine(source.vector, true);
        Settle();
        EXPECT_EQ(1, storm.Count());
    }
    EXPECT_EQ(static_cast<int>(host::kInterruptStormLimit), isr.runs.load());

    host::InterruptSetLine(source.vector, false);
    isr.deassertAfter = host::kInterruptStormLimit + 1;
    host::InterruptSetLine(source.vector, true);
    Settle();
    EXPECT_EQ(static_cast<int>(host::kInterruptStormLimit) + 1, isr.runs.load()) << "served again after the storm";
    host::InterruptDisconnect(interrupt);
}

TEST(Interrupt, LockRunsAtSynchronizeIrqlAndSharedLocksSerialiseTwoVectors)
{
    Source source(host::InterruptTrigger::Latched, 2);
    KSPIN_LOCK shared;
    KeInitializeSpinLock(&shared);
    Isr isrs[2];
    host::Interrupt* interrupts[2];
    for (ULONG m = 0; m < 2; m++) {
        host::InterruptConnection connection;
        connection.vector = source.vector + m;
        connection.service = Service;
        connection.context = &isrs[m];
        connection.spinLock = &shared;
        connection.synchronizeIrql = CLOCK_LEVEL - 1;
        ASSERT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupts[m]));
    }
    KIRQL seen = 0;
    BOOLEAN result = host::InterruptSynchronize(
        interrupts[0],
        [](PVOID context) -> BOOLEAN {
            *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
            return TRUE;
        },
        &seen);
    EXPECT_TRUE(result);
    EXPECT_EQ(CLOCK_LEVEL - 1, seen);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    // Holding the shared lock keeps both routines out.
    KIRQL previous = host::InterruptAcquireLock(interrupts[1]);
    host::InterruptRequest(source.vector);
    host::InterruptRequest(source.vector + 1);
    EXPECT_EQ(0, isrs[0].runs.load() + isrs[1].runs.load());
    host::InterruptReleaseLock(interrupts[1], previous);
    Settle();
    EXPECT_EQ(1, isrs[0].runs.load());
    EXPECT_EQ(1, isrs[1].runs.load());
    EXPECT_EQ(CLOCK_LEVEL - 1, isrs[0].irql.load()) << "routines run at the synchronize IRQL";
    for (host::Interrupt* interrupt : interrupts)
        host::InterruptDisconnect(interrupt);
}

TEST(Interrupt, DisconnectWaitsForTheRunningRoutine)
{
    Source source(host::InterruptTrigger::Latched);
    struct Slow {
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
    } slow;
    host::InterruptConnection connection;
    connection.vector = source.vector;
    connection.context = &slow;
    connection.service = [](host::Interrupt*, PVOID context) -> BOOLEAN {
        auto* s = static_cast<Slow*>(context);
        s->started = true;
        KeStallExecutionProcessor(1000);
        s->finished = true;
        return TRUE;
    };
    host::Interrupt* interrupt = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupt));
    host::InterruptRequest(source.vector);
    while (!slow.started)
        std::this_thread::yield();
    host::InterruptDisconnect(interrupt);
    EXPECT_TRUE(slow.finished);
}

TEST(Interrupt, BadConnectionsAreRefused)
{
    Source source(host::InterruptTrigger::Latched);
    Isr isr;
    host::Interrupt* first = Connect(source.vector, isr);
    host::Interrupt* interrupt = nullptr;
    struct Case {
        const char* what;
        ULONG vector;
        host::InterruptServiceRoutine service;
        KIRQL irql;
    };
    const Case cases[] = {
        {"no routine", source.vector, nullptr, 0},
        {"unregistered vector", source.vector + 1, Service, 0},
        {"routine connected already", source.vector, Service, 0},
        {"IRQL not above DISPATCH_LEVEL", source.vector, Service, DISPATCH_LEVEL},
    };
    for (const Case& c : cases) {
        host::InterruptConnection connection;
        connection.vector = c.vector;
        connection.service = c.service;
        connection.irql = c.irql;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, host::InterruptConnect(connection, &interrupt)) << c.what;
    }
    host::InterruptDisconnect(first);
    hosttest::ExpectReport bad(host::Check::InvalidParameter);
    host::InterruptDisconnect(first);
}

TEST(Interrupt, RoutineReturningAtAnotherIrqlIsReported)
{
    Source source(host::InterruptTrigger::Latched);
    host::InterruptConnection connection;
    connection.vector = source.vector;
    connection.service = [](host::Interrupt*, PVOID) -> BOOLEAN {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        return FALSE;
    };
    host::Interrupt* interrupt = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupt));
    {
        hosttest::ExpectReport mismatch(host::Check::CallbackIrqlMismatch);
        host::InterruptRequest(source.vector);
        Settle();
    }
    EXPECT_EQ(1u, host::InterruptVectorCounters(source.vector).unclaimed);
    host::InterruptDisconnect(interrupt);
}

} // namespace
