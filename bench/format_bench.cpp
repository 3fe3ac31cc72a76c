// Formatting and recording a typical driver trace line, in both verifier modes.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>

#include <host/format.h>
#include <host/host.h>
#include <host/trace.h>
#include <wdm.h>
#include <wpp.h>

#include "host_run.h"

namespace {

// Each benchmark in both verifier modes.
#define BOTH_MODES(name) BENCHMARK(name)->ArgName("verifier")->Arg(0)->Arg(1)->Setup(benchhost::VerifierArg<0>)

constexpr const char* kLine = "%!FUNC! CCCI_FSM: port %d state %s status %!STATUS! length %Iu";

size_t FormatLine(char* out, size_t capacity, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = host::FormatV(out, capacity, format, args, {.wpp = true, .function = "ccci_fsm_event"});
    va_end(args);
    return length;
}

void BM_FormatTraceLine(benchmark::State& state)
{
    char out[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatLine(out, sizeof(out), kLine, 7, "READY", STATUS_SUCCESS, size_t(4096)));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BOTH_MODES(BM_FormatTraceLine);

// The C library on the nearest standard format, for scale.
void BM_SnprintfBaseline(benchmark::State& state)
{
    char out[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(out, sizeof(out), "%s CCCI_FSM: port %d state %s status 0x%08X length %zu",
                                          "ccci_fsm_event", 7, "READY", 0u, size_t(4096)));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BOTH_MODES(BM_SnprintfBaseline);

// A trace with nobody listening: formatted and kept in the image's ring.
void BM_TraceEventsRecorded(benchmark::State& state)
{
    host::TraceClear();
    for (auto _ : state)
        TraceEvents(TRACE_LEVEL_INFORMATION, 1, "CCCI_FSM: port %d state %s status %!STATUS!", 7, "READY",
                    STATUS_SUCCESS);
    state.SetItemsProcessed(state.iterations());
    host::TraceClear();
}
BOTH_MODES(BM_TraceEventsRecorded)->Threads(1)->Threads(4);

// A trace whose level the session has disabled: dropped before formatting.
void BM_TraceEventsFiltered(benchmark::State& state)
{
    host::TraceSetWppFilter(TRACE_LEVEL_ERROR, MAXULONG);
    for (auto _ : state)
        TraceEvents(TRACE_LEVEL_VERBOSE, 1, "CCCI_FSM: port %d state %s", 7, "READY");
    host::TraceSetWppFilter(TRACE_LEVEL_VERBOSE, MAXULONG);
    state.SetItemsProcessed(state.iterations());
}
BOTH_MODES(BM_TraceEventsFiltered);

} // namespace
