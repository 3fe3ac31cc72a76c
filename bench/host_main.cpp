// The main of the benchmarks that run on the emulated host in virtual time.
#include "host_run.h"

int main(int argc, char** argv)
{
    return benchhost::RunBenchmarks(argc, argv, host::Config{});
}
