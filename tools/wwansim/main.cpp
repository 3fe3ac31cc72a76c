// The system simulator: boots the emulated host, loads the package as Windows would and shows, live,
// what it does. Options: --seconds N (how long to run, default 1), --scale X (host seconds per wall
// second), --processors N, --trace (print trace lines as they come).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <host/host.h>
#include <host/image.h>
#include <host/pool.h>
#include <host/trace.h>
#include <wdm.h>

namespace {

struct Options {
    double seconds = 1.0;
    host::Config config;
    bool trace = false;
};

bool Parse(int argc, char** argv, Options* options)
{
    options->config.clock = host::ClockMode::Real;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            options->seconds = atof(argv[++i]);
        else if (arg == "--scale" && hasValue)
            options->config.scale = atof(argv[++i]);
        else if (arg == "--processors" && hasValue)
            options->config.processors = static_cast<ULONG>(atoi(argv[++i]));
        else if (arg == "--trace")
            options->trace = true;
        else {
            fprintf(stderr, "usage: wwansim [--seconds N] [--scale X] [--processors N] [--trace]\n");
            return false;
        }
    }
    return options->seconds >= 0 && options->config.scale > 0 && options->config.processors > 0;
}

// Pool still held by any image: what a clean shutdown must leave at zero.
size_t ReportLeaks()
{
    size_t leaked = 0;
    for (host::Image* image : host::ImageList())
        for (const host::PoolLeak& leak : host::PoolLeaks(image)) {
            printf("wwansim:   leak in %s: %s %zu allocations, %zu bytes\n", host::ImageName(image).c_str(),
                   leak.contiguous ? "contiguous memory" : ("tag '" + host::PoolTagText(leak.tag) + "'").c_str(),
                   static_cast<size_t>(leak.count), static_cast<size_t>(leak.bytes));
            leaked += leak.bytes;
        }
    return leaked;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, &options))
        return 2;
    if (options.trace)
        host::TraceSetPrintLevel(5);

    host::Start(options.config);
    printf("wwansim: emulated host started: %u processors, %u system worker threads, real-time clock x%g\n",
           options.config.processors, options.config.workerThreads, options.config.scale);
    printf("wwansim: loaded images: none\n");

    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(options.seconds * 1e7);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    printf("wwansim: ran for %.3f s of host time\n", host::ClockNow() / 1e7);

    host::Shutdown();
    size_t leaked = ReportLeaks();
    printf("wwansim: emulated host stopped; leak report: %zu bytes still allocated\n", leaked);
    return leaked == 0 ? 0 : 1;
}
