// Stands in for the state machine's queues and handshake flags as the modem object uses them: commands,
// modem states, doorbell events, drops and the record's life cycle are recorded; events come from the
// test (PostEvent) and are taken and waited for as the state machine hands them out.
// Wraps: fsm_init fsm_reset fsm_uninit fsm_queue_command fsm_take_event fsm_free_event fsm_wait_event fsm_drop_events fsm_set_md_state fsm_on_hif_event fsm_hs_abort fsm_hs_aborted fsm_hs_set_exception fsm_hs_exception fsm_hs_wake md_cold_boot fsm_get_dump_ready md_pm_state_callback
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "ccci_fsm.h"

namespace doubles
{

struct FsmQueue {
    int inits = 0;
    int resets = 0;
    int uninits = 0;
    int cold_boots = 0;
    struct Command {
        u32 id;
        u32 flags;
    };
    std::vector<Command> commands;
    int command_result = 0; // what a waited command returns
    std::vector<u32> md_states;
    std::vector<u32> hif_events;
    std::vector<u32> dropped;
    std::vector<u32> pm_kinds;
    std::atomic<bool> hs_abort{false};
    std::atomic<bool> hs_exception{false};
    std::atomic<int> hs_wakes{0};
    u32 dump_ready = 0;
    std::function<void()> on_cold_boot; // runs inside md_cold_boot
};

// Reset (record and queued events) by each test that uses it.
FsmQueue& Queue();
void ResetQueue();
// Queues an event for fsm_take_event and wakes a waiter.
void PostEvent(u32 id, const void* data, u32 length);
// Events still queued.
size_t QueuedEvents();
// A copy of the recorded lists, taken under the stand-in's lock (safe while work items run).
std::vector<FsmQueue::Command> Commands();
std::vector<u32> HifEvents();
std::vector<u32> MdStates();

} // namespace doubles
