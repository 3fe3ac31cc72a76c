// Running benchmarks on the emulated host: it is up, with the calling thread registered with its clock,
// while they run. Every benchmark runs in both verifier modes: its `verifier` argument (0 or 1) restarts
// the host with the verifier's bookkeeping off or on before the run, when it ran the other way.
#pragma once

#include <benchmark/benchmark.h>

#include <host/host.h>

namespace benchhost
{

// Runs the benchmarks the command line selects on the host started with `config`; `before_shutdown`
// (when given) runs after them, with the host still up, and before each restart that changes the
// verifier mode. The process's exit code.
int RunBenchmarks(int argc, char** argv, const host::Config& config, void (*before_shutdown)() = nullptr);

// The host running with the verifier on or off (restarted when it ran the other way).
void UseVerifier(bool on);

// A benchmark's Setup: the verifier mode its argument `Index` names.
template <int Index> void VerifierArg(const benchmark::State& state) { UseVerifier(state.range(Index) != 0); }

} // namespace benchhost
