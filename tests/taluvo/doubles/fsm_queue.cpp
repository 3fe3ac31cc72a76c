#include "fsm_queue.h"

#include <stdlib.h>
#include <string.h>

#include <list>
#include <mutex>

#include "IpcContext.h"

namespace
{

std::mutex g_lock;
std::list<struct fsm_event*> g_events;
u64 g_generation;
thread_local u64 t_seen;
KEVENT g_posted;
std::once_flag g_once;

void init_event()
{
    std::call_once(g_once, [] { KeInitializeEvent(&g_posted, SynchronizationEvent, FALSE); });
}

template <class T> void record(std::vector<T>& list, T value)
{
    std::lock_guard<std::mutex> hold(g_lock);
    list.push_back(value);
}

} // namespace

doubles::FsmQueue& doubles::Queue()
{
    static FsmQueue queue;
    return queue;
}

void doubles::ResetQueue()
{
    std::lock_guard<std::mutex> hold(g_lock);
    FsmQueue& q = Queue();
    q.inits = q.resets = q.uninits = q.cold_boots = 0;
    q.commands.clear();
    q.command_result = 0;
    q.md_states.clear();
    q.hif_events.clear();
    q.dropped.clear();
    q.pm_kinds.clear();
    q.hs_abort = false;
    q.hs_exception = false;
    q.hs_wakes = 0;
    q.dump_ready = 0;
    q.on_cold_boot = nullptr;
    for (struct fsm_event* event : g_events)
        free(event);
    g_events.clear();
}

void doubles::PostEvent(u32 id, const void* data, u32 length)
{
    init_event();
    auto* event = static_cast<struct fsm_event*>(calloc(1, offsetof(struct fsm_event, data) + length + 1));
    event->id = id;
    event->length = length;
    if (length != 0)
        memcpy(event->data, data, length);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_events.push_back(event);
        g_generation++;
    }
    KeSetEvent(&g_posted, 0, FALSE);
}

size_t doubles::QueuedEvents()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_events.size();
}

std::vector<doubles::FsmQueue::Command> doubles::Commands()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return Queue().commands;
}

std::vector<u32> doubles::HifEvents()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return Queue().hif_events;
}

std::vector<u32> doubles::MdStates()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return Queue().md_states;
}

extern "C" int __wrap_fsm_init(u32)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Queue().inits++;
    return 0;
}

extern "C" int __wrap_fsm_reset(u32)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Queue().resets++;
    return 0;
}

extern "C" int __wrap_fsm_uninit(u32)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Queue().uninits++;
    return 0;
}

extern "C" int __wrap_fsm_queue_command(struct md_fsm*, u32 id, u32 flags)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Queue().commands.push_back({id, flags});
    return (flags & FSM_CMD_FLAG_WAIT) ? doubles::Queue().command_result : 0;
}

extern "C" struct fsm_event* __wrap_fsm_take_event(struct md_fsm*, u32 ids)
{
    std::lock_guard<std::mutex> hold(g_lock);
    t_seen = g_generation;
    for (auto it = g_events.begin(); it != g_events.end(); ++it) {
        if (ids & FSM_EVENT_BIT((*it)->id)) {
            struct fsm_event* event = *it;
            g_events.erase(it);
            return event;
        }
    }
    return nullptr;
}

extern "C" void __wrap_fsm_free_event(struct fsm_event* event)
{
    free(event);
}

extern "C" bool __wrap_fsm_wait_event(struct md_fsm*, u32 timeout_ms)
{
    init_event();
    if (IpcShouldTerminateThreads(nullptr))
        return false;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_generation != t_seen)
            return true;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(timeout_ms) * 10000;
    KeWaitForSingleObject(&g_posted, Executive, KernelMode, FALSE, &timeout);
    return !IpcShouldTerminateThreads(nullptr);
}

extern "C" void __wrap_fsm_drop_events(struct md_fsm*, u32 id)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Queue().dropped.push_back(id);
    for (auto it = g_events.begin(); it != g_events.end();) {
        if ((*it)->id == id) {
            free(*it);
            it = g_events.erase(it);
        } else {
            ++it;
        }
    }
}

extern "C" void __wrap_fsm_set_md_state(struct md_fsm*, u32 state)
{
    record(doubles::Queue().md_states, state);
}

extern "C" int __wrap_fsm_on_hif_event(u32, u32 kind)
{
    record(doubles::Queue().hif_events, kind);
    return 0;
}

extern "C" void __wrap_fsm_hs_abort(struct md_fsm*)
{
    doubles::Queue().hs_abort = true;
}

extern "C" bool __wrap_fsm_hs_aborted(struct md_fsm*)
{
    return doubles::Queue().hs_abort;
}

extern "C" void __wrap_fsm_hs_set_exception(struct md_fsm*)
{
    doubles::Queue().hs_exception = true;
}

extern "C" bool __wrap_fsm_hs_exception(struct md_fsm*)
{
    return doubles::Queue().hs_exception;
}

extern "C" void __wrap_fsm_hs_wake(struct md_fsm*)
{
    doubles::Queue().hs_wakes++;
}

extern "C" void __wrap_md_cold_boot(u32)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        doubles::Queue().cold_boots++;
    }
    if (doubles::Queue().on_cold_boot)
        doubles::Queue().on_cold_boot();
}

extern "C" u32 __wrap_fsm_get_dump_ready(u32)
{
    return doubles::Queue().dump_ready;
}

extern "C" int __wrap_md_pm_state_callback(u32 kind, struct mdm_pci_dev*)
{
    record(doubles::Queue().pm_kinds, kind);
    return 0;
}
