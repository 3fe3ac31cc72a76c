#include "dpmaif_measure.h"

#include <host/pool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dpmaifbench
{

void Require(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "DPMAIF bench set-up failed: %s\n", what);
    std::exit(1);
}

std::vector<SIZE_T> PacketSizes(int64_t arg)
{
    if (arg == 0)
        return {64, 576, 1500};
    return {static_cast<SIZE_T>(arg)};
}

void ReportRates(benchmark::State& state, u64 packets, u64 bytes)
{
    state.counters["s/pkt"] = benchmark::Counter(static_cast<double>(packets),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<int64_t>(packets));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

double PerThousand(u64 count, u64 packets)
{
    return packets == 0 ? 0 : static_cast<double>(count) * 1000.0 / static_cast<double>(packets);
}

EngineTally::EngineTally(sim::modem::DpmaifEngine& engine)
    : engine_(engine), counts_(engine.AccessCounts()), pool_(host::PoolAllocationCount())
{
}

void EngineTally::Report(benchmark::State& state, u64 packets)
{
    const ULONG64 allocations = host::PoolAllocationCount() - pool_;
    const sim::modem::DpmaifEngine::Counts now = engine_.AccessCounts();
    state.counters["reg_rw/1k"] =
        PerThousand(now.reads + now.writes - counts_.reads - counts_.writes, packets);
    state.counters["idx_wr/1k"] = PerThousand(now.ringIndexWrites - counts_.ringIndexWrites, packets);
    state.counters["irq/1k"] = PerThousand(now.interrupts - counts_.interrupts, packets);
    state.counters["allocs/1k"] = PerThousand(allocations, packets);
}

void MemcpyPackets(benchmark::State& state, int64_t sizeArg)
{
    const std::vector<SIZE_T> sizes = PacketSizes(sizeArg);
    std::vector<u8> from(kLargestPacket, 0x5A);
    std::vector<u8> to(kLargestPacket);
    u64 packets = 0;
    u64 bytes = 0;
    for (auto _ : state) {
        const SIZE_T size = sizes[packets % sizes.size()];
        std::memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
        packets++;
        bytes += size;
    }
    ReportRates(state, packets, bytes);
}

} // namespace dpmaifbench
