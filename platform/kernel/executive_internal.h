// The executive's shared state: one dispatcher lock over the clock, waits, timers and the DPC and work
// queues, and the per-thread record every host primitive works on. Private to platform/.
#pragma once

#include <host/executive.h>
#include <host/host.h>
#include <host/image.h>
#include <host/object.h>
#include <host/verifier.h>
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace host::exec {

struct ThreadRecord;

} // namespace host::exec

// The emulated thread object: waitable (signalled when the thread ends), pointing at the host's record.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    host::exec::ThreadRecord* Record;
};

namespace host::exec {

constexpr LONGLONG kInfinite = INT64_MAX;
// System time at boot: 2026-01-01 00:00 UTC in 100 ns units since 1601.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;
constexpr ULONG kTimeIncrement = 156250; // 15.625 ms clock tick
constexpr KPRIORITY kDefaultPriority = 8;

using Lock = std::unique_lock<std::mutex>;

// Per-thread host state. The wait fields are guarded by the dispatcher lock; irql and held belong to the
// thread itself.
struct ThreadRecord {
    _KTHREAD kthread{};
    Object* object = nullptr; // the thread object whose body is kthread
    HANDLE id = nullptr;
    Image* image = nullptr;     // image of the start routine (system threads)
    bool systemThread = false;  // made by PsCreateSystemThread; may terminate itself
    ULONG exitCode = STATUS_PENDING; // Win32 view: STILL_ACTIVE until the thread ends (dispatcher lock)
    int processor = -1;         // emulated processor whose DPC thread this is

    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held; // spin locks held, in acquisition order

    // Clock and waits.
    bool registered = false;
    bool exited = false;
    std::condition_variable cv;
    bool blocked = false;   // inside Block: not runnable
    bool satisfied = false; // the block ended; result holds why
    NTSTATUS result = STATUS_SUCCESS;
    bool idle = false;      // a host thread waiting for work: not part of a deadlock
    bool quiescing = false; // waiting in Quiesce for deferred work to drain
    PKSPIN_LOCK spinWait = nullptr;
    std::multimap<LONGLONG, ThreadRecord*>::iterator deadlineIt;
    bool hasDeadline = false;
    WAIT_TYPE waitType = WaitAny;
    ULONG waitCount = 0;
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS]{};

    // Recorded, not applied.
    KPRIORITY priority = kDefaultPriority;
    LONG baseIncrement = 0;
    KAFFINITY systemAffinity = 0;
    GROUP_AFFINITY groupAffinity{};
};

struct Processor {
    Processor() { InitializeListHead(&dpcs); }
    ULONG index = 0;
    ThreadRecord* record = nullptr;
    std::thread thread;
    LIST_ENTRY dpcs{}; // KDPC::DpcListEntry
    std::deque<std::function<void()>> runs;
    bool busy = false;
};

struct Worker {
    ULONG index = 0;
    ThreadRecord* record = nullptr;
    std::thread thread;
    bool busy = false;
    const void* owner = nullptr; // owner of the item running
};

struct Exec {
    Exec() { InitializeListHead(&work); }
    std::mutex lock;
    Config config;
    bool started = false;
    bool stopping = false;

    // Clock. Virtual mode keeps `now`; real mode derives it from the wall clock.
    ClockMode mode = ClockMode::Virtual;
    std::atomic<LONGLONG> now{0};
    std::chrono::steady_clock::time_point wallBase = std::chrono::steady_clock::now();
    std::atomic<LONGLONG> realOffset{0};
    double scale = 1.0;

    int runnable = 0; // registered threads not blocked in a host primitive
    bool hangReported = false;
    std::set<ThreadRecord*> records;
    std::multimap<LONGLONG, ThreadRecord*> deadlines;
    std::multimap<LONGLONG, PKTIMER> timers;
    std::unordered_map<const DISPATCHER_HEADER*, int> waited; // headers with linked wait blocks
    std::vector<ThreadRecord*> spinWaiters;
    int quiescers = 0;
    std::unordered_map<PKTIMER, std::multimap<LONGLONG, PKTIMER>::iterator> timerIndex;
    bool timerStop = false;
    std::set<ThreadRecord*> systemThreads; // alive

    std::vector<std::unique_ptr<Processor>> processors;
    std::vector<std::unique_ptr<Worker>> workers;
    LIST_ENTRY work{}; // WorkItem::link
    std::thread timerThread;
    std::condition_variable timerCv;
};

Exec& X();

// The calling thread's record: one thread-local read once it exists (the platform is loaded at start,
// so its thread-locals live in the static block).
extern constinit thread_local ThreadRecord* t_self __attribute__((tls_model("initial-exec")));
// Makes the record of a thread the host did not start.
ThreadRecord& SelfMake();
inline ThreadRecord& Self()
{
    ThreadRecord* self = t_self;
    return self != nullptr ? *self : SelfMake();
}
// The calling thread's record if it has one (never allocates: safe under the dispatcher lock).
inline ThreadRecord* SelfIfAny() { return t_self; }

// IRQL changes of the calling thread. The verifier reports an invalid change and ignores it, so one
// mistake gives one report; with it off the level is set as asked.
void ReportIrqlChange(bool raise, KIRQL irql, KIRQL current);
inline void LowerIrql(ThreadRecord& self, KIRQL irql)
{
    if (irql > self.irql && VerifierEnabled()) {
        ReportIrqlChange(false, irql, self.irql);
        return;
    }
    self.irql = irql;
}

