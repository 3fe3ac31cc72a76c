// Bringing the emulated host up and down, and the clock that every wait, timer and tick follows.
#pragma once

#include <ntdef.h>

namespace host {

enum class ClockMode {
    Virtual, // tests: time stands still while a registered thread can run, then jumps to the next deadline
    Real,    // the simulator: wall-clock time, optionally scaled
};

struct Config {
    ClockMode clock = ClockMode::Virtual;
    double scale = 1.0;      // real mode: host seconds per wall second
    ULONG processors = 2;    // emulated processors, each with its own DPC queue and thread
    ULONG workerThreads = 2; // system worker threads at PASSIVE_LEVEL
    // The built-in verifier's bookkeeping (held-lock lists, lock order, pool and DMA registry, handle
    // checks). Off, the hot primitives cost what they cost on a real kernel; tests always run with it on.
    bool verifier = true;
};

// Starts the clock, the processors' DPC threads and the system worker threads, and registers the
// calling thread with the clock.
void Start(const Config& config);
// Drains deferred work, stops the host's own threads and unregisters the calling thread.
void Shutdown();
bool IsStarted();
const Config& CurrentConfig();

// Drains DPCs, system work items and due timers until nothing is left to run.
void Quiesce();

// Host time in 100 ns units since boot (the interrupt time).
LONGLONG ClockNow();
// Virtual mode: moves time forward, firing what falls due on the way; each step waits until every
// other registered thread is blocked again, so their reactions to one expiry precede the next.
// ClockAdvance(0) lets the other registered threads run until they all block.
void ClockAdvance(LONGLONG delta100ns);
// A thread that can make progress must be registered, so that virtual time waits for it.
void ClockRegisterThread();
void ClockUnregisterThread();

} // namespace host
