// What the DPMAIF benchmarks share: their packet sizes, and the rates and counts they report.
#pragma once

#include <benchmark/benchmark.h>

#include <vector>

#include "kal_types.h"
#include "sim/modem/dpmaif.h"

namespace dpmaifbench
{

// Stops the process with `what` when a set-up step failed: a benchmark over a half-made path measures
// nothing.
void Require(bool ok, const char* what);

// The packet sizes a benchmark's argument names: that size, or for 0 the mix 64, 576, 1500.
std::vector<SIZE_T> PacketSizes(int64_t arg);

// Packets and bytes per second, and the time per packet (s/pkt).
void ReportRates(benchmark::State& state, u64 packets, u64 bytes);

// The yardstick of the data path: each packet's bytes copied with one memcpy, sizes as PacketSizes.
constexpr SIZE_T kLargestPacket = 2048;
void MemcpyPackets(benchmark::State& state, int64_t sizeArg);

// `count` per 1000 of `packets` (0 without packets).
double PerThousand(u64 count, u64 packets);

// Counted from its making to Report, per 1000 packets: register accesses and ring index writes reaching
// the engine, its interrupt rises, and pool allocations (made after the warm-up, they show what the
// steady path still allocates).
class EngineTally
{
  public:
    explicit EngineTally(sim::modem::DpmaifEngine& engine);

    void Report(benchmark::State& state, u64 packets);

  private:
    sim::modem::DpmaifEngine& engine_;
    sim::modem::DpmaifEngine::Counts counts_;
    ULONG64 pool_;
};

} // namespace dpmaifbench
