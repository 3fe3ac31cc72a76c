// The primitives' yardstick, registered by each benchmark executable that measures host primitives so
// that their figures read as ratios to it in the same run: a bare lock of one atomic exchange and one
// store, on one word shared by every thread of the run.
#pragma once

#include <benchmark/benchmark.h>

namespace benchhost
{

inline unsigned long g_yardstickWord = 0;

inline void BM_AtomicExchangeStore(benchmark::State& state)
{
    for (auto _ : state) {
        while (__atomic_exchange_n(&g_yardstickWord, 1, __ATOMIC_ACQUIRE) != 0)
            __builtin_ia32_pause();
        __atomic_store_n(&g_yardstickWord, 0, __ATOMIC_RELEASE);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace benchhost

#define WWAN_BENCH_YARDSTICK() BENCHMARK(benchhost::BM_AtomicExchangeStore)->ThreadRange(1, 4)->UseRealTime()
