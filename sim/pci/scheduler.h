// Host-time scheduling for device models: "run this at host time T". A threaded scheduler runs actions
// on its own thread, registered with the host clock, so virtual time waits for it and jumps to its next
// action when everything else is blocked. A step scheduler has no thread: a test or a benchmark runs
// the due actions itself.
#pragma once

#include <ntdef.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <wdm.h>

namespace sim::pci {

enum class ExecutionMode {
    Threaded, // the model's own threads, beside the driver's, as hardware runs beside the CPU
    Step,     // no threads: the caller consumes and produces ring entries by stepping
};

class Scheduler {
public:
    using Action = std::function<void()>;
    using Id = ULONG64;

    explicit Scheduler(ExecutionMode mode);
    // Stops the thread; actions not run are dropped.
    ~Scheduler() { Stop(); }
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    ExecutionMode Mode() const { return mode_; }
    // Drops the queued actions and ends the thread once its running action returns; nothing is
    // scheduled after. Not from an action of its own.
    void Stop();

    // Runs `action` at host time `when` (ClockNow units); actions due at the same time run in the order
    // they were scheduled. Never runs the action inline.
    Id At(LONGLONG when, Action action);
    Id After(LONGLONG delay, Action action);
    // False when the action already ran or was cancelled.
    bool Cancel(Id id);
    void CancelAll();
    size_t Pending() const;
    // Whether the caller is the scheduler's own thread.
    bool OnSchedulerThread() const;

    // Step mode: runs, on the caller, the actions due by now (including those they schedule for now);
    // returns how many ran.
    size_t Step();
    // Step mode: runs every queued action in time order, whatever its time; returns how many ran.
    size_t Drain();

private:
    struct Key {
        LONGLONG when;
        Id id;
        bool operator<(const Key& other) const { return when != other.when ? when < other.when : id < other.id; }
    };

    void Start();
    void Main();
    // Takes the first queued action, when `onlyDue` only if it is due by now.
    bool TakeFirst(bool onlyDue, Action* action);
    size_t RunWhile(bool onlyDue);

    const ExecutionMode mode_;
    mutable std::mutex lock_;
    std::map<Key, Action> actions_;
    std::map<Id, LONGLONG> times_; // when each queued action is due, for Cancel
    Id nextId_ = 1;
    bool stopping_ = false;
    bool started_ = false;
    KEVENT wake_{}; // the thread's one host wait: a new first action, or stopping
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

} // namespace sim::pci
