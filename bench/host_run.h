// Running benchmarks on the emulated host: it is up, with the calling thread registered with its clock,
// while they run.
#pragma once

#include <host/host.h>

namespace benchhost
{

// Runs the benchmarks the command line selects on the host started with `config`; `before_shutdown`
// (when given) runs after them, with the host still up. The process's exit code.
int RunBenchmarks(int argc, char** argv, const host::Config& config, void (*before_shutdown)() = nullptr);

} // namespace benchhost