// Thread records. A record made here is counted runnable at once when `registered`, so the clock cannot
// move between creating a thread and its first instruction.
ThreadRecord* RecordCreate(bool registered);
ThreadRecord* RecordCreateLocked(bool registered);
// Ends the record's thread: signals its object, unregisters it and drops the record's reference.
void RecordExit(ThreadRecord* record);
void SetSelf(ThreadRecord* record);

// Clock.
LONGLONG NowLocked();
LONGLONG Now();
// NULL: infinite; negative: relative; zero: now (poll); positive: absolute system time.
LONGLONG DeadlineFromTimeout(const LARGE_INTEGER* timeout, LONGLONG now);
// Real mode: the wall-clock instant at which host time reaches `deadline`.
std::chrono::steady_clock::time_point WallTime(LONGLONG deadline);
// Blocks the calling thread (lock held) until Wake ends the block or the deadline passes (result
// STATUS_TIMEOUT). In virtual mode the thread that leaves no registered thread runnable moves the clock.
void Block(Lock& lock, ThreadRecord& self, LONGLONG deadline);
// Ends a block (lock held): the woken thread counts as runnable from this moment.
void Wake(ThreadRecord& record, NTSTATUS result);
// A host thread with nothing to do (lock held); ended by WakeIdle.
void IdleWait(Lock& lock, ThreadRecord& self);
void WakeIdle(ThreadRecord* record);
// Fires timers and ends timed blocks that are due (lock held).
void ExpireDueLocked();
void ExpireTimerLocked(PKTIMER timer);
// Virtual mode, with no registered thread runnable: moves the clock to the next deadline and fires what
// falls due, until something can run. With nothing left to wait for, reports the deadlock once.
void AdvanceIdleLocked(Lock& lock, bool reportHang);
void UnregisterLocked(Lock& lock, ThreadRecord& record, bool reportHang);
// Reports a blocking wait above APC_LEVEL.
void CheckBlockingIrql(const char* what);
// Wakes Quiesce callers when no deferred work is left (lock held).
void CheckQuiescersLocked();
bool QuietLocked();

// Wait engine: dispatcher headers and the waits on them, shared by the kernel and Win32 views.
void HeaderInitialize(DISPATCHER_HEADER* header, UCHAR type, LONG signalState);
// Waits on `count` (at most MAXIMUM_WAIT_OBJECTS) initialised headers until `deadline` (interrupt time,
// kInfinite, or not above now to poll). Returns STATUS_WAIT_0 + index or STATUS_TIMEOUT.
NTSTATUS WaitHeaders(ULONG count, DISPATCHER_HEADER* const* headers, WAIT_TYPE type, LONGLONG deadline);
// After a header's SignalState rose (lock held): satisfies the waits it now allows.
void SignalLocked(DISPATCHER_HEADER* header);
void SetSignalState(DISPATCHER_HEADER* header, LONG state);
LONG SignalState(const DISPATCHER_HEADER* header);
bool HasWaitersLocked(const DISPATCHER_HEADER* header);

// A mutant for the Win32 view: SignalState 1 when free, 1 - recursion count while owned.
struct Mutant {
    DISPATCHER_HEADER Header;
    ThreadRecord* owner;
};
void MutantInitialize(Mutant* mutant, bool owned);
// False when the caller does not own it.
bool MutantRelease(Mutant* mutant);

// Spin locks: releases wake threads that gave up spinning and blocked on the lock.
void SpinWakeLocked(PKSPIN_LOCK lock);
// At host::Start: how blocked acquirers wait (the dispatcher with the virtual clock); with the verifier
// off, the learnt lock order is dropped.
void SpinLocksStart(bool virtualClock, bool verifier);

// DPC queueing (lock held). False when already queued.
bool DpcQueueLocked(PKDPC dpc, PVOID argument1, PVOID argument2);

// Host threads, started and stopped by host::Start/Shutdown.
void ProcessorMain(Processor* processor);
void WorkerMain(Worker* worker);
void TimerThreadStart();
void TimerThreadStop();
void TimersReset();

// Starts `count` units (processors, workers), each with a registered thread running `main(unit)`.
template <class Unit>
void HostThreadsStart(std::vector<std::unique_ptr<Unit>>& units, ULONG count, void (*main)(Unit*))
{
    for (ULONG i = 0; i < count; i++) {
        auto unit = std::make_unique<Unit>();
        unit->index = i;
        unit->record = RecordCreate(true);
        Unit* raw = unit.get();
        {
            Lock lock(X().lock);
            units.push_back(std::move(unit));
        }
        raw->thread = std::thread(main, raw);
    }
}

// With Exec::stopping set: wakes the idle units, waits for their threads to end, and drops them.
template <class Unit>
void HostThreadsStop(std::vector<std::unique_ptr<Unit>>& units)
{
    {
        Lock lock(X().lock);
        for (auto& unit : units)
            WakeIdle(unit->record);
    }
    for (auto& unit : units)
        unit->thread.join();
    Lock lock(X().lock);
    units.clear();
}

// Ends a unit's thread (lock held on entry, released): its record goes with it.
void HostThreadExit(Lock& lock, ThreadRecord*& record);

// Starts another system worker when work is queued and every worker is busy (below the pool's cap);
// true when it did (lock held).
bool GrowWorkersLocked(Exec& x);

// Unload checks of each subsystem.
int ThreadLeakCheck(Image* image);
int DpcLeakCheck(Image* image);
int TimerLeakCheck(Image* image);
int WorkLeakCheck(Image* image);

// Describes the blocked threads for a hang report (lock held).
std::string DescribeBlockedLocked();

} // namespace host::exec
