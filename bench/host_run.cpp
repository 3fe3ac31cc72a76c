#include "host_run.h"

#include <benchmark/benchmark.h>

namespace benchhost
{

int RunBenchmarks(int argc, char** argv, const host::Config& config, void (*before_shutdown)())
{
    benchmark::Initialize(&argc, argv);
    host::Start(config);
    benchmark::RunSpecifiedBenchmarks();
    if (before_shutdown != nullptr)
        before_shutdown();
    host::Shutdown();
    benchmark::Shutdown();
    return 0;
}

} // namespace benchhost
