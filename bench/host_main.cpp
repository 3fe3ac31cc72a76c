// The main of the benchmarks that run on the emulated host: it is up, in virtual time with this thread
// registered, while they run.
#include <benchmark/benchmark.h>

#include <host/host.h>

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    host::Start(host::Config{});
    benchmark::RunSpecifiedBenchmarks();
    host::Shutdown();
    benchmark::Shutdown();
    return 0;
}
