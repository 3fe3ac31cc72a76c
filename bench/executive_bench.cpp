// The executive's hot paths: spin lock acquire/release, a DPC round trip, and an event ping-pong
// between two threads.
#include <benchmark/benchmark.h>

#include <wdm.h>

namespace {

void SpinLockAcquireRelease(benchmark::State& state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(SpinLockAcquireRelease);

struct RoundTrip {
    KDPC dpc;
    KEVENT done;
};

// Queues a DPC on another processor and waits for it to signal back.
void DpcRoundTrip(benchmark::State& state)
{
    RoundTrip trip;
    KeInitializeEvent(&trip.done, SynchronizationEvent, FALSE);
    KeInitializeDpc(
        &trip.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&static_cast<RoundTrip*>(context)->done, 0, FALSE); },
        &trip);
    KeSetTargetProcessorDpc(&trip.dpc, 1);
    for (auto _ : state) {
        KeInsertQueueDpc(&trip.dpc, nullptr, nullptr);
        KeWaitForSingleObject(&trip.done, Executive, KernelMode, FALSE, nullptr);
    }
}
BENCHMARK(DpcRoundTrip);

struct PingPong {
    KEVENT ping;
    KEVENT pong;
    LONG stop = 0;
};

void EventPingPong(benchmark::State& state)
{
    PingPong pp;
    KeInitializeEvent(&pp.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pp.pong, SynchronizationEvent, FALSE);
    HANDLE handle;
    PsCreateSystemThread(
        &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
        [](PVOID context) {
            auto* p = static_cast<PingPong*>(context);
            for (;;) {
                KeWaitForSingleObject(&p->ping, Executive, KernelMode, FALSE, nullptr);
                if (ReadAcquire(&p->stop))
                    return;
                KeSetEvent(&p->pong, 0, FALSE);
            }
        },
        &pp);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    for (auto _ : state) {
        KeSetEvent(&pp.ping, 0, FALSE);
        KeWaitForSingleObject(&pp.pong, Executive, KernelMode, FALSE, nullptr);
    }
    WriteRelease(&pp.stop, 1);
    KeSetEvent(&pp.ping, 0, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}
BENCHMARK(EventPingPong);

} // namespace
