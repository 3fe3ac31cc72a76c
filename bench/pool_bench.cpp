// Pool allocation and free, and a device's DMA copy, in both verifier modes (with it on: full accounting
// in the memory registry and checked copies), beside the yardstick.
#include <benchmark/benchmark.h>

#include <host/dma.h>
#include <host/pool.h>
#include <wdm.h>

#include <vector>

#include "host_run.h"
#include "yardstick.h"

namespace {

constexpr ULONG kTag = host::PoolTag("Bnch");

WWAN_BENCH_YARDSTICK();

// Args: verifier, size.
void BM_PoolAllocateFree(benchmark::State& state)
{
    auto size = static_cast<SIZE_T>(state.range(1));
    for (auto _ : state) {
        void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag);
        benchmark::DoNotOptimize(p);
        ExFreePoolWithTag(p, kTag);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolAllocateFree)
    ->ArgsProduct({{0, 1}, {64, 1500, 16384}})
    ->ArgNames({"verifier", "size"})
    ->Setup(benchhost::VerifierArg<0>)
    ->ThreadRange(1, 4)
    ->UseRealTime();

// Many live allocations make the registry deep, as a driver with full rings does. Args: verifier, live.
void BM_PoolAllocateFreeAmongLive(benchmark::State& state)
{
    std::vector<void*> live;
    for (int i = 0; i < state.range(1); i++)
        live.push_back(ExAllocatePool2(POOL_FLAG_NON_PAGED, 256, kTag));
    for (auto _ : state) {
        void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 256, kTag);
        benchmark::DoNotOptimize(p);
        ExFreePoolWithTag(p, kTag);
    }
    for (void* p : live)
        ExFreePoolWithTag(p, kTag);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolAllocateFreeAmongLive)
    ->ArgsProduct({{0, 1}, {0, 1024, 16384}})
    ->ArgNames({"verifier", "live"})
    ->Setup(benchhost::VerifierArg<0>);

void* g_dmaBuffer = nullptr; // shared by the threads

void DmaSetup(const benchmark::State& state)
{
    benchhost::VerifierArg<0>(state);
    g_dmaBuffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, 65536, kTag);
}

void DmaTeardown(const benchmark::State&)
{
    ExFreePoolWithTag(g_dmaBuffer, kTag);
}

// Args: verifier, size.
void BM_DmaRead(benchmark::State& state)
{
    auto size = static_cast<SIZE_T>(state.range(1));
    std::vector<UCHAR> copy(size);
    auto logical = static_cast<ULONG64>(MmGetPhysicalAddress(g_dmaBuffer).QuadPart);
    for (auto _ : state)
        benchmark::DoNotOptimize(host::DmaRead(logical, copy.data(), size));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_DmaRead)
    ->ArgsProduct({{0, 1}, {64, 1500, 65536}})
    ->ArgNames({"verifier", "size"})
    ->Setup(DmaSetup)
    ->Teardown(DmaTeardown)
    ->ThreadRange(1, 4)
    ->UseRealTime();

} // namespace
