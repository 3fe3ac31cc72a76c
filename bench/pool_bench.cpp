// Pool allocation and free with full accounting, and a device's checked DMA copy.
#include <benchmark/benchmark.h>

#include <host/dma.h>
#include <host/pool.h>
#include <wdm.h>

#include <vector>

namespace {

constexpr ULONG kTag = host::PoolTag("Bnch");

void BM_PoolAllocateFree(benchmark::State& state)
{
    auto size = static_cast<SIZE_T>(state.range(0));
    for (auto _ : state) {
        void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag);
        benchmark::DoNotOptimize(p);
        ExFreePoolWithTag(p, kTag);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolAllocateFree)->Arg(64)->Arg(1500)->Arg(16384)->ThreadRange(1, 4)->UseRealTime();

// Many live allocations make the registry deep, as a driver with full rings does.
void BM_PoolAllocateFreeAmongLive(benchmark::State& state)
{
    std::vector<void*> live;
    for (int i = 0; i < state.range(0); i++)
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
BENCHMARK(BM_PoolAllocateFreeAmongLive)->Arg(0)->Arg(1024)->Arg(16384);

void BM_DmaRead(benchmark::State& state)
{
    auto size = static_cast<SIZE_T>(state.range(0));
    static void* buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, 65536, kTag); // shared by the threads
    std::vector<UCHAR> copy(size);
    auto logical = static_cast<ULONG64>(MmGetPhysicalAddress(buffer).QuadPart);
    for (auto _ : state)
        benchmark::DoNotOptimize(host::DmaRead(logical, copy.data(), size));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_DmaRead)->Arg(64)->Arg(1500)->Arg(65536)->ThreadRange(1, 4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
