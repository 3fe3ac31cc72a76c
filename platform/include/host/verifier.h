// The host's built-in verifier: each broken kernel rule is reported here and fails the test that caused it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace host {

enum class Check {
    BlockingWaitAtHighIrql,   // a wait with a non-zero time-out above APC_LEVEL
    PagedCodeAtHighIrql,      // PAGED_CODE() above APC_LEVEL
    CallbackIrqlMismatch,     // a callback returned at another IRQL than it was called at
    CallbackLockHeld,         // a callback returned holding a spin lock
    SpinLockRecursion,        // a thread acquired a spin lock it already holds
    SpinLockOrder,            // two locks taken in the opposite order of one seen before
    SpinLockNotHeld,          // a release of a lock the thread does not hold
    EventReinitWithWaiters,   // an event initialised again while threads wait on it
    WaitTooManyObjects,       // a wait-any over THREAD_WAIT_OBJECTS without a wait-block array, or too many
    WaitUninitialisedObject,  // a wait on an object never initialised
    FreeNotAllocated,         // a free of memory that is not a live allocation
    FreeTagMismatch,          // a free passing another tag than the allocation's (strict mode only)
    PoolLeak,                 // an image unloaded with pool still allocated
    ThreadLeak,               // an image unloaded with its threads alive
    DpcLeak,                  // an image unloaded with its DPCs queued
    TimerLeak,                // an image unloaded with its timers set
    WorkItemLeak,             // an image unloaded with its work items queued or running
    ObjectDeletedTwice,       // a framework object deleted twice
    FlushFromOwnCallback,     // a work item flushed, or a timer stopped with wait, from its own callback
    RequestCompletedTwice,    // a request completed twice
    RequestNotCompleted,      // a request still incomplete when its device is removed
    RequestOverrun,           // a request completed with more bytes than its buffer holds
    RegisterAccessUnmapped,   // a register accessor on an address outside every mapped window
    DmaOutsideAllocation,     // a device's DMA outside every live allocation (freed memory, overrun)
    InterruptStorm,           // a level-triggered line still asserted after too many service-routine runs
    InvalidIrql,              // KeLowerIrql to a higher level, KeRaiseIrql to a lower one, and similar
    InvalidParameter,         // a host call with a parameter the real system would bug-check on
    AssertionFailed,          // NT_ASSERT / ASSERT
    HostHang,                 // virtual time cannot advance while a wait has no deadline (deadlock)
    NetDataPathViolation,     // a network adapter driver broke its packet queues' contract (ring indexes,
                              // buffers it returned, packets it never gave back)
};

const char* CheckName(Check check);

// Records a report. Unless a test expects this check, the installed handler fails the running test.
void VerifierReport(Check check, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct Report {
    Check check;
    std::string message;
};

// The test support installs a handler; without one a report is printed to stderr and the process aborts.
using ReportHandler = std::function<void(const Report&)>;
void VerifierSetHandler(ReportHandler handler);

// Whether the verifier's bookkeeping is on: host::Config::verifier, fixed from host::Start to Shutdown.
namespace detail {
extern std::atomic<bool> g_verifierOn;
}
inline bool VerifierEnabled() { return detail::g_verifierOn.load(std::memory_order_relaxed); }

// Strict mode turns FreeTagMismatch into a report; otherwise mismatches are only counted.
void VerifierSetStrict(bool strict);
bool VerifierIsStrict();

} // namespace host
