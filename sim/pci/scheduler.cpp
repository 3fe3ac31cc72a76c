#include "sim/pci/scheduler.h"

#include <host/host.h>

#include <future>

namespace sim::pci {

Scheduler::Scheduler(ExecutionMode mode) : mode_(mode) { KeInitializeEvent(&wake_, SynchronizationEvent, FALSE); }

void Scheduler::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        actions_.clear();
        times_.clear();
    }
    if (thread_.joinable()) {
        KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
        thread_.join();
    }
}

// The thread registers with the clock before its creator goes on, so virtual time cannot pass its
// first action while it starts.
void Scheduler::Start()
{
    std::promise<void> ready;
    thread_ = std::thread([this, &ready] {
        host::ClockRegisterThread();
        threadId_ = std::this_thread::get_id();
        ready.set_value();
        Main();
        host::ClockUnregisterThread();
    });
    ready.get_future().wait();
}

void Scheduler::Main()
{
    for (;;) {
        Action action;
        LONGLONG next = -1;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_)
                return;
            if (!TakeFirst(true, &action) && !actions_.empty())
                next = actions_.begin()->first.when;
        }
        if (action) {
            action();
            continue;
        }
        if (next < 0) {
            KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, nullptr);
        } else {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -std::max<LONGLONG>(next - host::ClockNow(), 1);
            KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &timeout);
        }
    }
}

Scheduler::Id Scheduler::At(LONGLONG when, Action action)
{
    bool start = false, first = false;
    Id id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        id = nextId_++;
        if (stopping_)
            return id;
        auto it = actions_.emplace(Key{when, id}, std::move(action)).first;
        times_[id] = when;
        first = it == actions_.begin();
        if (mode_ == ExecutionMode::Threaded && !started_)
            start = started_ = true;
    }
    if (start)
        Start();
    else if (first && mode_ == ExecutionMode::Threaded)
        KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
    return id;
}

Scheduler::Id Scheduler::After(LONGLONG delay, Action action)
{
    return At(host::ClockNow() + delay, std::move(action));
}

bool Scheduler::Cancel(Id id)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = times_.find(id);
    if (it == times_.end())
        return false;
    actions_.erase(Key{it->second, id});
    times_.erase(it);
    return true;
}

void Scheduler::CancelAll()
{
    std::lock_guard<std::mutex> guard(lock_);
    actions_.clear();
    times_.clear();
}

size_t Scheduler::Pending() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return actions_.size();
}

bool Scheduler::OnSchedulerThread() const { return threadId_.load() == std::this_thread::get_id(); }

bool Scheduler::TakeFirst(bool onlyDue, Action* action)
{
    if (actions_.empty())
        return false;
    auto first = actions_.begin();
    if (onlyDue && first->first.when > host::ClockNow())
        return false;
    *action = std::move(first->second);
    times_.erase(first->first.id);
    actions_.erase(first);
    return true;
}

size_t Scheduler::RunWhile(bool onlyDue)
{
    size_t ran = 0;
    for (;;) {
        Action action;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!TakeFirst(onlyDue, &action))
                return ran;
        }
        action();
        ran++;
    }
}

size_t Scheduler::Step() { return RunWhile(true); }
size_t Scheduler::Drain() { return RunWhile(false); }

} // namespace sim::pci
