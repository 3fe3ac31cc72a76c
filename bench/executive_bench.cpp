// The executive's and the framework's hot primitives (spin locks in every form, interlocked lists, IRQL,
// the framework's handle and context lookup), each uncontended and from 2 and 4 threads, in both verifier
// modes, beside the yardstick; then a DPC round trip and an event ping-pong between two threads. The
// threaded forms share one lock (or list) between the threads: contended.
#include <benchmark/benchmark.h>

#include <host/loader.h>
#include <host/pnp.h>
#include <wdf.h>
#include <wdm.h>

#include <cstdlib>

#include "host_run.h"
#include "yardstick.h"

namespace {

// Made by thread 0 in the benchmark's set-up (before any thread runs), dropped in its teardown.
struct Shared {
    KSPIN_LOCK lock = 0;
    LIST_ENTRY heads[4]{}; // one list a thread, under the one lock
    LIST_ENTRY entries[4]{};
    WDFSPINLOCK wdfLock = nullptr;
    WDFOBJECT object = nullptr;
};
Shared* g_shared = nullptr;

struct ObjectContext {
    ULONG value;
};
WDF_DECLARE_CONTEXT_TYPE(ObjectContext);

// The framework objects need a driver of the executable's image to belong to.
NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

void LoadDriverOnce()
{
    static const bool loaded = [] {
        host::DriverRegisterBuiltin(u"ExecutiveBench", BenchDriverEntry);
        PDRIVER_OBJECT driver = nullptr;
        return host::PnpInstallDriver(u"BENCH\\EXECUTIVE", u"ExecutiveBench") == STATUS_SUCCESS &&
               host::DriverLoad(u"ExecutiveBench", &driver) == STATUS_SUCCESS;
    }();
    if (!loaded)
        std::abort();
}

void SharedSetup(const benchmark::State& state)
{
    benchhost::VerifierArg<0>(state);
    LoadDriverOnce();
    g_shared = new Shared;
    KeInitializeSpinLock(&g_shared->lock);
    for (LIST_ENTRY& head : g_shared->heads)
        InitializeListHead(&head);
    WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &g_shared->wdfLock);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ObjectContext);
    WdfObjectCreate(&attributes, &g_shared->object);
}

void SharedTeardown(const benchmark::State&)
{
    WdfObjectDelete(g_shared->object);
    WdfObjectDelete(g_shared->wdfLock);
    delete g_shared;
    g_shared = nullptr;
}

// Uncontended (1 thread) and contended (2, 4) forms of each, in both verifier modes.
#define PRIMITIVE(name)                                                                                         \
    BENCHMARK(name)                                                                                             \
        ->ArgName("verifier")                                                                                   \
        ->Arg(0)                                                                                                \
        ->Arg(1)                                                                                                \
        ->Setup(SharedSetup)                                                                                    \
        ->Teardown(SharedTeardown)                                                                              \
        ->ThreadRange(1, 4)                                                                                     \
        ->UseRealTime()

WWAN_BENCH_YARDSTICK();

void BM_KeAcquireReleaseSpinLock(benchmark::State& state)
{
    for (auto _ : state) {
        KIRQL old;
        KeAcquireSpinLock(&g_shared->lock, &old);
        KeReleaseSpinLock(&g_shared->lock, old);
    }
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_KeAcquireReleaseSpinLock);

void BM_KeAcquireSpinLockRaiseToDpc(benchmark::State& state)
{
    for (auto _ : state)
        KeReleaseSpinLock(&g_shared->lock, KeAcquireSpinLockRaiseToDpc(&g_shared->lock));
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_KeAcquireSpinLockRaiseToDpc);

void BM_SpinLockAtDpcLevel(benchmark::State& state)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        KeAcquireSpinLockAtDpcLevel(&g_shared->lock);
        KeReleaseSpinLockFromDpcLevel(&g_shared->lock);
    }
    KeLowerIrql(old);
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_SpinLockAtDpcLevel);

void BM_WdfSpinLock(benchmark::State& state)
{
    for (auto _ : state) {
        WdfSpinLockAcquire(g_shared->wdfLock);
        WdfSpinLockRelease(g_shared->wdfLock);
    }
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_WdfSpinLock);

void BM_WdfObjectAcquireLock(benchmark::State& state)
{
    for (auto _ : state) {
        WdfObjectAcquireLock(g_shared->object);
        WdfObjectReleaseLock(g_shared->object);
    }
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_WdfObjectAcquireLock);

// One insert and one remove: two lock round trips per iteration.
void BM_ExInterlockedList(benchmark::State& state)
{
    PLIST_ENTRY head = &g_shared->heads[state.thread_index()];
    PLIST_ENTRY entry = &g_shared->entries[state.thread_index()];
    for (auto _ : state) {
        ExInterlockedInsertTailList(head, entry, &g_shared->lock);
        benchmark::DoNotOptimize(ExInterlockedRemoveHeadList(head, &g_shared->lock));
    }
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_ExInterlockedList);

void BM_RaiseLowerIrql(benchmark::State& state)
{
    for (auto _ : state) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        benchmark::DoNotOptimize(KeGetCurrentIrql());
        KeLowerIrql(old);
    }
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_RaiseLowerIrql);

void BM_WdfObjectGetTypedContext(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(WdfObjectGet_ObjectContext(g_shared->object));
    state.SetItemsProcessed(state.iterations());
}
PRIMITIVE(BM_WdfObjectGetTypedContext);

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
BENCHMARK(DpcRoundTrip)->ArgName("verifier")->Arg(0)->Arg(1)->Setup(benchhost::VerifierArg<0>);

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
BENCHMARK(EventPingPong)->ArgName("verifier")->Arg(0)->Arg(1)->Setup(benchhost::VerifierArg<0>);

} // namespace
