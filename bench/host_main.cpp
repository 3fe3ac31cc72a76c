// The main of the benchmarks that run on the emulated host: in virtual time (the data path's, whose
// stalls are read off the clock), or on the wall clock (WWAN_BENCH_REAL_CLOCK: the primitives', whose
// threads are Google Benchmark's own, unknown to the virtual clock).
#include "host_run.h"

int main(int argc, char** argv)
{
    host::Config config;
#ifdef WWAN_BENCH_REAL_CLOCK
    config.clock = host::ClockMode::Real;
#endif
    return benchhost::RunBenchmarks(argc, argv, config);
}
